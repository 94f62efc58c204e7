// Counting and selection over the finished tree.
//
// The walks visit the tree in preorder without recursion: they go down
// through first-child words and come back up through the `link` of each
// last sibling, which holds its parent.  The counting walk keeps the records
// on the path to the current one in a table of its own; the depth of the
// tree (up to the length of the longest document) costs nothing else.
#include "selection.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "../../stree/parts.h"

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

// Memory for a table of the selection (at least one entry, so that an
// empty table is no failure).
template <typename T>
bool allocate(T** table, size_t n) {
  *table = static_cast<T*>(int_stree_alloc_scattered((n > 0 ? n : 1) * sizeof(T)));
  return *table != nullptr;
}

// The nearest-ancestor table: room for every record, of which the counting
// walk writes the first entries, one per internal record.  Only the huge
// pages those entries fill are offered as such: the last one, filled in
// part, would otherwise be resident whole (up to 2 MB for nothing at the
// selection's peak).
bool allocate_ancestors(const suffix_tree* tree, size_t n, uint32_t** table) {
  *table = static_cast<uint32_t*>(std::malloc((n > 0 ? n : 1) * sizeof(uint32_t)));
  if (*table == nullptr) return false;
  const uint64_t internal = int_stree_internal_count(tree);
  int_stree_offer_huge_pages(*table, static_cast<size_t>(internal < n ? internal : n) *
                                         sizeof(uint32_t));
  return true;
}

// ---- the loci -------------------------------------------------------------

// Whether the positions can be the offsets of the wide layout: every
// stored string's run starts where the one of the string before it ends.
// The core's trees are always so (strings are appended, never taken out);
// the check keeps the loci right for any other tree.
bool positions_by_offset(const suffix_tree* tree) {
#if defined(STREE_WIDE)
  uint64_t next = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    if (!tree->strings[slot]) continue;
    if (tree->bases[slot] != next) return false;
    next += static_cast<uint64_t>(tree->lengths[slot]) + 1;
  }
  return true;
#else
  (void)tree;
  return false;
#endif
}

size_t count_positions(const suffix_tree* tree, bool by_offset, size_t* first) {
  size_t total = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    first[slot] = total;
    if (tree->strings[slot])
      total += static_cast<size_t>(tree->lengths[slot]) + (by_offset ? 1 : 0);
  }
  return total;
}

// Marks the emitting positions in [from, to) of the strings one after the
// other, whose words are zero.  A part's words are its own when `from` and
// `to` are multiples of 64 (or `to` is the end).
void mark_emitting_run(const suffix_tree* tree, const vok_settings& settings,
                       const vok_loci& loci, size_t from, size_t to) {
  // The first slot that may hold `from`: the last whose string starts at or
  // before it (empty strings start where the next one does).
  const size_t* after = std::upper_bound(loci.first, loci.first + tree->slots, from);
  for (int32_t slot = std::max<int32_t>(static_cast<int32_t>(after - loci.first) - 1, 0);
       slot < tree->slots && loci.first[slot] < to; ++slot) {
    const char* text = tree->strings[slot];
    if (!text) continue;
    const int32_t len = tree->lengths[slot];
    const size_t start = loci.first[slot];
    const size_t end = std::min(start + static_cast<size_t>(len), to);
    for (size_t at = std::max(start, from); at < end; ++at)
      if (vok_emits(text, len, static_cast<int64_t>(at - start), settings.word_delimited,
                    settings.utf8))
        vok_set_put(loci.emitting, at, true);
  }
}

// Fills the emitting set of every position of the strings and the counts
// below its words, the positions split among the settings' threads by whole
// words; returns the number of emitting positions.
size_t mark_emitting(const suffix_tree* tree, const vok_settings& settings,
                     const vok_loci& loci, size_t positions) {
  const size_t words = vok_set_words(positions + 1);  // position `positions` too
  const int parts =
      static_cast<int>(std::min<size_t>(static_cast<size_t>(vok_settings_threads(settings)), words));
  stree_run_parts(parts, [&](int k) {
    const auto w = static_cast<size_t>(stree_part_start(static_cast<int64_t>(words), parts, k));
    const auto next = static_cast<size_t>(stree_part_start(static_cast<int64_t>(words), parts, k + 1));
    std::memset(loci.emitting + w, 0, (next - w) * sizeof(uint64_t));
    mark_emitting_run(tree, settings, loci, w << VOK_SET_SHIFT,
                      std::min(next << VOK_SET_SHIFT, positions));
  });
  return vok_set_count_before(loci.emitting, words, loci.before);
}

bool allocate_loci(const suffix_tree* tree, const vok_settings& settings,
                   vok_loci* loci) {
  if (!allocate(&loci->first, static_cast<size_t>(tree->slots))) return false;
  loci->by_offset = positions_by_offset(tree);
  size_t places = count_positions(tree, loci->by_offset, loci->first);
  if (settings.word_delimited || settings.utf8) {  // places for the emitting positions only
    const size_t words = vok_set_words(places + 1);
    if (!allocate(&loci->emitting, words) || !allocate(&loci->before, words))
      return false;
    places = mark_emitting(tree, settings, *loci, places);
  }
  return allocate(&loci->at, places);
}

