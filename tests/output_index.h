// Test helper: the output index of a finished tree, with its own storage.
#ifndef VOK_TESTS_OUTPUT_INDEX_H
#define VOK_TESTS_OUTPUT_INDEX_H

#include <vector>

#include "features.h"

struct owned_output_index {
  std::vector<uint32_t> above;
  std::vector<uint32_t> loci;
  std::vector<size_t> first;
  vok_output_index index;

  owned_output_index(suffix_tree* tree, const unsigned char* selected)
      : above(static_cast<size_t>(tree->num_nodes)),
        first(STREE_MAX_STRINGS) {
    loci.resize(output_index_size(tree, first.data()) + 1);
    index.above = above.data();
    index.loci = loci.data();
    index.first = first.data();
    build_output_index(tree, selected, index);
  }
};

#endif  // VOK_TESTS_OUTPUT_INDEX_H
