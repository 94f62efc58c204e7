// Removal: taking the first suffixes of a stored string out of the tree and
// tidying the nodes they leave, which undoes a failed insertion.  Nothing
// here takes memory, so it works when memory has run out.
//
// While stree_remove_suffixes runs, internal nodes that leave the tree are
// not given back at once: they are marked dead and chained through their
// children word (the tree's dead_nodes), and go back to the pool when the
// removal ends.  A suffix
// link that leads to such a node can thus be recognised as stale without
// reading freed memory, and the next suffix is then found from the root.
#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

bool is_dead(stree_ref node) {
  return (int_stree_header(node) & STREE_DEAD_BIT) != 0;
}

// Gives an internal node or leaf back, or keeps a node until the removal in
// progress ends.
void give_back(suffix_tree* tree, stree_ref r) {
  --tree->num_nodes;
  tree->renumber_pending = 1;
  if (!int_stree_isaleaf(tree, r)) int_stree_index_forget(tree, r);
  if (tree->removing && !int_stree_isaleaf(tree, r)) {
    int_stree_header(r) |= STREE_DEAD_BIT;
    int_stree_node(r)->children = tree->dead_nodes;
    tree->dead_nodes = r;
    return;
  }
  int_stree_free_record(tree, r);
}

void release_dead_nodes(suffix_tree* tree) {
  while (tree->dead_nodes != STREE_NONE) {
    stree_ref next = int_stree_node(tree->dead_nodes)->children;
    int_stree_free_record(tree, tree->dead_nodes);
    tree->dead_nodes = next;
  }
}

void free_endrecs(suffix_tree* tree, stree_ref node) {
  if (int_stree_isaleaf(tree, node) || !int_stree_has_endrecs(node)) return;
  stree_ref e = int_stree_node(node)->children;
  while (e != STREE_NONE) {
    stree_ref next = int_stree_endrec(e)->next;
    int_stree_free_record(tree, e);
    e = next;
  }
}

void free_visit(suffix_tree* tree, stree_ref r, void*) {
  free_endrecs(tree, r);
  give_back(tree, r);
}

// The locus of suffix `start` of string id, walked from the root.
stree_ref locus_from_root(const suffix_tree* tree, int32_t id, int32_t start) {
  const char* t = tree->strings[id] + start;
  int32_t n = tree->lengths[id] - start;
  stree_ref node;
  int32_t pos;
  int32_t walklen = int_stree_walk_to_leaf(tree, tree->root, 0, t, n, &node,
                                           &pos);
  STREE_ASSERT(walklen == n || int_stree_isaleaf(tree, node));
  return node;
}

// The locus of suffix i + 1, found from the locus of suffix i through the
// suffix links where they are intact, else from the root.
stree_ref next_locus(const suffix_tree* tree, int32_t id, int32_t i,
                     stree_ref cur) {
  stree_ref via = cur;
  if (int_stree_isaleaf(tree, cur)) via = int_stree_get_parent(tree, cur);
  if (via != tree->root) {
    stree_ref link = int_stree_node(via)->suffix_link;
    if (link == STREE_NONE || is_dead(link))
      return locus_from_root(tree, id, i + 1);
  }
  stree_ref next = int_stree_leaf_suffix_link(tree, cur);
  STREE_ASSERT(next != STREE_NONE);
  return next;
}

// Tidies an internal node that lost a child or an end record: a node with
// neither leaves the tree, a node with one child and no end record is folded
// into that child.
void tidy(suffix_tree* tree, stree_ref node) {
  if (node == tree->root || int_stree_has_endrecs(node)) return;
  int n = int_stree_num_children(tree, node);
  if (n == 0) {
    int_stree_remove_leaf(tree, node);
    int_stree_free_subtree(tree, node);
  } else if (n == 1) {
    int_stree_merge_single_child(tree, node);
  }
}

}  // namespace

void int_stree_unlink_child(suffix_tree* tree, stree_ref parent,
                            stree_ref child) {
  stree_ref pred = STREE_NONE;
  const bool indexed = int_stree_is_indexed(parent);
  const int code = int_stree_code(tree, child);
  if (indexed) {
    if (int_stree_index_child(tree, parent, code, &pred) != child) return;
    int_stree_index_remove(tree, parent, code);
  } else {
    stree_ref x = int_stree_first_child(tree, parent);
    while (x != STREE_NONE && x != child) {
      pred = x;
      x = int_stree_next_sibling(x);
    }
    if (x == STREE_NONE) return;
  }
  stree_ref succ = int_stree_next_sibling(child);
  if (pred == STREE_NONE) {
    int_stree_first_child_ref(parent) = succ;
  } else if (succ != STREE_NONE) {
    int_stree_link(pred) = succ;
  } else {
    int_stree_set_last(pred, true);
    int_stree_link(pred) = parent;
  }
}

int int_stree_remove_endrec(suffix_tree* tree, stree_ref node, int32_t strid,
                            int32_t pos) {
  if (int_stree_isaleaf(tree, node) || !int_stree_has_endrecs(node)) return 0;
  stree_node* n = int_stree_node(node);
  stree_pos want = stree_pack_pos(strid, pos);
  stree_ref pred = STREE_NONE;
  stree_ref e = n->children;
  while (e != STREE_NONE && int_stree_pos(tree, int_stree_endrec(e)->strpos) != want) {
    pred = e;
    e = int_stree_endrec(e)->next;
  }
  if (e == STREE_NONE) return 0;
  stree_endrec* rec = int_stree_endrec(e);
  if (pred != STREE_NONE) {
    int_stree_endrec(pred)->next = rec->next;
  } else if (rec->next != STREE_NONE) {
    int_stree_endrec(rec->next)->children = rec->children;
    n->children = rec->next;
  } else {
    n->children = rec->children;
    n->header &= ~STREE_ENDRECS_BIT;
  }
  int_stree_free_record(tree, e);
  return 1;
}

