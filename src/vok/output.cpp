// Feature output: one document's bag of selected substring classes.
//
// The document is matched once from the root, which gives the locus of its
// whole text (the suffix starting at position 0).  From there suffix links
// step from each suffix to the next one; at every emitting position the
// selected records above the current locus are written.
#include "features.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether position j of text emits: always without word delimiting,
// otherwise at position 0 and at the first character of every word.
bool emits(const char* text, int32_t j, long word_delimited) {
  return word_delimited == 0 || j == 0 ||
         (is_blank(text[j - 1]) && !is_blank(text[j]));
}

// Only texts made of alphabet characters can have been stored.
bool in_alphabet(const suffix_tree* tree, const char* text, int32_t len) {
  for (int32_t j = 0; j < len; ++j) {
    unsigned c = static_cast<unsigned char>(text[j]);
    if (c >= 128 || tree->char_map[c] >= tree->alphabet_size) return false;
  }
  return true;
}

// The locus of text[0..len) when the text is stored as a whole suffix of
// some string (it ends exactly at a record), else STREE_NONE.
stree_ref locus_of(const suffix_tree* tree, const char* text, int32_t len) {
  if (!in_alphabet(tree, text, len)) return STREE_NONE;
  stree_ref r;
  int32_t pos;
  if (stree_match(tree, text, len, &r, &pos) != len) return STREE_NONE;
  if (pos != int_stree_edge_length(tree, r)) return STREE_NONE;
  return r;
}

// Writes the selected records on the path from v up to the root (root
// excluded), deepest first: the selected classes that begin at the
// position whose suffix ends at v.
void write_position(uint32_t v, const unsigned char* selected,
                    const uint32_t* above, vok_writer* out) {
  if (selected[v]) vok_writer_hex_token(out, v);
  for (uint32_t a = above[v]; a != 0; a = above[a]) vok_writer_hex_token(out, a);
}

}  // namespace

int write_features(suffix_tree* tree, const char* text, int32_t len,
                   const vok_settings& settings, const unsigned char* selected,
                   const uint32_t* above, vok_writer* out) {
  stree_ref v = locus_of(tree, text, len);
  if (v == STREE_NONE) return 0;
  if (tree->renumber_pending) int_stree_renumber(tree);
  for (int32_t j = 0; j < len; ++j) {
    if (emits(text, j, settings.word_delimited))
      write_position(int_stree_id(v), selected, above, out);
    // Step to the locus of the suffix starting at j + 1 (a plain word read
    // for an internal node, a short walk for a leaf).
    if (j + 1 < len) v = int_stree_leaf_suffix_link(tree, v);
  }
  return 1;
}

void link_selected_ancestors(suffix_tree* tree, const unsigned char* selected,
                             uint32_t* above) {
  if (tree->renumber_pending) int_stree_renumber(tree);
  stree_ref x = tree->root;
  above[0] = 0;
  for (;;) {
    uint32_t id = int_stree_id(x);
    stree_ref child = int_stree_first_child(tree, x);
    if (child != STREE_NONE) {
      above[int_stree_id(child)] = selected[id] ? id : above[id];
      x = child;
      continue;
    }
    while (x != tree->root && int_stree_is_last(x)) x = int_stree_link(x);
    if (x == tree->root) return;
    uint32_t shared = above[int_stree_id(x)];
    x = int_stree_link(x);
    above[int_stree_id(x)] = shared;
  }
}
