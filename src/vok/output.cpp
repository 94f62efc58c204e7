// Feature output: one document's bag of selected substring classes.
//
// Every position of a document is the start of one of its suffixes, and the
// features that begin there are the selected records on the path from that
// suffix's locus up to the root.  The counting walk records the locus of
// every suffix of every document, and the selection walk each record's
// nearest selected proper ancestor (features.h), so writing a document
// touches no tree record at all: each emitting position costs one table
// read plus one read per token written.
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

}  // namespace

size_t output_index_size(const suffix_tree* tree, size_t* first) {
  size_t total = 0;
  for (int32_t slot = 0; slot < STREE_MAX_STRINGS; ++slot) {
    first[slot] = total;
    if (tree->strings[slot]) total += static_cast<size_t>(tree->lengths[slot]);
  }
  return total;
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
