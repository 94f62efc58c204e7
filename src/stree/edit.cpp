// Structural edits: the five operations through which the tree changes
// shape.  Each keeps the encoding intact (sorted sibling lists, the
// last_sibling/link chain, the head end record's children word) and either
// completes or fails with the tree as it was.
#include "stree_internal.h"

STREE_NS_BEGIN

// Writes the word that holds a child after `pred`: the predecessor's link,
// or the parent's first-child reference when there is no predecessor.
static void set_successor(stree_ref parent, stree_ref pred, stree_ref child) {
  if (pred != STREE_NONE)
    int_stree_link(pred) = child;
  else
    int_stree_first_child_ref(parent) = child;
}

int int_stree_replace_child(suffix_tree* tree, stree_ref parent,
                            stree_ref old_child, stree_ref new_child) {
  stree_ref pred = STREE_NONE;
  const bool indexed = int_stree_is_indexed(parent);
  const int code = int_stree_code(tree, old_child);
  if (indexed) {
    if (int_stree_index_child(tree, parent, code, &pred) != old_child) return 0;
  } else {
    stree_ref x = int_stree_first_child(tree, parent);
    while (x != STREE_NONE && x != old_child) {
      pred = x;
      x = int_stree_next_sibling(x);
    }
    if (x == STREE_NONE) return 0;
  }
  int_stree_link(new_child) = int_stree_link(old_child);
  int_stree_set_last(new_child, int_stree_is_last(old_child));
  set_successor(parent, pred, new_child);
  if (indexed) int_stree_index_set(tree, parent, code, new_child);
  tree->renumber_pending = 1;
  return 1;
}

stree_ref int_stree_add_child(suffix_tree* tree, stree_ref parent,
                              stree_ref child) {
  if (int_stree_isaleaf(tree, parent)) {
    parent = int_stree_leaf_to_node(tree, parent);
    if (parent == STREE_NONE) return STREE_NONE;
  }
  int code = int_stree_code(tree, child);
  stree_ref pred = STREE_NONE;
  stree_ref x;
  const bool indexed = int_stree_is_indexed(parent);
  if (indexed) {
    if (int_stree_index_child(tree, parent, code, &pred) != STREE_NONE)
      return STREE_NONE;
    x = pred != STREE_NONE ? int_stree_next_sibling(pred)
                           : int_stree_first_child(tree, parent);
  } else {
    x = int_stree_first_child(tree, parent);
    while (x != STREE_NONE) {
      int xc = int_stree_code(tree, x);
      if (xc == code) return STREE_NONE;
      if (xc > code) break;
      pred = x;
      x = int_stree_next_sibling(x);
    }
  }
  if (x != STREE_NONE) {
    int_stree_set_last(child, false);
    int_stree_link(child) = x;
  } else {
    int_stree_set_last(child, true);
    int_stree_link(child) = parent;
  }
  if (pred != STREE_NONE) int_stree_set_last(pred, false);
  set_successor(parent, pred, child);
  if (indexed) int_stree_index_add(tree, parent, code, child);
  tree->renumber_pending = 1;
  return parent;
}

void int_stree_shift_edge(suffix_tree* tree, stree_ref r, int32_t delta) {
  if (int_stree_isaleaf(tree, r)) {
    stree_leaf* l = int_stree_leaf(r);
    const stree_pos packed = int_stree_pos(tree, l->strpos);
    int32_t strid = stree_pos_strid(packed);
    int32_t pos = stree_pos_offset(packed) + delta;
    int_stree_set_pos(tree, l->strpos, stree_pack_pos(strid, pos));
    l->header = (l->header & STREE_FIRST_CHAR_KEEP) |
                int_stree_leaf_header(
                    int_stree_code_of(tree, tree->strings[strid][pos]));
  } else {
    stree_node* n = int_stree_node(r);
    const stree_pos packed = int_stree_pos(tree, n->edgestr);
    int_stree_set_edgestr(tree, r,
                          stree_pack_pos(stree_pos_strid(packed),
                                         stree_pos_offset(packed) + delta));
    n->edgelen -= delta;
  }
}

stree_ref int_stree_split_edge(suffix_tree* tree, stree_ref record,
                               int32_t len) {
  // The refusals are split_child's; the root's parent is none.
  return int_stree_split_child(tree, int_stree_get_parent(tree, record),
                               record, len);
}

stree_ref int_stree_split_child(suffix_tree* tree, stree_ref parent,
                                stree_ref record, int32_t len) {
  if (tree->num_nodes >= STREE_MAX_NODES || len <= 0 ||
      int_stree_edge_length(tree, record) <= len)
    return STREE_NONE;
  stree_pos start = int_stree_pos(tree, int_stree_isaleaf(tree, record)
                                             ? int_stree_leaf(record)->strpos
                                             : int_stree_node(record)->edgestr);
  stree_ref node = int_stree_new_node(tree, start, len);
  if (node == STREE_NONE) return STREE_NONE;
  const int replaced = int_stree_replace_child(tree, parent, record, node);
  STREE_ASSERT(replaced);  // the caller's parent must hold the record
  int_stree_shift_edge(tree, record, len);
  if (int_stree_add_child(tree, node, record) != STREE_NONE) {
    ++tree->num_nodes;
    tree->renumber_pending = 1;
    return node;
  }
  int_stree_shift_edge(tree, record, -len);
  int_stree_replace_child(tree, parent, node, record);
  int_stree_free_record(tree, node);
  return STREE_NONE;
}

stree_ref int_stree_leaf_to_node(suffix_tree* tree, stree_ref record) {
  if (!int_stree_isaleaf(tree, record)) return record;
  stree_pos packed = int_stree_pos(tree, int_stree_leaf(record)->strpos);
  int32_t strid = stree_pos_strid(packed);
  stree_ref node = int_stree_new_node(
      tree, packed, tree->lengths[strid] - stree_pos_offset(packed));
  if (node == STREE_NONE) return STREE_NONE;
  int32_t start = int_stree_get_leafpos(tree, record);
  stree_ref end = int_stree_new_endrec(tree, strid, start);
  if (end == STREE_NONE) {
    int_stree_free_record(tree, node);
    return STREE_NONE;
  }
  stree_node* n = int_stree_node(node);
  n->children = end;
  n->header |= STREE_ENDRECS_BIT;  // a new node: its code alone
  // No number to carry over: replacing the child marks the numbers stale.
  stree_ref parent = int_stree_get_parent(tree, record);
  int_stree_replace_child(tree, parent, record, node);
  int_stree_free_record(tree, record);
  return node;
}

int int_stree_add_endrec(suffix_tree* tree, stree_ref node, int32_t strid,
                         int32_t pos, stree_pool_lane* lane) {
  stree_pos_field at;
  int_stree_set_pos(tree, at, stree_pack_pos(strid, pos));
  return int_stree_add_endrec_kept(tree, node, at, lane);
}

int int_stree_add_endrec_kept(suffix_tree* tree, stree_ref node, stree_pos_field at,
                              stree_pool_lane* lane) {
  if (int_stree_isaleaf(tree, node)) return 0;
  stree_ref e = int_stree_new_endrec_kept(tree, at, lane);
  if (e == STREE_NONE) return 0;
  stree_node* n = int_stree_node(node);
  stree_endrec* rec = int_stree_endrec(e);
  if (int_stree_has_endrecs(node)) {
    rec->next = n->children;
    rec->children = int_stree_endrec(n->children)->children;
  } else {
    rec->children = n->children;
  }
  n->children = e;
  n->header |= STREE_ENDRECS_BIT;
  return 1;
}

STREE_NS_END