// ---- the counting walk ------------------------------------------------------

// The loci are written at the suffixes' start positions, which the walk
// meets in no order related to their addresses: each write first reads the
// emitting set and its counts at the position, then writes the locus, and
// both miss the caches for large texts.  So a write waits kDelay notes in a
// ring while those tables are asked of memory, and is done on leaving the
// ring; halfway along, with the tables' words at hand, the locus's own place
// is asked for too (5% off the walk on the package lists).
class loci_writer {
 public:
  explicit loci_writer(const vok_loci& loci) : loci_(loci) {}
  loci_writer(const loci_writer&) = delete;
  loci_writer& operator=(const loci_writer&) = delete;

  void note(size_t at, uint32_t id) {
    if (loci_.emitting) {
      __builtin_prefetch(loci_.emitting + (at >> VOK_SET_SHIFT));
      __builtin_prefetch(loci_.before + (at >> VOK_SET_SHIFT));
    } else {
      __builtin_prefetch(loci_.at + at, 1);
    }
    if (loci_.emitting && next_ >= kDelay / 2) {
      const pending& half = ring_[(next_ - kDelay / 2) % kDelay];
      if (vok_locus_kept(loci_, half.at))
        __builtin_prefetch(loci_.at + vok_locus_place(loci_, half.at), 1);
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
    if (vok_locus_kept(loci_, p.at)) loci_.at[vok_locus_place(loci_, p.at)] = p.id;
  }

  const vok_loci& loci_;
  pending ring_[kDelay];
  size_t next_ = 0;  // notes so far
};

// The position of a record's place in its string (a leaf's label start,
// an end record's suffix start).
size_t position_of(const suffix_tree* tree, const vok_loci& loci, stree_pos_field f) {
#if defined(STREE_WIDE)
  if (loci.by_offset) return f.at;
#endif
  const stree_pos packed = int_stree_pos(tree, f);
  return loci.first[stree_pos_strid(packed)] + static_cast<size_t>(stree_pos_offset(packed));
}

// Records the loci of the suffixes that end exactly at x: a leaf's own
// suffix (its start is its label's start less its parent's path length),
// under its parent's number, or one per end record.
void note_loci(const suffix_tree* tree, stree_ref x, int32_t parent_depth,
               uint32_t parent_id, const vok_loci& loci, loci_writer* out) {
  if (int_stree_isaleaf(tree, x)) {
    out->note(position_of(tree, loci, int_stree_leaf(x)->strpos) -
                  static_cast<size_t>(parent_depth),
              parent_id);
    return;
  }
  if (!int_stree_has_endrecs(x)) return;
  const uint32_t id = int_stree_id(x);
  for (stree_ref e = int_stree_node(x)->children; e != STREE_NONE;
       e = int_stree_endrec(e)->next)
    out->note(position_of(tree, loci, int_stree_endrec(e)->strpos), id);
}

// A record whose subtree the counting walk has entered and not yet left:
// its number, the running total of suffixes when it was entered, how many
// children it has shown so far and the largest count among them.  What the
// climb out of it needs of the record itself is copied here on entry, so
// that the climb reads no record but the one it leaves.
struct open_record {
  uint32_t id;
  uint32_t entry_total;
  uint32_t children;
  uint32_t max_child;
  uint32_t rank;  // among the internal records; kLeafRank for a leaf
  uint32_t df;    // its own tally plus the frequencies of its children so far
  bool emitted;   // a suffix in its subtree so far starts at an emitting position
  bool last = false;          // the last of its siblings
  int32_t edgelen = 0;        // its edge label's length
  stree_ref next = STREE_NONE;  // its next sibling, or its parent when last
};

constexpr uint32_t kLeafRank = UINT32_MAX;

// Room in the node table for rank `rank`; false when memory runs out.
bool node_room(vok_nodes* nodes, size_t rank) {
  if (rank < nodes->room) return true;
  const size_t room = nodes->room ? 2 * nodes->room : size_t{1} << 16;
  auto* at = static_cast<vok_node*>(std::realloc(nodes->at, room * sizeof(vok_node)));
  if (!at) return false;
  nodes->at = at;
  nodes->room = room;
  return true;
}

// The counting walk's state.  `parent` is the chains' ancestor table while
// the walk fills it with each internal record's parent (by rank);
// parents_to_ancestors turns it into what its name says.
struct count_walk {
  const vok_settings& settings;
  vok_selection* sel;
  open_record* path;
  uint32_t* parent;
  bool chains, counts, nodes;
  const vok_hook* hook;
  bool df;             // document frequencies are counted
  double df_low, df_high;  // a frequency outside [df_low, df_high] is refused
  // With max_features, only classes that some bag can hold compete: those
  // with an occurrence at an emitting position.  (Without word delimiting
  // and utf8 every position emits.)
  bool emitted_only;
  bool out_of_memory = false;
  // Per document, the number of the record where this walk last met it
  // (sel->df.last, or a part's own table).
  uint32_t* last = nullptr;
  // The words of the bit sets that hold only this walk's numbers; a bit
  // in any other word is set by an atomic operation, for walks of the
  // parts of the tree on threads side by side.
  size_t own_from = 0, own_to = SIZE_MAX;
  // Shared by the parts: the records numbered as of each one's last tick,
  // and whether they are all to end.  Null for one walk alone.
  std::atomic<uint64_t>* numbered = nullptr;
  std::atomic<bool>* quit = nullptr;
  bool tells = true;  // this walk tells the hook
  uint64_t told = 0;
  // With VOK_JOB_PASS, the counts of the records passed, page by page.
  stree_passed_pages* passing = nullptr;

