// Occurrence counts and feature selection over the finished tree.
//
// Both walks visit a subtree in preorder without a stack: they go down
// through first-child words and come back up through the `link` of each
// last sibling, which holds its parent.  The depth of the tree (up to the
// length of the longest document) therefore costs nothing.
#include "features.h"

#include <cstdlib>

namespace {

// Both probability bounds are raised by this much, so that a ratio equal
// to a bound (up to rounding) is not refused.
constexpr double kProbTolerance = 1e-8;

// True when `part` of `whole` occurrences reaches the bound (plus the
// tolerance), taken as a real ratio.
bool carries_too_much(uint32_t part, uint32_t whole, double bound) {
  return part / static_cast<double>(whole) >= bound + kProbTolerance;
}

// A child never has more occurrences than its parent, nor a node more than
// its suffix-link target, so their ratio is at most 1.  A bound above 1
// (the default 1.0 plus the tolerance) can never be reached, and the rule
// need not look at the other record at all.
bool can_refuse(double bound) { return !(1.0 < bound + kProbTolerance); }

// The record spelling v's path label without its first character.
stree_ref suffix_link_target(const suffix_tree* tree, stree_ref v) {
  if (int_stree_isaleaf(tree, v)) return int_stree_leaf_suffix_link(tree, v);
  return int_stree_node(v)->suffix_link;
}

// Applies the rules to one non-root record v.  Its own flag falls for a
// count outside [min_freq, max_freq), too few children, or a child that
// carries too large a share of its occurrences (the parent rule, seen from
// the parent's side).  Its suffix-link target's flag falls when v carries
// too large a share of the target's occurrences.
void judge_record(const suffix_tree* tree, stree_ref v,
                  const vok_settings& settings, bool parent_rule,
                  bool link_rule, const uint32_t* freq,
                  unsigned char* selected) {
  const uint32_t f = freq[int_stree_id(v)];
  long children = 0;
  bool dominated = false;
  for (stree_ref c = int_stree_first_child(tree, v); c != STREE_NONE;
       c = int_stree_next_sibling(c)) {
    ++children;
    if (parent_rule &&
        carries_too_much(freq[int_stree_id(c)], f, settings.max_parent_prob))
      dominated = true;
  }
  const int64_t count = f;
  if (count < settings.min_freq || count >= settings.max_freq ||
      children < settings.min_branches || dominated)
    selected[int_stree_id(v)] = 0;
  if (!link_rule) return;
  stree_ref w = suffix_link_target(tree, v);
  if (w != STREE_NONE &&
      carries_too_much(f, freq[int_stree_id(w)], settings.max_link_prob))
    selected[int_stree_id(w)] = 0;
}

// Records the loci of the suffixes that end exactly at x: a leaf's own
// suffix (its start is its label's start less its parent's path length), or
// one per end record.
void note_loci(const suffix_tree* tree, stree_ref x, int32_t parent_depth,
               const vok_output_index& index) {
  uint32_t id = int_stree_id(x);
  if (int_stree_isaleaf(tree, x)) {
    uint32_t packed = int_stree_leaf(x)->strpos;
    index.loci[index.first[stree_pos_strid(packed)] +
               static_cast<size_t>(stree_pos_offset(packed) - parent_depth)] =
        id;
    return;
  }
  if (!int_stree_has_endrecs(x)) return;
  for (stree_ref e = int_stree_node(x)->children; e != STREE_NONE;
       e = int_stree_endrec(e)->next) {
    uint32_t packed = int_stree_endrec(e)->strpos;
    index.loci[index.first[stree_pos_strid(packed)] +
               static_cast<size_t>(stree_pos_offset(packed))] = id;
  }
}

// One preorder walk of the whole tree that judges every record (when
// `judge`) and gives every record its nearest selected proper ancestor (when
// `above`).  Siblings share that ancestor, and a first child takes its
// parent when the parent is selected, else the parent's own; so the value a
// record gets is carried to it from the record the walk comes from.  A
// record's value is stored only once it has been judged, and the record's
// count is not read after that (its parent judged it through its children
// before), so `above` may be the count array itself.  The flags carried on
// must be final when the walk passes them on, which holds unless the
// suffix-link rule can still refuse a record later from elsewhere.
void selection_walk(suffix_tree* tree, const vok_settings& settings,
                    const uint32_t* freq, unsigned char* selected, bool judge,
                    uint32_t* above) {
  const bool parent_rule = can_refuse(settings.max_parent_prob);
  const bool link_rule = can_refuse(settings.max_link_prob);
  stree_ref x = tree->root;
  selected[0] = 0;
  uint32_t carried = 0;
  for (;;) {
    uint32_t id = int_stree_id(x);
    if (judge && x != tree->root)
      judge_record(tree, x, settings, parent_rule, link_rule, freq, selected);
    if (above) above[id] = carried;
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      if (selected[id]) carried = id;
      x = child;
      continue;
    }
    while (x != tree->root && int_stree_is_last(x)) x = int_stree_link(x);
    if (x == tree->root) return;
    if (above) carried = above[int_stree_id(x)];
    x = int_stree_link(x);
  }
}

}  // namespace

