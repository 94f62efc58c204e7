// Feature output: one document's bag of selected substring classes.
//
// Every position of a document is the start of one of its suffixes, and the
// features that begin there are the selected records on the path from that
// suffix's locus up to the root.  The counting walk records the locus of
// every suffix of every document, and the selection each record's nearest
// selected proper ancestor (selection.h), so writing a document touches no
// tree record at all: each emitting position costs one table read plus one
// read per token written.
#include "output.h"

#include <cstring>

#include "messages.h"

VOK_NS_BEGIN

void vok_write_bag_at(const vok_selection& sel, uint32_t v, vok_writer* out) {
  if (vok_in_set(sel.selected, v)) vok_writer_hex_token(out, v);
  for (uint32_t a = sel.above[vok_internal_rank(sel, v)]; a != 0;
       a = sel.above[vok_internal_rank(sel, a)])
    vok_writer_hex_token(out, a);
}

namespace {

// The loci are read in order, but the record numbers in them lead to places
// in the sets and in `above` unrelated to their addresses, which miss the
// caches once the tree is large.  So the set words of the record kAhead
// places further on are asked of memory first, and its `above` entry
// (whose place those words give) kAhead places after that.
constexpr size_t kAhead = 16;

void fetch_sets(const vok_selection& sel, uint32_t v) {
  __builtin_prefetch(sel.selected + (v >> VOK_SET_SHIFT));
  __builtin_prefetch(sel.internal + (v >> VOK_SET_SHIFT));
  __builtin_prefetch(sel.internal_before + (v >> VOK_SET_SHIFT));
}

void fetch_above(const vok_selection& sel, uint32_t v) {
  __builtin_prefetch(sel.above + vok_internal_rank(sel, v));
}

}  // namespace

int write_features(const suffix_tree* tree, int32_t doc, const char* text,
                   int32_t len, const vok_selection& sel, vok_writer* out) {
  if (doc < 0 || doc >= tree->slots || !tree->strings[doc] ||
      tree->lengths[doc] != len ||
      std::memcmp(tree->strings[doc], text, static_cast<size_t>(len)) != 0)
    return 0;
  const size_t begin = vok_locus_place(sel, sel.first[doc]);
  const size_t count =
      vok_locus_place(sel, sel.first[doc] + static_cast<size_t>(len)) - begin;
  // The document's loci are those of its emitting positions, in order: the
  // text matched the stored one, whose positions were marked.
  const uint32_t* loci = sel.loci + begin;
  for (size_t k = 0; k < count; ++k) {
    if (k + 2 * kAhead < count) fetch_sets(sel, loci[k + 2 * kAhead]);
    if (k + kAhead < count) fetch_above(sel, loci[k + kAhead]);
    vok_write_bag_at(sel, loci[k], out);
  }
  return 1;
}

// The input must read exactly as it did in the first pass.
int write_voks(const vok_corpus& corpus, vok_reader* reader,
               const char* in_path, vok_writer* out, const char* out_path) {
  if (!vok_reader_rewind(reader)) return vok_read_failed(in_path);
  char* text;
  int32_t len;
  uint32_t n = 0;
  while (vok_read_document(reader, &text, &len)) {
    if (n == corpus.num_docs ||
        !write_features(corpus.tree, static_cast<int32_t>(n), text, len,
                        corpus.sel, out))
      return vok_input_changed();
    vok_writer_put(out, '\n');
    if (out->failed) return vok_write_failed(out_path);
    ++n;
  }
  if (reader->failed) return vok_read_failed(in_path);
  if (n != corpus.num_docs) return vok_input_changed();
  return 0;
}

VOK_NS_END