  void set_bit(uint64_t* set, uint32_t id) const {
    const size_t w = id >> VOK_SET_SHIFT;
    const uint64_t bit = uint64_t{1} << (id & VOK_SET_MASK);
    if (w >= own_from && w < own_to) set[w] |= bit;
    else std::atomic_ref<uint64_t>(set[w]).fetch_or(bit, std::memory_order_relaxed);
  }

  // Once in kTickRecords numbers: false when the walk is to end (the hook
  // asked to stop, or another part failed).
  bool tick(const suffix_tree* tree, uint32_t id) {
    uint64_t done = id;
    if (numbered) {
      done = (*numbered += id - told);
      told = id;
      if (quit->load(std::memory_order_relaxed)) return false;
    }
    if (!tells || !hook || !hook->tick ||
        hook->tick(hook->data, "selecting", done, static_cast<uint64_t>(tree->num_nodes)))
      return true;
    if (quit) quit->store(true);
    return false;
  }

  // Whether a suffix ending exactly at x starts at an emitting position:
  // a leaf's own (its start is its label's start less its parent's path
  // length, `depth`), or one of its end records'.
  bool emits_here(const suffix_tree* tree, stree_ref x, int32_t depth) const {
    if (!emitted_only) return true;
    auto emits = [&](stree_pos packed, int32_t start) {
      const int32_t slot = stree_pos_strid(packed);
      return vok_emits(tree->strings[slot], tree->lengths[slot], start,
                       settings.word_delimited, settings.utf8);
    };
    if (int_stree_isaleaf(tree, x)) {
      const stree_pos packed = int_stree_pos(tree, int_stree_leaf(x)->strpos);
      return emits(packed, stree_pos_offset(packed) - depth);
    }
    if (!int_stree_has_endrecs(x)) return false;
    for (stree_ref e = int_stree_node(x)->children; e != STREE_NONE; e = int_stree_endrec(e)->next) {
      const stree_pos packed = int_stree_pos(tree, int_stree_endrec(e)->strpos);
      if (emits(packed, stree_pos_offset(packed))) return true;
    }
    return false;
  }

  // The walk meets a suffix of document d at record `id`: +1 for the
  // record, and, when d was met before at record `prev`, -1 for the lowest
  // common ancestor of the two, so that d counts once in every subtree it
  // has a suffix in.  That ancestor is the deepest open record numbered at
  // most `prev` (the open records' numbers ascend), or the record itself.
  // Returns the record's own tally.
  uint32_t meet(uint32_t d, uint32_t id, size_t open) {
    const uint32_t prev = last[d];
    last[d] = id;
    if (prev == UINT32_MAX) return 1;
    if (prev == id || open == 0) return 0;
    size_t lo = 0, hi = open;  // path[lo].id <= prev < path[hi].id
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2;
      if (path[mid].id <= prev) lo = mid; else hi = mid;
    }
    --path[lo].df;
    return 1;
  }

  // The tally of the suffixes ending exactly at x: a leaf's own, or one
  // per end record.
  uint32_t tally(const suffix_tree* tree, stree_ref x, uint32_t id, size_t open) {
    if (int_stree_isaleaf(tree, x))
      return meet(static_cast<uint32_t>(stree_pos_strid(int_stree_pos(tree, int_stree_leaf(x)->strpos))), id, open);
    if (!int_stree_has_endrecs(x)) return 0;
    uint32_t own = 0;
    for (stree_ref e = int_stree_node(x)->children; e != STREE_NONE; e = int_stree_endrec(e)->next)
      own += meet(static_cast<uint32_t>(stree_pos_strid(int_stree_pos(tree, int_stree_endrec(e)->strpos))), id, open);
    return own;
  }