void count_occurrences(suffix_tree* tree, stree_ref top, uint32_t* freq,
                       const vok_output_index* index) {
  // Over the whole tree the walk below is the same preorder the tree's
  // renumbering takes, so it gives the numbers itself and saves a pass.
  const bool numbering = tree->renumber_pending && top == tree->root;
  if (tree->renumber_pending && !numbering) int_stree_renumber(tree);
  if (top != tree->root) index = nullptr;
  // A record's count is the number of suffixes ending in its subtree.  The
  // walk keeps a running total of the suffixes ending at the records met so
  // far; on entering a record its slot notes the total, and on leaving it
  // (its whole subtree seen) the slot becomes the difference.  So every
  // record is read once, and no child list twice.  `depth` is the path
  // length of the current record's parent, which places a leaf's suffix.
  uint32_t next_id = 0;
  uint32_t total = 0;
  int32_t depth = 0;
  stree_ref x = top;
  for (;;) {
    if (numbering) {
      uint32_t& h = int_stree_header(x);
      h = (h & ~STREE_ID_MASK) | next_id++;
    }
    if (index) note_loci(tree, x, depth, *index);
    freq[int_stree_id(x)] = total;
    total += static_cast<uint32_t>(int_stree_num_ends(tree, x));
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      depth += int_stree_node(x)->edgelen;
      x = child;
      continue;
    }
    for (;;) {
      uint32_t& f = freq[int_stree_id(x)];
      f = total - f;
      if (x == top) {
        if (numbering) tree->renumber_pending = 0;
        return;
      }
      bool last = int_stree_is_last(x);
      x = int_stree_link(x);
      if (!last) break;
      depth -= int_stree_node(x)->edgelen;
    }
  }
}

void select_features(suffix_tree* tree, stree_ref top,
                     const vok_settings& settings, const uint32_t* freq,
                     unsigned char* selected, uint32_t* above) {
  if (tree->renumber_pending) int_stree_renumber(tree);
  if (top == tree->root) {
    if (above && can_refuse(settings.max_link_prob)) {
      selection_walk(tree, settings, freq, selected, true, nullptr);
      selection_walk(tree, settings, freq, selected, false, above);
    } else {
      selection_walk(tree, settings, freq, selected, true, above);
    }
    return;
  }
  // A subtree: the walk judges each parent through its children, so the
  // parent of the subtree's top, which lies outside the walk, is judged
  // here.
  const bool parent_rule = can_refuse(settings.max_parent_prob);
  const bool link_rule = can_refuse(settings.max_link_prob);
  if (parent_rule) {
    stree_ref parent = int_stree_get_parent(tree, top);
    if (carries_too_much(freq[int_stree_id(top)], freq[int_stree_id(parent)],
                         settings.max_parent_prob))
      selected[int_stree_id(parent)] = 0;
  }
  stree_ref x = top;
  for (;;) {
    judge_record(tree, x, settings, parent_rule, link_rule, freq, selected);
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      x = child;
      continue;
    }
    while (x != top && int_stree_is_last(x)) x = int_stree_link(x);
    if (x == top) return;
    x = int_stree_link(x);
  }
}

namespace {

// A node on the path from the root to the record the fused walk visits:
// its number, how many children it has shown so far and the largest count
// among those children.  Its entry total sits in its count slot.
struct open_node {
  uint32_t id;
  uint32_t children;
  uint32_t max_child;
};

// The open nodes of the fused walk, deepest last.  Grows with the depth of
// the tree (up to the length of the longest document), on the heap.
struct open_path {
  open_node* nodes = nullptr;
  size_t size = 0;
  size_t capacity = 0;

