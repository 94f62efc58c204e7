// Counting and selection over the finished tree.
//
// The walks visit the tree in preorder without recursion: they go down
// through first-child words and come back up through the `link` of each
// last sibling, which holds its parent.  The counting walk keeps the records
// on the path to the current one in the caller's `path` array; the depth of
// the tree (up to the length of the longest document) costs nothing else.
#include "selection.h"

#include <cstring>

VOK_NS_BEGIN

namespace {

// ---- the rules ------------------------------------------------------------

// Both probability bounds are raised by this much, so that a ratio equal
// to a bound (up to rounding) is not refused.
constexpr double kProbTolerance = 1e-8;

// True when `part` of `whole` occurrences reaches the bound (plus the
// tolerance), taken as a real ratio.
bool carries_too_much(uint32_t part, uint32_t whole, double bound) {
  return part / static_cast<double>(whole) >= bound + kProbTolerance;
}

// A ratio of counts is at most 1, so a bound above 1 can never be reached.
bool can_refuse(double bound) { return !(1.0 < bound + kProbTolerance); }

// Rules 2 to 4, for a record whose count, number of children and largest
// child count are known.  A ratio is monotone in its numerator, so the
// largest child decides the parent rule for all of them.
bool refused_by_own_rules(uint32_t count, uint32_t children,
                          uint32_t max_child, const vok_settings& settings) {
  const int64_t c = count;
  if (c < settings.min_freq || c >= settings.max_freq ||
      static_cast<int64_t>(children) < settings.min_branches)
    return true;
  return can_refuse(settings.max_parent_prob) && children > 0 &&
         carries_too_much(max_child, count, settings.max_parent_prob);
}

// Rule 5, seen from the record that points to the target.
bool refuses_link_target(uint32_t count, uint32_t target_count,
                         const vok_settings& settings) {
  return carries_too_much(count, target_count, settings.max_link_prob);
}

// ---- the counting walk ------------------------------------------------------

// The loci are written at the suffixes' start positions, which the walk
// meets in no order related to their addresses: each write first reads the
// emitting set and its counts at the position, then writes the locus, and
// both miss the caches for large texts.  So a write waits kDelay notes in a
// ring while those tables are asked of memory, and is done on leaving the
// ring.
class loci_writer {
 public:
  explicit loci_writer(const vok_selection& sel) : sel_(sel) {}
  loci_writer(const loci_writer&) = delete;
  loci_writer& operator=(const loci_writer&) = delete;

  void note(size_t at, uint32_t id) {
    if (sel_.emitting) {
      __builtin_prefetch(sel_.emitting + (at >> VOK_SET_SHIFT));
      __builtin_prefetch(sel_.before + (at >> VOK_SET_SHIFT));
    } else {
      __builtin_prefetch(sel_.loci + at, 1);
    }
    pending& slot = ring_[next_++ % kDelay];
    if (next_ > kDelay) write(slot);
    slot = pending{at, id};
  }
  // Writes what still waits; the walk's last step.
  void flush() {
    const size_t waiting = next_ < kDelay ? next_ : kDelay;
    for (size_t k = next_ - waiting; k < next_; ++k) write(ring_[k % kDelay]);
    next_ = 0;
  }

 private:
  static constexpr size_t kDelay = 16;
  struct pending {
    size_t at;
    uint32_t id;
  };
  void write(const pending& p) const {
    if (vok_locus_kept(sel_, p.at)) sel_.loci[vok_locus_place(sel_, p.at)] = p.id;
  }