  // A record is complete once its whole subtree has been seen: its count
  // is known, it is judged by its own rules, it hands its count to its
  // parent, and its parent is noted.  `done` holds what the walk gathered
  // in its subtree (its df the document frequency, when counted);
  // `by_label` tells whether its substrings pass the rules on them: one
  // ends at a character boundary (with utf8), the shortest is short enough
  // (with max_shortest).
  void complete(const open_record& done, uint32_t count, bool by_label, open_record* up) {
    const uint32_t id = done.id, df_here = done.df;
    if (counts) sel->counts.of[id] = count;
    if (sel->df.of) sel->df.of[id] = df_here;
    const bool internal = chains && done.rank != kLeafRank;
    if (up == nullptr) {  // the root is never a feature
      if (internal) parent[done.rank] = 0;
      return;
    }
    const bool df_inside = !df || !(df_here < df_low || df_here > df_high);
    if (!refused_by_own_rules(count, done.children, done.max_child, settings) && by_label &&
        df_inside && done.emitted)
      set_bit(sel->features.bits, id);
    if (count > up->max_child) up->max_child = count;
    up->df += df_here;
    up->emitted = up->emitted || done.emitted;
    if (internal) parent[done.rank] = up->id;
  }
};

// Where a counting walk starts: at the root for the whole tree, or, for a
// part of the walk on a thread of its own, at the first of a run of the
// root's children, with the root open above it.  The walk ends once record
// `last` is complete; what it then leaves is in `end`.
struct walk_span {
  stree_ref first, last;
  uint32_t id;        // the first record's number
  uint32_t internal;  // internal records numbered before it
  open_record root;   // the open root, for a part; on return, what it gathered
  uint32_t total = 0;     // on return: suffixes ending in the walk's records
  uint32_t next_id = 0;   // on return: the number after the walk's last
  uint32_t internal_end = 0;
};

// The preorder walk of the tree, or of a part of it, that gives the numbers
// and does all the counting.  A record's count is the number of suffixes
// ending in its subtree: the walk keeps a running total of the suffixes
// ending at the records met so far, and a record's count is the total on
// leaving it less the total on entering it.  `depth` is the path length of
// the current record's parent, which places a leaf's suffix.
// The hook hears from the walk once in this many records.
constexpr uint32_t kTickRecords = uint32_t{1} << 16;

// The walk meets the records of each space in about the order they lie in
// their pages (a build in one go makes them in preorder), so the memory
// kWalkAhead bytes on from each record is asked for as the walk reaches it:
// 5-10% off the walk on the 25 MB corpora and on the narrow tree's 5 MB.
// (A prefetch never faults, even past a mapping's end.)
constexpr uintptr_t kWalkAhead = 1600;

void fetch_ahead(stree_ref x) {
  __builtin_prefetch(
      reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(int_stree_words(x)) + kWalkAhead));
}