void int_stree_remove_leaf(suffix_tree* tree, stree_ref record) {
  if (record == tree->root) return;
  stree_ref parent = int_stree_get_parent(tree, record);
  int_stree_unlink_child(tree, parent, record);
  tree->renumber_pending = 1;
  // Tidy the ancestors: a parent left with nothing is detached and given
  // back, which may empty its own parent in turn (iterated, not recursed).
  while (parent != tree->root && !int_stree_has_endrecs(parent)) {
    int n = int_stree_num_children(tree, parent);
    if (n == 1) int_stree_merge_single_child(tree, parent);
    if (n != 0) return;
    stree_ref up = int_stree_get_parent(tree, parent);
    int_stree_unlink_child(tree, up, parent);
    give_back(tree, parent);
    parent = up;
  }
}

void int_stree_merge_single_child(suffix_tree* tree, stree_ref node) {
  if (node == tree->root || int_stree_isaleaf(tree, node) ||
      int_stree_has_endrecs(node))
    return;
  stree_ref child = int_stree_node(node)->children;
  if (child == STREE_NONE || !int_stree_is_last(child)) return;
  stree_ref parent = int_stree_get_parent(tree, node);
  // The child's label directly follows the node's label in its own string,
  // so moving its start back by the node's edge length spells both.
  int_stree_shift_edge(tree, child, -int_stree_node(node)->edgelen);
  int_stree_replace_child(tree, parent, node, child);
  give_back(tree, node);
}

void int_stree_free_subtree(suffix_tree* tree, stree_ref record) {
  stree_traverse_subtree(tree, record, nullptr, free_visit, nullptr);
}

void stree_remove_suffixes(suffix_tree* tree, int32_t id, int32_t k) {
  if (k <= 0) return;
  const int outer = tree->removing;
  tree->removing = 1;
  stree_ref cur = locus_from_root(tree, id, 0);
  for (int32_t i = 0; i < k; ++i) {
    stree_ref next = i + 1 < k ? next_locus(tree, id, i, cur) : STREE_NONE;
    if (int_stree_isaleaf(tree, cur)) {
      STREE_ASSERT(stree_pos_strid(int_stree_pos(tree, int_stree_leaf(cur)->strpos)) == id);
      int_stree_remove_leaf(tree, cur);
      give_back(tree, cur);
    } else {
      int status = int_stree_remove_endrec(tree, cur, id, i);
      STREE_ASSERT(status != 0);
      tidy(tree, cur);
    }
    cur = next;
  }
  tree->removing = outer;
  if (!tree->removing) release_dead_nodes(tree);
}

namespace {

struct repoint_state {
  int32_t slot;   // the string being removed
  int32_t depth;  // path-label length of the record being visited
};

// An occurrence (string, start) of the path label of `node`, whose length is
// `depth`: the first suffix found below it.
stree_pos find_occurrence(const suffix_tree* tree, stree_ref node,
                         int32_t depth) {
  for (;;) {
    if (int_stree_has_endrecs(node))
      return int_stree_pos(tree, int_stree_endrec(int_stree_node(node)->children)->strpos);
    stree_ref child = int_stree_node(node)->children;
    STREE_ASSERT(child != STREE_NONE);
    if (int_stree_isaleaf(tree, child)) {
      stree_pos packed = int_stree_pos(tree, int_stree_leaf(child)->strpos);
      return stree_pack_pos(stree_pos_strid(packed),
                            stree_pos_offset(packed) - depth);
    }
    depth += int_stree_node(child)->edgelen;
    node = child;
  }
}

// Points an edge label that lies in the removed string at the same stretch
// of another string that holds the node's path label.
void repoint_enter(suffix_tree* tree, stree_ref r, void* data) {
  auto* s = static_cast<repoint_state*>(data);
  if (int_stree_isaleaf(tree, r) || r == tree->root) return;
  stree_node* n = int_stree_node(r);
  s->depth += n->edgelen;
  if (stree_pos_strid(int_stree_pos(tree, n->edgestr)) != s->slot) return;
  stree_pos occ = find_occurrence(tree, r, s->depth);
  int_stree_set_edgestr(tree, r,
                        stree_pack_pos(stree_pos_strid(occ),
                                       stree_pos_offset(occ) + s->depth -
                                           n->edgelen));
}

void repoint_leave(suffix_tree* tree, stree_ref r, void* data) {
  if (int_stree_isaleaf(tree, r) || r == tree->root) return;
  static_cast<repoint_state*>(data)->depth -= int_stree_node(r)->edgelen;
}

}  // namespace

// Any stored string can be removed.  Nodes that a later string's insertion
// made by splitting one of this string's leaf edges can outlive its
// suffixes, with edge labels inside its text; those labels are moved to
// another occurrence of the same path before the text is released.
int stree_remove_string(suffix_tree* tree, int32_t id) {
  if (!tree || tree->root == STREE_NONE) return 0;
  // Removal follows suffix links: a build that left them unset sets them.
  if (int_stree_set_links(tree) != STREE_BUILD_DONE) return 0;
  int32_t slot = 0;
  while (slot < tree->slots &&
         (tree->strings[slot] == nullptr || tree->ids[slot] != id))
    ++slot;
  if (slot == tree->slots) return 0;
  stree_remove_suffixes(tree, slot, tree->lengths[slot]);
  repoint_state state{slot, 0};
  stree_traverse(tree, repoint_enter, repoint_leave, &state);
  int_stree_table_release(tree, slot);
  return 1;
}

STREE_NS_END