  const vok_selection& sel_;
  pending ring_[kDelay];
  size_t next_ = 0;  // notes so far
};

// Records the loci of the suffixes that end exactly at x: a leaf's own
// suffix (its start is its label's start less its parent's path length),
// under its parent's number, or one per end record.
void note_loci(const suffix_tree* tree, stree_ref x, int32_t parent_depth,
               uint32_t parent_id, const vok_selection& sel, loci_writer* loci) {
  if (int_stree_isaleaf(tree, x)) {
    const stree_pos packed = int_stree_leaf(x)->strpos;
    loci->note(sel.first[stree_pos_strid(packed)] +
                   static_cast<size_t>(stree_pos_offset(packed) - parent_depth),
               parent_id);
    return;
  }
  if (!int_stree_has_endrecs(x)) return;
  const uint32_t id = int_stree_id(x);
  for (stree_ref e = int_stree_node(x)->children; e != STREE_NONE;
       e = int_stree_endrec(e)->next) {
    const stree_pos packed = int_stree_endrec(e)->strpos;
    loci->note(sel.first[stree_pos_strid(packed)] + static_cast<size_t>(stree_pos_offset(packed)),
               id);
  }
}

// A record is complete once its whole subtree has been seen: its count is
// known, it is judged by its own rules, it hands its count to its parent,
// and its parent is noted for the ancestor pass.
void complete(uint32_t id, uint32_t count, uint32_t children,
              uint32_t max_child, vok_open_record* parent,
              const vok_settings& settings, const vok_selection& sel) {
  if (sel.counts) sel.counts[id] = count;
  const bool internal = sel.above && vok_in_set(sel.internal, id);
  if (parent == nullptr) {  // the root is never a feature
    vok_set_put(sel.selected, id, false);
    if (internal) sel.above[vok_internal_rank(sel, id)] = 0;
    return;
  }
  vok_set_put(sel.selected, id,
              !refused_by_own_rules(count, children, max_child, settings));
  if (count > parent->max_child) parent->max_child = count;
  if (internal) sel.above[vok_internal_rank(sel, id)] = parent->id;
}

// The preorder walk of the whole tree that gives the numbers and does all
// the counting.  A record's count is the number of suffixes ending in its
// subtree: the walk keeps a running total of the suffixes ending at the
// records met so far, and a record's count is the total on leaving it less
// the total on entering it.  `depth` is the path length of the current
// record's parent, which places a leaf's suffix.
void count_occurrences(suffix_tree* tree, const vok_settings& settings,
                       const vok_selection& sel) {
  vok_open_record* path = sel.path;
  size_t open = 0;  // records on the path
  uint32_t next_id = 0;
  uint32_t total = 0;
  int32_t depth = 0;
  uint32_t internal = 0;  // internal records met so far
  uint32_t counted_words = 0;  // words of the internal set with their count
  stree_ref x = tree->root;
  loci_writer loci(sel);
  for (;;) {
    const uint32_t id = next_id++;
    int_stree_set_id(x, id);
    if (sel.above && !int_stree_isaleaf(tree, x)) {
      while (counted_words <= (id >> VOK_SET_SHIFT))
        sel.internal_before[counted_words++] = internal;
      sel.internal[id >> VOK_SET_SHIFT] |= uint64_t{1} << (id & VOK_SET_MASK);
      ++internal;
    }
    if (sel.loci) note_loci(tree, x, depth, open > 0 ? path[open - 1].id : 0, sel, &loci);
    if (open > 0) ++path[open - 1].children;
    const uint32_t ends = static_cast<uint32_t>(int_stree_num_ends(tree, x));
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      // The walk comes back to x's next sibling only after x's subtree:
      // ask for it now so that the wait overlaps with that subtree.
      if (!int_stree_is_last(x))
        __builtin_prefetch(int_stree_words(int_stree_link(x)));
      path[open++] = vok_open_record{id, total, 0, 0};
      total += ends;
      depth += int_stree_node(x)->edgelen;
      x = child;
      continue;
    }
    total += ends;
    complete(id, ends, 0, 0, open > 0 ? &path[open - 1] : nullptr, settings,
             sel);
    // Climb while x is the last of its siblings, completing each parent.
    for (;;) {
      if (x == tree->root) {
        loci.flush();
        tree->renumber_pending = 0;
        if (sel.above) {
          const size_t words = vok_set_words(static_cast<size_t>(tree->num_nodes) + 1);
          while (counted_words < words) sel.internal_before[counted_words++] = internal;
        }
        return;
      }
      const bool last = int_stree_is_last(x);
      x = int_stree_link(x);
      if (!last) break;
      const vok_open_record done = path[--open];
      depth -= int_stree_node(x)->edgelen;
      complete(done.id, total - done.entry_total, done.children,
               done.max_child, open > 0 ? &path[open - 1] : nullptr, settings,
               sel);
    }
  }
}