bool count_occurrences(suffix_tree* tree, count_walk& w, walk_span& span) {
  vok_selection* sel = w.sel;
  open_record* path = w.path;
  const bool loci = (sel->jobs & VOK_JOB_LOCI) != 0;
  size_t open = 0;  // records on the path
  if (span.first != tree->root) path[open++] = span.root;
  uint32_t next_id = span.id;
  uint32_t total = 0;
  int32_t depth = 0;
  uint32_t internal = span.internal;  // internal records met so far
  // Words of the internal set with their count: those that start below
  // the walk's first number are another walk's.
  uint32_t counted_words = (span.id + VOK_SET_MASK) >> VOK_SET_SHIFT;
  unsigned char top = 0;  // first character of the current path label
  stree_ref x = span.first;
  loci_writer writer(sel->loci);
  stree_pass_cursor passed(w.passing);
  for (;;) {
    const uint32_t id = next_id++;
    if ((id & (kTickRecords - 1)) == 0 && !w.tick(tree, id)) return false;
    fetch_ahead(x);
    int_stree_number(tree, x, id);
    const bool leaf = int_stree_isaleaf(tree, x);
    if (!leaf) {
      if (w.chains) {
        while (counted_words <= (id >> VOK_SET_SHIFT))
          sel->chains.internal_before[counted_words++] = internal;
        w.set_bit(sel->chains.internal, id);
      }
      if (w.nodes) {
        if (!node_room(&sel->nodes, internal)) {
          w.out_of_memory = true;
          return false;
        }
        const unsigned char code = static_cast<unsigned char>(int_stree_node_code(x));
        if (open == 1) top = code;
        sel->nodes.at[internal] =
            vok_node{x, int_stree_node(x)->suffix_link, open > 0 ? path[open - 1].rank : 0,
                     open > 0 ? top : uint8_t{0}, open > 0 ? code : uint8_t{0}};
      }
      ++internal;
    }
    if (loci) note_loci(tree, x, depth, open > 0 ? path[open - 1].id : 0, sel->loci, &writer);
    const uint32_t own_df = w.df ? w.tally(tree, x, id, open) : 0;
    const bool own_emitted = w.emits_here(tree, x, depth);
    if (open > 0) ++path[open - 1].children;
    const uint32_t ends = static_cast<uint32_t>(int_stree_num_ends(tree, x));
    const uint32_t rank = leaf ? kLeafRank : internal - 1;
    stree_ref child = int_stree_first_child(tree, x);
    // x's end records are read only on entering it.
    if (w.passing && !leaf && int_stree_has_endrecs(x))
      for (stree_ref e = int_stree_node(x)->children; e != STREE_NONE; e = int_stree_endrec(e)->next)
        int_stree_pass(&passed, e);
    if (child != STREE_NONE) {
      // The walk comes back to x's next sibling only after x's subtree:
      // ask for it now so that the wait overlaps with that subtree.
      const bool last = int_stree_is_last(x);
      const stree_ref next = int_stree_link(x);
      if (!last) __builtin_prefetch(int_stree_words(next));
      const int32_t edge = int_stree_node(x)->edgelen;
      path[open++] = open_record{id, total, 0, 0, rank, own_df, own_emitted, last, edge, next};
      total += ends;
      depth += edge;
      x = child;
      continue;
    }
    total += ends;
    w.complete(open_record{id, total, 0, 0, rank, own_df, own_emitted}, ends, true,
               open > 0 ? &path[open - 1] : nullptr);
    // Climb while x is the last of its siblings, completing each parent.
    bool last = int_stree_is_last(x);
    stree_ref next = int_stree_link(x);
    for (;;) {
      if (x == span.last) {
        writer.flush();
        if (w.passing) {  // nothing reads the span's last record again
          int_stree_pass(&passed, x);
          int_stree_pass_end(&passed);
        }
        if (w.chains)
          for (; uint64_t{counted_words} << VOK_SET_SHIFT < next_id; ++counted_words)
            sel->chains.internal_before[counted_words] = internal;
        if (open > 0) span.root = path[0];
        span.total = total;
        span.next_id = next_id;
        span.internal_end = internal;
        return true;
      }
      if (w.passing) int_stree_pass(&passed, x);
      x = next;
      if (!last) break;
      // x's entry, read in place: a copy would read in wide loads what the
      // walk has just written field by field, which waits for those stores
      // (the store buffer forwards no load that spans several of them).
      const open_record& done = path[--open];
      last = done.last;
      next = done.next;
      const int32_t edge = done.edgelen;
      depth -= edge;
      // Any four bytes in a row hold a character boundary: only a short
      // edge can lack one.
      const bool whole = !w.settings.utf8 || edge >= 4 ||
                         vok_label_whole(int_stree_edge_string(tree, x) + edge, depth + edge,
                                         depth + 1) != 0;
      // Its shortest substring is one byte longer than its parent's path.
      const bool short_enough = w.settings.max_shortest <= 0 || depth < w.settings.max_shortest;
      w.complete(done, total - done.entry_total, whole && short_enough,
                 open > 0 ? &path[open - 1] : nullptr);
    }
  }
}

// Entries the counting walk's path needs: one per record on the longest
// path from the root, which has at most one record per character of the
// longest stored string, plus the root.
size_t path_room(const suffix_tree* tree) {
  int32_t longest = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot)
    if (tree->strings[slot] && tree->lengths[slot] > longest)
      longest = tree->lengths[slot];
  return static_cast<size_t>(longest) + 1;
}

// ---- the counting walk in parts ----------------------------------------------

// Groups the built runs, in order, into at most `threads` spans of whole
// runs about even in records, and finds each span's last child of the
// root; returns the number of spans.
int span_runs(const suffix_tree* tree, const stree_built_runs& runs, int threads,
              walk_span* spans) {
  uint64_t all = 0;
  for (int k = 0; k < runs.count; ++k) all += runs.at[k].records;
  uint64_t records = 0, internal = 0;
  int count = 0;
  for (int k = 0; k < runs.count; ++count) {
    const uint64_t target = all * static_cast<uint64_t>(count + 1) / static_cast<uint64_t>(threads);
    spans[count] = walk_span{runs.at[k].first, STREE_NONE, static_cast<uint32_t>(1 + records),
                             static_cast<uint32_t>(1 + internal), open_record{}};
    do {
      records += runs.at[k].records;
      internal += runs.at[k].internal;
      ++k;
    } while (k < runs.count && records + runs.at[k].records <= target);
  }
  int at = 0;
  stree_ref before = STREE_NONE;
  for (stree_ref c = int_stree_first_child(tree, tree->root);; c = int_stree_link(c)) {
    if (at + 1 < count && c == spans[at + 1].first) spans[at++].last = before;
    before = c;
    if (int_stree_is_last(c)) break;
  }
  spans[at].last = before;
  return at + 1 == count ? count : 0;
}

// What the walk does at the root, the parts' walks being below it: as the
// whole walk's first step does.  False when the hook asks to stop.
bool visit_root(suffix_tree* tree, count_walk& w) {
  if (!w.tick(tree, 0)) return false;
  vok_selection* sel = w.sel;
  int_stree_number(tree, tree->root, 0);
  if (w.chains) {
    sel->chains.internal_before[0] = 0;
    sel->chains.internal[0] |= 1;
  }
  if (w.nodes) sel->nodes.at[0] = vok_node{tree->root, int_stree_node(tree->root)->suffix_link, 0, 0, 0};
  return true;
}

