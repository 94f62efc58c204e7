// A consistency checker for tests and debugging: walks the whole tree and
// reports the first broken invariant it finds.
#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

// The checker only reads: a fault is reported by its description alone.
const char* fault(const char* what, stree_ref) { return what; }

// Checks the children of one internal node: sorted unique codes, the chain
// ending at the node, the first child where the head end record keeps it.
const char* check_children(const suffix_tree* tree, stree_ref node, int tidy,
                           long* count) {
  if (int_stree_has_endrecs(node)) {
    // Only the head's children word is current; the list must end.
    long ends = 0;
    for (stree_ref e = int_stree_node(node)->children; e != STREE_NONE;
         e = int_stree_endrec(e)->next)
      if (++ends > 8L * 1024 * 1024) return fault("end-record list loops", node);
  }
  if ((int_stree_header(node) & (STREE_NODE_SPARE_BITS | STREE_DEAD_BIT)) != 0)
    return fault("internal node with stray header bits", node);
  if (const char* wrong = int_stree_index_check(tree, node))
    return fault(wrong, node);
  int prev = -1;
  int n = 0;
  stree_ref x = int_stree_first_child(tree, node);
  while (x != STREE_NONE) {
    int code = int_stree_code(tree, x);
    if (code <= prev) return fault("children not in ascending code order", x);
    if (code >= tree->alphabet_size) return fault("child code out of range", x);
    prev = code;
    ++n;
    ++*count;
    if (int_stree_is_last(x)) {
      if (int_stree_link(x) != node) return fault("last child's link is not its parent", x);
      break;
    }
    x = int_stree_link(x);
    if (x == STREE_NONE) return fault("sibling chain ends without a last child", node);
  }
  if (tidy && node != tree->root && n < 2 && !int_stree_has_endrecs(node))
    return fault("internal node with fewer than two children and no end record", node);
  return nullptr;
}

// Whether a record's position lies among the offsets given out (wide; a
// damaged word is not looked up).  The narrow word names a slot of the table.
bool offset_given([[maybe_unused]] const suffix_tree* tree, [[maybe_unused]] stree_pos_field f) {
#if defined(STREE_WIDE)
  return f.at < tree->next_offset;
#else
  return true;
#endif
}

const char* check_record(const suffix_tree* tree, stree_ref r, int tidy,
                         long* count) {
  if (int_stree_isaleaf(tree, r)) {
    if (!offset_given(tree, int_stree_leaf(r)->strpos)) return fault("leaf of no string", r);
    stree_pos packed = int_stree_pos(tree, int_stree_leaf(r)->strpos);
    int32_t strid = stree_pos_strid(packed);
    int32_t pos = stree_pos_offset(packed);
    if (!tree->strings[strid]) return fault("leaf of an empty slot", r);
    if (pos >= tree->lengths[strid]) return fault("leaf with an empty edge", r);
    if (int_stree_code(tree, r) != int_stree_code_of(tree, tree->strings[strid][pos]))
      return fault("leaf first_char differs from its label", r);
    return nullptr;
  }
  if (r != tree->root) {
    const stree_node* n = int_stree_node(r);
    if (!offset_given(tree, n->edgestr)) return fault("edge label in no string", r);
    const stree_pos edgestr = int_stree_pos(tree, n->edgestr);
    int32_t strid = stree_pos_strid(edgestr);
    if (!tree->strings[strid]) return fault("edge label in an empty slot", r);
    if (n->edgelen <= 0 ||
        stree_pos_offset(edgestr) + n->edgelen > tree->lengths[strid])
      return fault("edge label outside its string", r);
    if (static_cast<int>(int_stree_node_code(r)) !=
        int_stree_code_of(tree, tree->strings[strid][stree_pos_offset(edgestr)]))
      return fault("node's first code differs from its label", r);
  }
  return check_children(tree, r, tidy, count);
}

}  // namespace

const char* stree_check(const suffix_tree* tree, int tidy) {
  if (!tree) return "no tree";
  if (tree->root == STREE_NONE) return "no root: a build in one go failed";
  long count = 1;  // the root
  if (!int_stree_is_last(tree->root) || int_stree_link(tree->root) != STREE_NONE)
    return fault("root's link is not none with last_sibling set", tree->root);
  // Preorder walk without a stack, tracking the path-label length.
  stree_ref x = tree->root;
  int32_t depth = 0;
  uint64_t internal = 0;
  for (;;) {
    const char* f = check_record(tree, x, tidy, &count);
    if (f) return f;
    if (!int_stree_isaleaf(tree, x)) {
      ++internal;
      // Adjoining labels: each child's label is preceded in its string by
      // the `depth` characters of x's path label, which end where x's edge
      // label ends.
      const char* path_end = x == tree->root
                                 ? nullptr
                                 : int_stree_edge_string(tree, x) +
                                       int_stree_node(x)->edgelen;
      for (stree_ref c = int_stree_first_child(tree, x); c != STREE_NONE;
           c = int_stree_next_sibling(c)) {
        stree_pos packed = int_stree_pos(tree, int_stree_isaleaf(tree, c)
                                                   ? int_stree_leaf(c)->strpos
                                                   : int_stree_node(c)->edgestr);
        int32_t off = stree_pos_offset(packed);
        if (off < depth) return fault("label does not adjoin its parent's", c);
        const char* before = tree->strings[stree_pos_strid(packed)] + off - depth;
        for (int32_t k = 0; k < depth; ++k)
          if (int_stree_code_of(tree, before[k]) !=
              int_stree_code_of(tree, path_end[k - depth]))
            return fault("label does not adjoin its parent's", c);
      }
    }
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      depth += int_stree_edge_length(tree, child);
      x = child;
      continue;
    }
    for (;;) {
      if (x == tree->root) {
        if (count != tree->num_nodes) return fault("num_nodes differs from the records reachable", tree->root);
        // The tree holds no record but those reachable (nothing leaks).
        if (!tree->removing && int_stree_internal_count(tree) != internal)
          return fault("the records held differ from those reachable", tree->root);
        return nullptr;
      }
      depth -= int_stree_edge_length(tree, x);
      if (!int_stree_is_last(x)) break;
      x = int_stree_link(x);
    }
    x = int_stree_link(x);
    depth += int_stree_edge_length(tree, x);
  }
}

STREE_NS_END