  ~open_path() { std::free(nodes); }
  bool push(uint32_t id) {
    if (size == capacity) {
      size_t grown = capacity == 0 ? 1024 : capacity * 2;
      void* p = std::realloc(nodes, grown * sizeof(open_node));
      if (p == nullptr) return false;
      nodes = static_cast<open_node*>(p);
      capacity = grown;
    }
    nodes[size++] = open_node{id, 0, 0};
    return true;
  }
  open_node* top() { return size > 0 ? &nodes[size - 1] : nullptr; }
};

// Decides the flag of a record whose count f, number of children and
// largest child count are known, by every rule but the suffix-link one.
unsigned char passes_rules(uint32_t f, uint32_t children, uint32_t max_child,
                           const vok_settings& settings, bool parent_rule) {
  const int64_t count = f;
  if (count < settings.min_freq || count >= settings.max_freq ||
      static_cast<long>(children) < settings.min_branches)
    return 0;
  if (parent_rule && children > 0 &&
      carries_too_much(max_child, f, settings.max_parent_prob))
    return 0;
  return 1;
}

// A record is complete once its whole subtree has been seen: its flag is
// decided, its count is handed to its parent's frame, and its slot keeps
// its parent's number for the ancestor pass.
void complete(uint32_t id, uint32_t f, uint32_t children, uint32_t max_child,
              open_node* parent, const vok_settings& settings,
              bool parent_rule, uint32_t* slots, unsigned char* selected) {
  if (parent == nullptr) {
    selected[id] = 0;  // the root is never a feature
    slots[id] = 0;
    return;
  }
  selected[id] = passes_rules(f, children, max_child, settings, parent_rule);
  if (f > parent->max_child) parent->max_child = f;
  slots[id] = parent->id;
}

// Each record's slot in `parents` names its parent, and a parent's number
// is below its children's: in number order, every record's nearest selected
// proper ancestor follows from its parent's.  `above` may be `parents`.
void parents_to_ancestors(const uint32_t* parents,
                          const unsigned char* selected, uint32_t* above,
                          int32_t n) {
  above[0] = 0;
  for (int32_t i = 1; i < n; ++i) {
    const uint32_t p = parents[i];
    above[i] = selected[p] ? p : above[p];
  }
}

}  // namespace

int count_and_select(suffix_tree* tree, const vok_settings& settings,
                     uint32_t* freq, unsigned char* selected,
                     const vok_output_index& index) {
  if (can_refuse(settings.max_link_prob)) {
    // A record can still be refused from a node met later in the walk, so
    // the counts must all be known before any record is judged.
    count_occurrences(tree, tree->root, freq, &index);
    select_features(tree, tree->root, settings, freq, selected, index.above);
    return 1;
  }
  const bool parent_rule = can_refuse(settings.max_parent_prob);
  open_path path;
  // The walk is the renumbering's preorder, so it gives the numbers itself.
  uint32_t next_id = 0;
  uint32_t total = 0;
  int32_t depth = 0;
  stree_ref x = tree->root;
  for (;;) {
    uint32_t& h = int_stree_header(x);
    h = (h & ~STREE_ID_MASK) | next_id;
    const uint32_t id = next_id++;
    note_loci(tree, x, depth, index);
    if (open_node* parent = path.top()) ++parent->children;
    const uint32_t ends = static_cast<uint32_t>(int_stree_num_ends(tree, x));
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      // The walk comes back to x's next sibling only after x's subtree:
      // ask for it now so that the wait overlaps with that subtree.
      if (!int_stree_is_last(x))
        __builtin_prefetch(int_stree_words(int_stree_link(x)));
      if (!path.push(id)) return 0;
      freq[id] = total;
      total += ends;
      depth += int_stree_node(x)->edgelen;
      x = child;
      continue;
    }
    total += ends;
    complete(id, ends, 0, 0, path.top(), settings, parent_rule, freq,
             selected);
    // Climb while x is the last of its siblings, completing each parent.
    for (;;) {
      if (x == tree->root) {
        tree->renumber_pending = 0;
        parents_to_ancestors(freq, selected, index.above, tree->num_nodes);
        return 1;
      }
      const bool last = int_stree_is_last(x);
      x = int_stree_link(x);
      if (!last) break;
      open_node done = path.nodes[--path.size];
      depth -= int_stree_node(x)->edgelen;
      complete(done.id, total - freq[done.id], done.children, done.max_child,
               path.top(), settings, parent_rule, freq, selected);
    }
  }
}