// Spans of runs per thread: the threads take them in turn, so that a span
// that walks slower than its share of records (its records further apart
// in memory) holds up one thread for a part of the walk, not the other
// thread for all of it.
constexpr int kSpansPerThread = 4;

// The counting walk split among threads by the runs of the root's children
// that the build made on threads.  `done` is false when the walk cannot be
// split (one run, the root with suffixes of its own, the node table too
// small, no memory for the threads' tables): the caller then walks the
// whole tree.  Otherwise the result is the whole walk's.  Each thread keeps
// its path and its table of last meetings from span to span: the spans it
// takes come in the order of their numbers, and a document met in an
// earlier span meets the later one at the root, as one met in another
// thread's span does.
bool count_in_parts(suffix_tree* tree, count_walk& whole, const stree_built_runs* runs,
                    int threads, bool* done) {
  *done = false;
  if (!runs || runs->count < 2 || threads < 2 || int_stree_num_ends(tree, tree->root) != 0)
    return true;
  vok_selection* sel = whole.sel;
  walk_span spans[STREE_MAX_BUILT_RUNS];
  const int count =
      span_runs(tree, *runs, std::min(threads * kSpansPerThread, runs->count), spans);
  uint64_t internal = 1;
  for (int k = 0; k < runs->count; ++k) internal += runs->at[k].internal;
  if (count < 2 || (whole.nodes && sel->nodes.room < internal)) return true;
  const int workers = std::min(threads, count);
  struct part_tables {
    open_record* path = nullptr;
    uint32_t* last = nullptr;
    ~part_tables() {
      std::free(path);
      std::free(last);
    }
  } tables[STREE_MAX_BUILT_RUNS];
  const size_t slots = static_cast<size_t>(tree->slots) + 1, room = path_room(tree);
  for (int t = 0; t < workers; ++t) {
    if (!allocate(&tables[t].path, room)) return true;
    if (whole.df && t > 0) {
      if (!allocate(&tables[t].last, slots)) return true;
      std::memset(tables[t].last, 0xff, slots * sizeof(uint32_t));
    }
  }
  *done = true;
  if (!visit_root(tree, whole)) return false;
  std::atomic<uint64_t> numbered{1};
  std::atomic<bool> quit{false};
  std::atomic<bool> out_of_memory{false};
  std::atomic<int> next{0};
  const uint64_t records = static_cast<uint64_t>(tree->num_nodes);
  stree_run_parts(workers, [&](int t) {
    count_walk w = whole;
    w.path = tables[t].path;
    if (t > 0 && w.df) w.last = tables[t].last;
    w.numbered = &numbered;
    w.quit = &quit;
    w.tells = t == 0;  // the calling thread
    for (int k; !quit.load() && (k = next++) < count;) {
      const uint64_t end = k + 1 < count ? spans[k + 1].id : records;
      w.own_from = (spans[k].id + VOK_SET_MASK) >> VOK_SET_SHIFT;
      w.own_to = static_cast<size_t>(end >> VOK_SET_SHIFT);
      w.told = spans[k].id;
      spans[k].root = open_record{0, 0, 0, 0, 0, 0, w.emits_here(tree, tree->root, 0)};
      if (!count_occurrences(tree, w, spans[k])) {
        if (w.out_of_memory) out_of_memory.store(true);
        quit.store(true);
      }
    }
  });
  if (quit.load()) {  // a span failed, or the hook asked to stop
    whole.out_of_memory |= out_of_memory.load();
    return false;
  }
  for (int k = 0; k < count; ++k)  // the runs told where each span's numbers start and end
    STREE_ASSERT(spans[k].next_id == (k + 1 < count ? spans[k + 1].id : records));
  open_record root = spans[0].root;
  uint32_t total = spans[0].total;
  for (int k = 1; k < count; ++k) {
    root.children += spans[k].root.children;
    root.max_child = std::max(root.max_child, spans[k].root.max_child);
    root.df += spans[k].root.df;
    total += spans[k].total;
  }
  whole.complete(root, total, true, nullptr);
  sel->internal_records = spans[count - 1].internal_end;
  if (whole.passing) {  // the root, read by visit_root, goes last
    stree_pass_cursor passed(whole.passing);
    int_stree_pass(&passed, tree->root);
    int_stree_pass_end(&passed);
  }
  return true;
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
  // A leaf is never a feature; one that stands for a single suffix counts 1
  // (and keeps no number in the wide tree).
  if (w == STREE_NONE || int_stree_isaleaf(tree, w)) return;
  const uint32_t count = int_stree_isaleaf(tree, x) ? 1 : sel.counts.of[int_stree_id(x)];
  if (refuses_link_target(count, sel.counts.of[int_stree_id(w)], *rule->settings))
    vok_set_put(sel.features.bits, int_stree_id(w), false);
}

