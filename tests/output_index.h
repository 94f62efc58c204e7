// Test helper: the counts, selection and output tables of a finished tree,
// made by the engine vok uses, with their own storage.
#ifndef VOK_TESTS_OUTPUT_INDEX_H
#define VOK_TESTS_OUTPUT_INDEX_H

#include <vector>

#include "selection.h"

struct owned_selection {
  std::vector<unsigned char> selected;
  std::vector<uint32_t> counts, above, loci;
  std::vector<size_t> first;
  std::vector<vok_open_record> path;
  vok_selection sel;

  owned_selection(suffix_tree* tree, const vok_settings& settings)
      : selected(static_cast<size_t>(tree->num_nodes), 7),
        counts(selected.size()),
        above(selected.size()),
        first(STREE_MAX_STRINGS),
        path(vok_path_room(tree)) {
    loci.resize(vok_loci_size(tree, first.data()) + 1);
    sel.selected = selected.data();
    sel.counts = counts.data();
    sel.above = above.data();
    sel.loci = loci.data();
    sel.first = first.data();
    sel.path = path.data();
    select_features(tree, settings, sel);
  }
};

#endif  // VOK_TESTS_OUTPUT_INDEX_H
