// The corpus of one tree layout: its documents, its tree and its selection.
// core.cpp holds one of these for the layout the settings ask for and
// forwards the calls of corpus.h to its calls (tree_corpus_calls.h).
#ifndef VOK_CORE_TREE_CORPUS_H
#define VOK_CORE_TREE_CORPUS_H

#include <cstddef>
#include <cstdint>

#include "corpus.h"
#include "layout.h"
#include "model_format.h"
#include "selection.h"

VOK_NS_BEGIN

enum vok_stage { VOK_STORING, VOK_BUILT, VOK_SELECTED, VOK_BROKEN };

struct vok_tree_corpus {
  vok_settings settings;
  vok_stage stage = VOK_STORING;
  // The documents, stored end to end in this tree's text block, and the
  // tree built over them.  When the build in one go fails, `tree` is a new
  // tree filled by insertion whose strings are those of `store`, which then
  // keeps nothing but them; otherwise `store` is null.
  suffix_tree* tree = nullptr;
  suffix_tree* store = nullptr;
  uint64_t docs = 0;
  uint64_t failed_doc = 0;
  unsigned reads = 0;
  // How the build split the records among threads, for the selection's
  // walk to split the same way (the tree is not changed in between).
  stree_built_runs runs;
  vok_selection sel;
};

#include "tree_corpus_calls.h"

VOK_NS_END

#endif  // VOK_CORE_TREE_CORPUS_H