// The walk left each internal record's parent in ancestor[], and a parent's
// number (and so its rank) is below its children's: in rank order, every
// record's nearest selected proper ancestor follows from its parent's, in
// place.
void parents_to_ancestors(const vok_selection& sel) {
  const vok_chains& chains = sel.chains;
  uint32_t* ancestor = chains.ancestor;
  ancestor[0] = 0;
  for (uint64_t r = 1; r < sel.internal_records; ++r) {
    const uint32_t p = ancestor[r];
    ancestor[r] = vok_in_set(sel.features.bits, p) ? p : ancestor[vok_internal_rank(chains, p)];
  }
}

// max_features: of the features, only the `most` of the highest document
// frequency stay, ties going to the lower number.  A count of the features
// by frequency (in the table of last meetings, which the walk is done with:
// no frequency exceeds the slots) gives the lowest frequency kept and how
// many of that frequency stay.
void keep_most_frequent(const suffix_tree* tree, vok_selection* sel, uint64_t most) {
  uint32_t* by_df = sel->df.last;
  const size_t top = static_cast<size_t>(tree->slots);
  std::memset(by_df, 0, (top + 1) * sizeof(uint32_t));
  const size_t words = vok_set_words(static_cast<size_t>(tree->num_nodes));
  uint64_t features = 0;
  for (size_t w = 0; w < words; ++w)
    for (uint64_t bits = sel->features.bits[w]; bits != 0; bits &= bits - 1, ++features)
      ++by_df[sel->df.of[w << VOK_SET_SHIFT | static_cast<unsigned>(__builtin_ctzll(bits))]];
  if (features <= most) return;
  uint64_t above = 0;
  size_t lowest = top;
  while (above + by_df[lowest] < most) above += by_df[lowest--];
  uint64_t at_lowest = most - above;
  for (size_t w = 0; w < words; ++w)
    for (uint64_t bits = sel->features.bits[w]; bits != 0; bits &= bits - 1) {
      const uint32_t v = static_cast<uint32_t>(w << VOK_SET_SHIFT |
                                               static_cast<unsigned>(__builtin_ctzll(bits)));
      const uint32_t df = sel->df.of[v];
      if (df > lowest) continue;
      if (df == lowest && at_lowest > 0) {
        --at_lowest;
        continue;
      }
      vok_set_put(sel->features.bits, v, false);
    }
}

// The features of every locus and of its chain, once the ancestors are
// known.  Above a feature already seen, every one is seen.
void mark_seen(const suffix_tree* tree, vok_selection* sel) {
  const vok_chains& chains = sel->chains;
  const vok_loci& loci = sel->loci;
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    if (!tree->strings[slot]) continue;
    const size_t first = loci.first[slot];
    const size_t end = vok_locus_place(loci, first + static_cast<size_t>(tree->lengths[slot]));
    for (size_t k = vok_locus_place(loci, first); k < end; ++k) {
      uint32_t v = loci.at[k];
      if (!vok_in_set(sel->features.bits, v)) v = chains.ancestor[vok_internal_rank(chains, v)];
      for (; v != 0 && !vok_in_set(sel->seen.bits, v); v = chains.ancestor[vok_internal_rank(chains, v)])
        vok_set_put(sel->seen.bits, v, true);
    }
  }
  const size_t words = vok_set_words(static_cast<size_t>(tree->num_nodes));
  sel->seen_count = vok_set_count_before(sel->seen.bits, words, sel->seen.before);
}

}  // namespace

bool vok_selection_link_rule_on(const vok_settings& settings) {
  return can_refuse(settings.max_link_prob);
}

bool vok_selection_alloc(const suffix_tree* tree, const vok_settings& settings,
                         unsigned jobs, vok_selection* sel) {
  // The suffix-link rule's walk reads the records after the counting walk.
  if (vok_selection_link_rule_on(settings)) jobs = (jobs | VOK_JOB_COUNTS) & ~VOK_JOB_PASS;
  if (jobs & VOK_JOB_SEEN) jobs |= VOK_JOB_LOCI;
  if (jobs & VOK_JOB_LOCI) jobs |= VOK_JOB_CHAINS;
  sel->jobs = jobs;
  const size_t n = static_cast<size_t>(tree->num_nodes);
  if (!allocate(&sel->features.bits, vok_set_words(n))) return false;
  // The walk sets the bit of every record, but not those past the last.
  std::memset(sel->features.bits, 0, vok_set_words(n) * sizeof(uint64_t));
  if ((jobs & VOK_JOB_COUNTS) && !allocate(&sel->counts.of, n)) return false;
  if (vok_settings_use_df(settings)) {
    const size_t slots = static_cast<size_t>(tree->slots) + 1;
    if (!allocate(&sel->df.last, slots)) return false;
    std::memset(sel->df.last, 0xff, slots * sizeof(uint32_t));
    if (settings.max_features > 0 && !allocate(&sel->df.of, n)) return false;
  }
  if (jobs & VOK_JOB_CHAINS) {
    // Room for every record; only the internal records' entries are used.
    vok_chains& c = sel->chains;
    if (!allocate(&c.internal, vok_set_words(n + 1)) ||
        !allocate(&c.internal_before, vok_set_words(n + 1)) ||
        !allocate_ancestors(tree, n, &c.ancestor))
      return false;
    std::memset(c.internal, 0, vok_set_words(n + 1) * sizeof(uint64_t));
  }
  if (!(jobs & VOK_JOB_LOCI)) return true;
  if (jobs & VOK_JOB_SEEN) {
    if (!allocate(&sel->seen.bits, vok_set_words(n)) || !allocate(&sel->seen.before, vok_set_words(n)))
      return false;
    std::memset(sel->seen.bits, 0, vok_set_words(n) * sizeof(uint64_t));
    // Every internal record but the root has two children or more, so
    // there are fewer of them than half the records: the table never grows.
    sel->nodes.room = n / 2 + 2;
    if (!allocate(&sel->nodes.at, sel->nodes.room)) return false;
  }
  return allocate_loci(tree, settings, &sel->loci);
}