// ---- the suffix-link rule ---------------------------------------------------

// The record spelling v's path label without its first character.
stree_ref suffix_link_target(const suffix_tree* tree, stree_ref v) {
  if (int_stree_isaleaf(tree, v)) return int_stree_leaf_suffix_link(tree, v);
  return int_stree_node(v)->suffix_link;
}

struct link_rule {
  const vok_settings* settings;
  const vok_selection* sel;
};

// Rule 5 for one record, once all counts are known.
void judge_link_target(suffix_tree* tree, stree_ref x, void* data) {
  if (x == tree->root) return;
  const auto* rule = static_cast<const link_rule*>(data);
  const vok_selection& sel = *rule->sel;
  const stree_ref w = suffix_link_target(tree, x);
  if (w != STREE_NONE &&
      refuses_link_target(sel.counts[int_stree_id(x)],
                          sel.counts[int_stree_id(w)], *rule->settings))
    vok_set_put(sel.selected, int_stree_id(w), false);
}

// above[] holds each internal record's parent, and a parent's number (and
// so its rank) is below its children's: in rank order, every record's
// nearest selected proper ancestor follows from its parent's, in place.
void parents_to_ancestors(const vok_selection& sel, stree_count n) {
  const size_t last = vok_set_words(static_cast<size_t>(n) + 1) - 1;
  const uint32_t internal = sel.internal_before[last] +
                            static_cast<uint32_t>(int_stree_popcount(sel.internal[last]));
  sel.above[0] = 0;
  for (uint32_t r = 1; r < internal; ++r) {
    const uint32_t p = sel.above[r];
    sel.above[r] = vok_in_set(sel.selected, p) ? p : sel.above[vok_internal_rank(sel, p)];
  }
}

}  // namespace

// The counting walk writes these arrays at places unrelated to their
// addresses (a locus per suffix, a rank per internal record), so they are
// offered as huge pages, for those writes to rarely miss the TLB.
void* vok_table_alloc(size_t bytes) { return int_stree_alloc_scattered(bytes); }

bool vok_selection_needs_counts(const vok_settings& settings) {
  return can_refuse(settings.max_link_prob);
}

size_t vok_path_room(const suffix_tree* tree) {
  int32_t longest = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot)
    if (tree->strings[slot] && tree->lengths[slot] > longest)
      longest = tree->lengths[slot];
  return static_cast<size_t>(longest) + 1;
}

size_t vok_mark_emitting(const suffix_tree* tree, const size_t* first,
                         size_t positions, uint64_t* emitting, size_t* before) {
  const size_t words = vok_set_words(positions + 1);  // position `positions` too
  std::memset(emitting, 0, words * sizeof(uint64_t));
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    const char* text = tree->strings[slot];
    if (!text) continue;
    for (int32_t j = 0; j < tree->lengths[slot]; ++j) {
      if (!vok_emits(text, j, 1)) continue;
      const size_t at = first[slot] + static_cast<size_t>(j);
      emitting[at >> VOK_SET_SHIFT] |= uint64_t{1} << (at & VOK_SET_MASK);
    }
  }
  size_t total = 0;
  for (size_t w = 0; w < words; ++w) {
    before[w] = total;
    total += static_cast<size_t>(int_stree_popcount(emitting[w]));
  }
  return total;
}

size_t vok_loci_size(const suffix_tree* tree, size_t* first) {
  size_t total = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    first[slot] = total;
    if (tree->strings[slot]) total += static_cast<size_t>(tree->lengths[slot]);
  }
  return total;
}

void select_features(suffix_tree* tree, const vok_settings& settings,
                     const vok_selection& sel) {
  if (sel.above)
    std::memset(sel.internal, 0,
                vok_set_words(static_cast<size_t>(tree->num_nodes) + 1) * sizeof(uint64_t));
  count_occurrences(tree, settings, sel);
  if (vok_selection_needs_counts(settings)) {
    link_rule rule{&settings, &sel};
    stree_traverse(tree, judge_link_target, nullptr, &rule);
  }
  if (sel.above) parents_to_ancestors(sel, tree->num_nodes);
}

VOK_NS_END
