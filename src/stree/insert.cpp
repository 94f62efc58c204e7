// Online insertion of one string into the generalized suffix tree
// (Ukkonen's construction adapted to a tree that already holds other
// strings).  One phase per character plus a closing phase for the string's
// end; leaves run to the end of their string from the moment they are made;
// suffixes that end inside the tree get end records in the closing phase.
#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

// The state of one insertion.
struct inserter {
  suffix_tree* tree;
  const char* text;   // T, the caller's text
  int32_t len;        // M
  int32_t slot;       // string-table slot of T
  stree_ref active;   // A: the end of T[i..j) lies p characters down A's edge
  stree_ref parent;   // A's parent when known (saves a walk), else none
  int32_t p;
  const char* edge;   // E: A's edge string (nullptr at the root)
  int32_t edgelen;    // L: A's edge length
  stree_ref waiting;  // W: the node whose suffix link may still be missing
  int32_t i;          // first suffix not yet inserted
  stree_ref split;    // node made by a split in the current extension
};

// Asks for the record that a node's suffix link names.  An extension at a
// node soon needs that record either way: the suffix-link step goes there
// when the node lacks the child, and a split on the child's edge starts its
// walk there.  Asked for before the child lookup, its cache miss overlaps
// the lookup's own.
void prefetch_link_target(const suffix_tree* tree, stree_ref node) {
  if (int_stree_isaleaf(tree, node)) return;
  const stree_ref target = int_stree_node(node)->suffix_link;
  if (target != STREE_NONE) __builtin_prefetch(int_stree_words(target));
}

void set_active(inserter& s, stree_ref a, int32_t p,
                stree_ref parent = STREE_NONE) {
  s.active = a;
  s.parent = parent;
  s.p = p;
  s.edge = a == s.tree->root ? nullptr : int_stree_edge_string(s.tree, a);
  s.edgelen = int_stree_edge_length(s.tree, a);
}

// Hangs a new leaf for suffix i (edge T[j..M)) below the active record.
bool add_leaf(inserter& s, int32_t j) {
  suffix_tree* tree = s.tree;
  stree_ref leaf = int_stree_new_leaf(tree, s.slot, j);
  if (leaf == STREE_NONE) return false;
  if (tree->num_nodes >= STREE_MAX_NODES) {
    int_stree_free_record(tree, leaf);
    return false;
  }
  stree_ref parent = int_stree_add_child(tree, s.active, leaf);
  if (parent == STREE_NONE) {
    int_stree_free_record(tree, leaf);
    return false;
  }
  ++tree->num_nodes;
  // A leaf that took the child became a node in the leaf's place.
  if (parent != s.active) set_active(s, parent, s.p, s.parent);
  return true;
}

enum step_result { EXTENDED, PHASE_OVER, FAILED };

// One extension in phase j: makes suffix i end at a leaf or end record, or
// finds T[i..j] already in the tree.
step_result extend(inserter& s, int32_t j) {
  suffix_tree* tree = s.tree;
  const bool closing = j == s.len;
  if (s.p == 0 || s.p == s.edgelen) {
    if (closing) {
      stree_ref node = int_stree_leaf_to_node(tree, s.active);
      if (node == STREE_NONE) return FAILED;
      if (node != s.active) set_active(s, node, s.p, s.parent);
      return int_stree_add_endrec(tree, node, s.slot, s.i) ? EXTENDED : FAILED;
    }
    prefetch_link_target(tree, s.active);
    stree_ref y = int_stree_find_child_indexing(
        tree, s.active, static_cast<unsigned char>(s.text[j]));
    if (y != STREE_NONE) {
      set_active(s, y, 1, s.active);
      return PHASE_OVER;
    }
    return add_leaf(s, j) ? EXTENDED : FAILED;
  }
  if (!closing && int_stree_code_of(tree, s.text[j]) ==
                      int_stree_code_of(tree, s.edge[s.p])) {
    ++s.p;
    return PHASE_OVER;
  }
  if (tree->num_nodes >= STREE_MAX_NODES) return FAILED;
  stree_ref parent = s.parent != STREE_NONE
                         ? s.parent
                         : int_stree_get_parent(tree, s.active);
  stree_ref node = int_stree_split_child(tree, parent, s.active, s.p);
  if (node == STREE_NONE) return FAILED;
  s.split = node;
  set_active(s, node, s.p, parent);
  bool ok = closing ? int_stree_add_endrec(tree, node, s.slot, s.i) != 0
                    : add_leaf(s, j);
  if (!ok) return FAILED;
  s.split = STREE_NONE;
  return EXTENDED;
}

