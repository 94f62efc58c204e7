// Feature output: one document's bag of selected substring classes.
//
// Every position of a document is the start of one of its suffixes, and the
// features that begin there are the selected records on the path from that
// suffix's locus up to the root.  One walk over the finished tree records
// both halves of that: the locus of every suffix of every document (a leaf
// knows its string and, from the depth of its parent, its start; an end
// record carries both) and each record's nearest selected proper ancestor.
// Writing a document then touches no tree record at all: each emitting
// position costs one table read plus one read per token written.
#include <cstring>

#include "features.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether position j of text emits: always without word delimiting,
// otherwise at position 0 and at the first character of every word.
bool emits(const char* text, int32_t j, long word_delimited) {
  return word_delimited == 0 || j == 0 ||
         (is_blank(text[j - 1]) && !is_blank(text[j]));
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

}  // namespace

size_t output_index_size(const suffix_tree* tree, size_t* first) {
  size_t total = 0;
  for (int32_t slot = 0; slot < STREE_MAX_STRINGS; ++slot) {
    first[slot] = total;
    if (tree->strings[slot]) total += static_cast<size_t>(tree->lengths[slot]);
  }
  return total;
}

void build_output_index(suffix_tree* tree, const unsigned char* selected,
                        const vok_output_index& index) {
  if (tree->renumber_pending) int_stree_renumber(tree);
  // Preorder walk without a stack.  `depth` is the path length of the
  // current record's parent; siblings share their nearest selected
  // ancestor, so it is handed on along each sibling list.
  stree_ref x = tree->root;
  int32_t depth = 0;
  index.above[0] = 0;
  for (;;) {
    note_loci(tree, x, depth, index);
    uint32_t id = int_stree_id(x);
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      index.above[int_stree_id(child)] = selected[id] ? id : index.above[id];
      depth += int_stree_node(x)->edgelen;
      x = child;
      continue;
    }
    while (x != tree->root && int_stree_is_last(x)) {
      x = int_stree_link(x);
      depth -= int_stree_node(x)->edgelen;
    }
    if (x == tree->root) return;
    uint32_t shared = index.above[int_stree_id(x)];
    x = int_stree_link(x);
    index.above[int_stree_id(x)] = shared;
  }
}

int write_features(const suffix_tree* tree, int32_t doc, const char* text,
                   int32_t len, const vok_settings& settings,
                   const unsigned char* selected,
                   const vok_output_index& index, vok_writer* out) {
  if (doc < 0 || doc >= STREE_MAX_STRINGS || !tree->strings[doc] ||
      tree->lengths[doc] != len ||
      std::memcmp(tree->strings[doc], text, static_cast<size_t>(len)) != 0)
    return 0;
  const uint32_t* loci = index.loci + index.first[doc];
  for (int32_t j = 0; j < len; ++j) {
    if (!emits(text, j, settings.word_delimited)) continue;
    // The selected records from the locus up, deepest first.
    uint32_t v = loci[j];
    if (selected[v]) vok_writer_hex_token(out, v);
    for (uint32_t a = index.above[v]; a != 0; a = index.above[a])
      vok_writer_hex_token(out, a);
  }
  return 1;
}
