// The corpus of a run: every document of the input stored in one suffix
// tree (the first pass), with the counts and the selection of its features.
// It is built once and then read by the output, the bags of features or the
// dictionary; it owns all of its memory and gives it back when it goes.
#ifndef VOK_VOK_CORPUS_H
#define VOK_VOK_CORPUS_H

#include <cstdint>

#include "reader.h"
#include "selection.h"
#include "settings.h"
#include "stree_internal.h"
#include "layout.h"

VOK_NS_BEGIN

// Documents a run can hold (the tree's string table).
constexpr uint32_t VOK_MAX_DOCS = STREE_MAX_STRINGS;

// What the run writes from the corpus, which decides the arrays it keeps.

struct vok_corpus {
  suffix_tree* tree = nullptr;
  uint32_t num_docs = 0;  // documents stored, numbered 0..num_docs-1
  vok_selection sel;      // arrays by node_id, owned here

  vok_corpus() = default;
  vok_corpus(const vok_corpus&) = delete;
  vok_corpus& operator=(const vok_corpus&) = delete;
  ~vok_corpus();
};

// Builds the corpus from the documents of `reader` (positioned at the start
// of the input): stores each in the tree under its number, then counts and
// selects the features.  Returns 0, or 1 after printing the message of the
// first failure:
//   "Error: the program can only process at most 8192 documents."
//   "Error: failed to add the doc (id=N)       becuse the program ran out
//    of memory."
//   "Error: failed to read file PATH."
//   "Error: the program ran out of memory."
int vok_build_corpus(const vok_settings& settings, vok_reader* reader,
                     const char* in_path, vok_product product,
                     vok_corpus* corpus);

VOK_NS_END

#endif  // VOK_VOK_CORPUS_H