void link_waiting(inserter& s, stree_ref target) {
  stree_node* w = int_stree_node(s.waiting);
  // A node left without its link by an earlier failed insertion can be both
  // W and A; it is linked one extension later instead of to itself.
  if (s.waiting != s.tree->root && s.waiting != target &&
      w->suffix_link == STREE_NONE)
    w->suffix_link = target;
}

// Moves the active point from the end of T[i..j) to the end of T[i+1..j).
void move_to_next_suffix(inserter& s, int32_t j) {
  suffix_tree* tree = s.tree;
  stree_ref a = s.active;
  if (a == tree->root) return;
  stree_ref link = int_stree_node(a)->suffix_link;
  if (s.p == s.edgelen && link != STREE_NONE) {
    set_active(s, link, 0);
    s.p = s.edgelen;
    return;
  }
  stree_ref x =
      s.parent != STREE_NONE ? s.parent : int_stree_get_parent(tree, a);
  int32_t p = s.p;
  if (x == tree->root) {
    --p;
  } else {
    // Only W may lack its link, and W is never the active point's parent
    // here.  A node that a failed insertion left without its link has no
    // children, so it is no parent either until an insertion that gives it
    // children has made it W and linked it.
    x = int_stree_node(x)->suffix_link;
    STREE_ASSERT(x != STREE_NONE);
  }
  int32_t k = j - p;
  stree_ref above = STREE_NONE;  // x's parent once the walk has moved
  while (p > 0) {
    stree_ref y = int_stree_find_child_indexing(
        tree, x, static_cast<unsigned char>(s.text[k]));
    STREE_ASSERT(y != STREE_NONE);
    int32_t l = int_stree_edge_length(tree, y);
    above = x;
    x = y;
    if (l > p) break;
    p -= l;
    k += l;
  }
  set_active(s, x, p, above);
  if (p == 0) {
    // At a leaf W keeps waiting: the next extension turns that leaf into a
    // node and links W to it.
    stree_ref w = s.waiting;
    if (w != tree->root && !int_stree_isaleaf(tree, x) &&
        int_stree_node(w)->suffix_link == STREE_NONE) {
      int_stree_node(w)->suffix_link = x;
      s.waiting = x;
    }
    if (x != tree->root) s.p = s.edgelen;
  }
}

}  // namespace

int stree_add_string(suffix_tree* tree, const char* text, int32_t len,
                     int32_t id) {
  return int_stree_add_string_hooked(tree, text, len, id, nullptr);
}

// The hook hears from an insertion once in this many phases.
constexpr int32_t kTickPhases = int32_t{1} << 16;

int int_stree_add_string_hooked(suffix_tree* tree, const char* text,
                                int32_t len, int32_t id,
                                const stree_build_hook* hook) {
  if (!tree || tree->root == STREE_NONE || !text) return 0;
  // Insertion follows suffix links: a build that left them unset sets them.
  if (int_stree_set_links(tree, hook) != STREE_BUILD_DONE) return 0;
  int32_t slot = int_stree_table_add(tree, text, len, id);
  if (slot < 0) return 0;
  inserter s{tree, text, len, slot, tree->root, STREE_NONE, 0, nullptr, 0,
             tree->root, 0, STREE_NONE};
  for (int32_t j = 0; j <= len; ++j) {
    // Between phases no split waits for its leaf, so a stop is undone as a
    // failure of the phase's first extension.
    if (hook && hook->tick && (j & (kTickPhases - 1)) == 0 && j > 0 &&
        !hook->tick(hook->data, "inserting", j, len)) {
      stree_remove_suffixes(tree, slot, s.i);
      int_stree_table_release(tree, slot);
      return 0;
    }
    while (s.i <= j && s.i < len) {
      step_result r = extend(s, j);
      if (r == PHASE_OVER) break;
      if (r == FAILED) {
        // A node split off in the failing step has one child and nothing
        // points to it yet: fold it back before the inserted suffixes go.
        if (s.split != STREE_NONE)
          int_stree_merge_single_child(tree, s.split);
        stree_remove_suffixes(tree, slot, s.i);
        int_stree_table_release(tree, slot);
        return 0;
      }
      link_waiting(s, s.active);
      s.waiting = s.active;
      move_to_next_suffix(s, j);
      ++s.i;
    }
  }
  return 1;
}

STREE_NS_END
