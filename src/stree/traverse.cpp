// Preorder numbering, depth-first traversal and path labels.
//
// Walks go down through first-child words and climb through the `link` of
// each last sibling, which holds the parent, so they need no stack however
// deep the tree is (a document of one repeated byte makes a chain as long as
// the document).
#include <cstring>

#include "stree_internal.h"

STREE_NS_BEGIN

void int_stree_renumber(suffix_tree* tree) {
  if (!tree->renumber_pending) return;
  tree->renumber_pending = 0;
  uint32_t k = 0;
  stree_ref x = tree->root;
  for (;;) {
    int_stree_number(tree, x, k++);
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      x = child;
      continue;
    }
    while (x != tree->root && int_stree_is_last(x)) x = int_stree_link(x);
    if (x == tree->root) return;
    x = int_stree_link(x);
  }
}

uint32_t int_stree_leaf_number(const suffix_tree* tree, stree_ref leaf) {
  uint32_t between = 0;  // leaves after `leaf` and before x's next sibling
  for (stree_ref x = leaf;; ++between) {
    while (x != tree->root && int_stree_is_last(x)) x = int_stree_link(x);
    if (x == tree->root) return static_cast<uint32_t>(tree->num_nodes - 1) - between;
    x = int_stree_link(x);
    if (!int_stree_isaleaf(tree, x)) return int_stree_id(x) - 1 - between;
  }
}

uint32_t stree_node_id(suffix_tree* tree, stree_ref r) {
  if (!tree || r == STREE_NONE) return STREE_NO_ID;
  if (tree->renumber_pending) int_stree_renumber(tree);
  if (!STREE_LEAF_NUMBERS && int_stree_isaleaf(tree, r)) return int_stree_leaf_number(tree, r);
  return int_stree_id(r);
}

void stree_traverse_subtree(suffix_tree* tree, stree_ref start,
                            stree_visit_fn enter, stree_visit_fn leave,
                            void* data) {
  if (!tree || start == STREE_NONE) return;
  stree_ref x = start;
  for (;;) {
    if (enter) enter(tree, x, data);
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      x = child;
      continue;
    }
    for (;;) {
      // Read the way on before calling leave, which may look at x.
      bool last = int_stree_is_last(x);
      stree_ref next = int_stree_link(x);
      if (leave) leave(tree, x, data);
      if (x == start) return;
      x = next;
      if (!last) break;
    }
  }
}

void stree_traverse(suffix_tree* tree, stree_visit_fn enter,
                    stree_visit_fn leave, void* data) {
  if (!tree) return;
  stree_traverse_subtree(tree, tree->root, enter, leave, data);
}

int32_t stree_get_labellen(const suffix_tree* tree, stree_ref record) {
  if (!tree || record == STREE_NONE) return -1;
  if (int_stree_isaleaf(tree, record)) {
    int32_t strid = stree_pos_strid(int_stree_pos(tree, int_stree_leaf(record)->strpos));
    return tree->lengths[strid] - int_stree_get_leafpos(tree, record);
  }
  int32_t len = 0;
  for (stree_ref x = record; x != tree->root; x = int_stree_get_parent(tree, x))
    len += int_stree_node(x)->edgelen;
  return len;
}

int32_t stree_get_label(const suffix_tree* tree, stree_ref record, char* buf,
                        int32_t buflen) {
  if (!tree || record == STREE_NONE || buflen < 0 || (!buf && buflen > 0)) return -1;
  if (record == tree->root || buflen == 0) return 0;
  int32_t len = stree_get_labellen(tree, record);
  // Every edge label directly follows an occurrence of its parent's path
  // label in its own string, so the whole path label ends where the edge
  // label ends.
  const char* end = int_stree_edge_string(tree, record) +
                    int_stree_edge_length(tree, record);
  int32_t n = len < buflen ? len : buflen;
  std::memcpy(buf, end - len, static_cast<size_t>(n));
  return n;
}

int stree_get_suffix(const suffix_tree* tree, stree_ref record, int k,
                     int32_t* out_strid, int32_t* out_pos, int32_t* out_id) {
  if (!tree || record == STREE_NONE || k < 1 || !out_strid || !out_pos || !out_id) return 0;
  stree_pos packed;
  if (int_stree_isaleaf(tree, record)) {
    if (k != 1) return 0;
    packed = stree_pack_pos(stree_pos_strid(int_stree_pos(tree, int_stree_leaf(record)->strpos)),
                            int_stree_get_leafpos(tree, record));
  } else {
    if (!int_stree_has_endrecs(record)) return 0;
    stree_ref e = int_stree_node(record)->children;
    for (int i = 1; i < k && e != STREE_NONE; ++i) e = int_stree_endrec(e)->next;
    if (e == STREE_NONE) return 0;
    packed = int_stree_pos(tree, int_stree_endrec(e)->strpos);
  }
  *out_strid = stree_pos_strid(packed);
  *out_pos = stree_pos_offset(packed);
  *out_id = tree->ids[*out_strid];
  return 1;
}

STREE_NS_END
