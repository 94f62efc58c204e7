// Building the corpus: the first pass, then counting and selection.
#include "corpus.h"

#include <cstdlib>
#include <cstring>

#include "messages.h"

VOK_NS_BEGIN

namespace {

template <typename T>
T* allocate(size_t n) {
  return static_cast<T*>(vok_table_alloc((n > 0 ? n : 1) * sizeof(T)));
}

// Stores every document in the tree, numbered from 0.
int first_pass(vok_reader* reader, const char* in_path, vok_corpus* corpus) {
  char* text;
  int32_t len;
  uint32_t n = 0;
  while (vok_read_document(reader, &text, &len)) {
    if (n == VOK_MAX_DOCS) return vok_too_many_docs();
    if (!stree_add_string(corpus->tree, text, len, static_cast<int32_t>(n)))
      return vok_add_failed(n);
    ++n;
  }
  if (reader->refused) return vok_add_failed(n);
  if (reader->failed) return vok_read_failed(in_path);
  corpus->num_docs = n;
  return 0;
}

// Stores every document and builds the tree in one go from them, which is
// much faster than inserting them one by one.  False when that fails for
// any reason (too many documents, a line refused or unread, more text than
// the sorter takes, no memory, the node limit): the caller then inserts
// them one by one from the start, which meets the same failure, if any, at
// the same document and reports it.
bool batch_pass(vok_reader* reader, vok_corpus* corpus) {
  char* text;
  int32_t len;
  uint32_t n = 0;
  while (vok_read_document(reader, &text, &len)) {
    if (n == VOK_MAX_DOCS ||
        int_stree_table_append(corpus->tree, text, len, static_cast<int32_t>(n)) < 0 ||
        corpus->tree->block_used > static_cast<size_t>(STREE_MAX_SORTED))
      return false;  // more text than the sorter takes: no use reading on
    ++n;
  }
  if (reader->refused || reader->failed || !int_stree_build_stored(corpus->tree))
    return false;
  corpus->num_docs = n;
  return true;
}

// Makes the tree anew and the reader read from the start again, for the
// one-by-one pass after a failed batch pass.  Returns 0, or the status of
// the failure reported.
int start_again(vok_reader* reader, const char* in_path, vok_corpus* corpus) {
  stree_delete_tree(corpus->tree);
  corpus->tree = stree_new_tree(STREE_MAX_ALPHABET, 1);
  if (!corpus->tree) return vok_out_of_memory();
  if (!vok_reader_rewind(reader)) return vok_read_failed(in_path);
  reader->phase = "reading";
  if (reader->progress) reader->progress->docs = reader->progress->bytes = 0;
  return 0;
}

// Allocates the arrays the product needs.  False when memory runs out.
bool allocate_selection(const vok_settings& settings, vok_product product,
                        vok_corpus* corpus) {
  const suffix_tree* tree = corpus->tree;
  const size_t n = static_cast<size_t>(tree->num_nodes);
  vok_selection& sel = corpus->sel;
  sel.selected = allocate<uint64_t>(vok_set_words(n));
  sel.path = allocate<vok_open_record>(vok_path_room(tree));
  if (!sel.selected || !sel.path) return false;
  if (product == VOK_DICTIONARY || vok_selection_needs_counts(settings)) {
    sel.counts = allocate<uint32_t>(n);
    if (!sel.counts) return false;
  }
  if (product == VOK_APPLIED || product == VOK_BAGS) {
    // Room for every record; only the internal records' entries are touched.
    sel.above = allocate<uint32_t>(n);
    sel.internal = allocate<uint64_t>(vok_set_words(n + 1));
    sel.internal_before = allocate<uint32_t>(vok_set_words(n + 1));
    if (!sel.above || !sel.internal || !sel.internal_before) return false;
  }
  if (product == VOK_BAGS) {
    sel.first = allocate<size_t>(static_cast<size_t>(tree->slots));
    if (!sel.first) return false;
    size_t loci = vok_loci_size(tree, sel.first);
    if (settings.word_delimited) {  // places for the emitting positions only
      const size_t words = vok_set_words(loci + 1);
      sel.emitting = allocate<uint64_t>(words);
      sel.before = allocate<size_t>(words);
      if (!sel.emitting || !sel.before) return false;
      loci = vok_mark_emitting(tree, sel.first, loci, sel.emitting, sel.before);
    }
    sel.loci = allocate<uint32_t>(loci);
    if (!sel.loci) return false;
  }
  return true;
}

}  // namespace

vok_corpus::~vok_corpus() {
  stree_delete_tree(tree);
  std::free(sel.selected);
  std::free(sel.counts);
  std::free(sel.above);
  std::free(sel.internal);
  std::free(sel.internal_before);
  std::free(sel.loci);
  std::free(sel.first);
  std::free(sel.emitting);
  std::free(sel.before);
  std::free(sel.path);
}

int vok_build_corpus(const vok_settings& settings, vok_reader* reader,
                     const char* in_path, vok_product product,
                     vok_corpus* corpus) {
  corpus->tree = stree_new_tree(STREE_MAX_ALPHABET, 1);
  if (!corpus->tree) return vok_out_of_memory();
  int status = 0;
  if (!batch_pass(reader, corpus)) {
    status = start_again(reader, in_path, corpus);
    if (status == 0) status = first_pass(reader, in_path, corpus);
  }
  // No more lookups but vok-apply's: memory for the counts.
  if (product != VOK_APPLIED) stree_index_release(corpus->tree);
  if (status != 0) return status;

  if (!allocate_selection(settings, product, corpus)) return vok_out_of_memory();
  if (reader->progress) vok_progress_note(reader->progress, "selecting", 0, 0);
  select_features(corpus->tree, settings, corpus->sel);
  std::free(corpus->sel.path);  // it served the walk only
  corpus->sel.path = nullptr;
  return 0;
}

VOK_NS_END
