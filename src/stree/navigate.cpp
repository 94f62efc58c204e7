// Navigation: child lookup, parents, leaf positions, counts, suffix links of
// leaves and the walks that match a text from a point of the tree.  All of
// these only read the tree; leaves keep no parent, suffix link or start, so
// those are derived from the sibling chains and edge lengths.
#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

// The child of `node` with `code`, from its index block or its list; the
// number of siblings the list walk passed goes to *passed.
stree_ref child_with_code(const suffix_tree* tree, stree_ref node, int code,
                          int* passed) {
  *passed = 0;
  if (int_stree_is_indexed(node))
    return int_stree_index_child(tree, node, code, nullptr);
  for (stree_ref x = int_stree_first_child(tree, node); x != STREE_NONE;
       x = int_stree_next_sibling(x), ++*passed) {
    int xc = int_stree_code(tree, x);
    if (xc >= code) return xc == code ? x : STREE_NONE;
  }
  return STREE_NONE;
}

}  // namespace

stree_ref int_stree_find_child(const suffix_tree* tree, stree_ref node,
                               int ch) {
  int code = tree->char_map[static_cast<unsigned>(ch) & 0xffu];
  if (code >= tree->alphabet_size) return STREE_NONE;
  int passed;
  return child_with_code(tree, node, code, &passed);
}

stree_ref int_stree_find_child_indexing(suffix_tree* tree, stree_ref node,
                                        int ch) {
  return int_stree_find_code_indexing(
      tree, node, tree->char_map[static_cast<unsigned>(ch) & 0xffu]);
}

stree_ref int_stree_find_code_indexing(suffix_tree* tree, stree_ref node,
                                       int code) {
  if (code >= tree->alphabet_size) return STREE_NONE;
  int passed;
  stree_ref found = child_with_code(tree, node, code, &passed);
  // A node whose list had to be walked this far is worth an index block.
  const int threshold = tree->index.threshold;
  if (threshold > 0 && passed >= threshold) int_stree_index_build(tree, node);
  return found;
}

stree_ref int_stree_find_code(const suffix_tree* tree, stree_ref node, int code) {
  if (code >= tree->alphabet_size) return STREE_NONE;
  int passed;
  return child_with_code(tree, node, code, &passed);
}

stree_ref int_stree_get_parent(const suffix_tree*, stree_ref r) {
  while (!int_stree_is_last(r)) r = int_stree_link(r);
  return int_stree_link(r);
}

int32_t int_stree_get_leafpos(const suffix_tree* tree, stree_ref leaf) {
  int32_t pos = stree_pos_offset(int_stree_pos(tree, int_stree_leaf(leaf)->strpos));
  for (stree_ref x = int_stree_get_parent(tree, leaf); x != tree->root;
       x = int_stree_get_parent(tree, x))
    pos -= int_stree_node(x)->edgelen;
  return pos;
}

int int_stree_num_children(const suffix_tree* tree, stree_ref r) {
  int n = 0;
  for (stree_ref x = int_stree_first_child(tree, r); x != STREE_NONE;
       x = int_stree_next_sibling(x))
    ++n;
  return n;
}

// Skip/count from X down n characters of text p: one child lookup per edge,
// the rest of each edge passed over by its length.
static stree_ref skip_count(const suffix_tree* tree, stree_ref x,
                            const char* p, int32_t n) {
  while (n > 0) {
    stree_ref y = int_stree_find_child(tree, x, static_cast<unsigned char>(*p));
    STREE_ASSERT(y != STREE_NONE);
    int32_t e = int_stree_edge_length(tree, y);
    p += e;
    n -= e;
    x = y;
  }
  return x;
}

stree_ref int_stree_leaf_suffix_link(const suffix_tree* tree, stree_ref r) {
  STREE_ASSERT(!tree->unlinked.pending);
  if (r == tree->root) return STREE_NONE;
  if (!int_stree_isaleaf(tree, r)) return int_stree_node(r)->suffix_link;
  stree_pos packed = int_stree_pos(tree, int_stree_leaf(r)->strpos);
  int32_t strid = stree_pos_strid(packed);
  const char* p = tree->strings[strid] + stree_pos_offset(packed);
  int32_t n = tree->lengths[strid] - stree_pos_offset(packed);
  stree_ref parent = int_stree_get_parent(tree, r);
  if (parent == tree->root) return skip_count(tree, tree->root, p + 1, n - 1);
  stree_ref start = int_stree_node(parent)->suffix_link;
  // Removal finds the next locus from the root where a parent lacks its
  // link, and every other caller reads a finished tree.
  STREE_ASSERT(start != STREE_NONE);
  return skip_count(tree, start, p, n);
}

// A text character matches a stored one when their codes agree; a byte
// outside the alphabet has a code no stored character has.
static inline bool same_code(const suffix_tree* tree, char text, char stored) {
  return int_stree_code_of(tree, text) == int_stree_code_of(tree, stored);
}

int32_t int_stree_walk_to_leaf(const suffix_tree* tree, stree_ref record,
                               int32_t pos, const char* text, int32_t len,
                               stree_ref* out_record, int32_t* out_pos) {
  int32_t m = 0;
  if (!int_stree_isaleaf(tree, record)) {
    for (;;) {
      int32_t edgelen = int_stree_node(record)->edgelen;
      if (pos < edgelen) {
        const char* e = int_stree_edge_string(tree, record);
        while (m < len && pos < edgelen && same_code(tree, text[m], e[pos])) {
          ++m;
          ++pos;
        }
      }
      if (m == len || pos < edgelen) break;
      stree_ref y = int_stree_find_child(tree, record,
                                         static_cast<unsigned char>(text[m]));
      if (y == STREE_NONE) break;
      if (int_stree_isaleaf(tree, y)) {
        record = y;
        pos = 0;
        break;
      }
      record = y;
      pos = 1;
      ++m;
    }
  }
  *out_record = record;
  *out_pos = pos;
  return m;
}

int32_t stree_walk(const suffix_tree* tree, stree_ref record, int32_t pos,
                   const char* text, int32_t len, stree_ref* out_record,
                   int32_t* out_pos) {
  if (!tree || record == STREE_NONE || len < 0 || (!text && len > 0) || !out_record ||
      !out_pos || pos < 0 || pos > int_stree_edge_length(tree, record))
    return -1;
  int32_t m = int_stree_walk_to_leaf(tree, record, pos, text, len, &record,
                                     &pos);
  if (int_stree_isaleaf(tree, record) && m < len) {
    const char* s = int_stree_edge_string(tree, record);
    int32_t e = int_stree_edge_length(tree, record);
    while (m < len && pos < e && same_code(tree, text[m], s[pos])) {
      ++m;
      ++pos;
    }
  }
  *out_record = record;
  *out_pos = pos;
  return m;
}

int32_t stree_match(const suffix_tree* tree, const char* text, int32_t len,
                    stree_ref* out_record, int32_t* out_pos) {
  if (!tree) return -1;
  return stree_walk(tree, tree->root, 0, text, len, out_record, out_pos);
}

STREE_NS_END
