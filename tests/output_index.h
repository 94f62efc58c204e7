// Test helper: counts, selection and the output index of a finished tree
// made as vok makes them, with their own storage.
#ifndef VOK_TESTS_OUTPUT_INDEX_H
#define VOK_TESTS_OUTPUT_INDEX_H

#include <vector>

#include "features.h"

struct owned_output_index {
  std::vector<uint32_t> above;  // the counts first, as in vok
  std::vector<uint32_t> loci;
  std::vector<size_t> first;
  vok_output_index index;
  bool ok = false;  // count_and_select could grow its stack

  // Counts and selects again into `selected` (all 1 on entry) while
  // building the index, through count_and_select as vok does.
  owned_output_index(suffix_tree* tree, const vok_settings& settings,
                     unsigned char* selected)
      : above(static_cast<size_t>(tree->num_nodes)),
        first(STREE_MAX_STRINGS) {
    loci.resize(output_index_size(tree, first.data()) + 1);
    index.above = above.data();
    index.loci = loci.data();
    index.first = first.data();
    ok = count_and_select(tree, settings, above.data(), selected, index) == 1;
  }
};

#endif  // VOK_TESTS_OUTPUT_INDEX_H