void vok_selection_free(vok_selection* sel) {
  for (void* table : {static_cast<void*>(sel->features.bits),
                      static_cast<void*>(sel->counts.of), static_cast<void*>(sel->chains.internal),
                      static_cast<void*>(sel->chains.internal_before),
                      static_cast<void*>(sel->chains.ancestor), static_cast<void*>(sel->loci.first),
                      static_cast<void*>(sel->loci.emitting), static_cast<void*>(sel->loci.before),
                      static_cast<void*>(sel->loci.at), static_cast<void*>(sel->seen.bits),
                      static_cast<void*>(sel->seen.before), static_cast<void*>(sel->nodes.at),
                      static_cast<void*>(sel->df.last), static_cast<void*>(sel->df.of)})
    std::free(table);
  *sel = vok_selection();
}

vok_status vok_select_features(suffix_tree* tree, const vok_settings& settings,
                               vok_selection* sel, const vok_hook* hook,
                               const stree_built_runs* runs) {
  open_record* path = nullptr;
  if (!allocate(&path, path_room(tree))) return VOK_NO_MEMORY;
  struct passing_counts {
    stree_passed_pages pages;
    ~passing_counts() { int_stree_passing_close(&pages); }
  } passing;
  const bool pass = (sel->jobs & VOK_JOB_PASS) != 0;
  if (pass && !int_stree_passing_open(tree, vok_settings_threads(settings), &passing.pages)) {
    std::free(path);
    return VOK_NO_MEMORY;
  }
  const double docs = static_cast<double>(sel->docs);
  count_walk walk{settings, sel, path, sel->chains.ancestor,
                  (sel->jobs & VOK_JOB_CHAINS) != 0, (sel->jobs & VOK_JOB_COUNTS) != 0,
                  (sel->jobs & VOK_JOB_SEEN) != 0, hook, sel->df.last != nullptr,
                  settings.min_df_share ? settings.min_df * docs : settings.min_df,
                  settings.max_df_share ? settings.max_df * docs : settings.max_df,
                  settings.max_features > 0 && (settings.word_delimited != 0 || settings.utf8)};
  walk.last = sel->df.last;
  if (pass) walk.passing = &passing.pages;
  bool split = false;
  bool counted = count_in_parts(tree, walk, runs, vok_settings_threads(settings), &split);
  if (!split) {
    walk_span whole{tree->root, tree->root, 0, 0, open_record{}};
    counted = count_occurrences(tree, walk, whole);
    sel->internal_records = whole.internal_end;
  }
  std::free(path);
  if (!counted) return walk.out_of_memory ? VOK_NO_MEMORY : VOK_STOPPED;
  int_stree_numbered(tree);
  if (walk.chains) {
    const size_t words = vok_set_words(static_cast<size_t>(tree->num_nodes) + 1);
    for (size_t w = vok_set_words(static_cast<size_t>(tree->num_nodes)); w < words; ++w)
      sel->chains.internal_before[w] = static_cast<uint32_t>(sel->internal_records);
  }
  if (vok_selection_link_rule_on(settings)) {
    link_rule rule{&settings, sel};
    stree_traverse(tree, judge_link_target, nullptr, &rule);
  }
  if (sel->df.of) keep_most_frequent(tree, sel, static_cast<uint64_t>(settings.max_features));
  const size_t words = vok_set_words(static_cast<size_t>(tree->num_nodes));
  sel->feature_count = 0;
  for (size_t w = 0; w < words; ++w) sel->feature_count += int_stree_popcount(sel->features.bits[w]);
  if (walk.chains) parents_to_ancestors(*sel);
  if (sel->jobs & VOK_JOB_SEEN) mark_seen(tree, sel);
  return VOK_OK;
}

VOK_NS_END
