// Feature extraction: occurrence counts and selection over the finished tree,
// and the bag of features written for each document.
#ifndef VOK_VOK_FEATURES_H
#define VOK_VOK_FEATURES_H

#include <cstddef>
#include <cstdint>

#include "settings.h"
#include "stree.h"
#include "writer.h"

// What the output needs of the finished tree, filled by one walk.
struct vok_output_index {
  // above[id]: the number of the nearest selected proper ancestor of each
  // node and leaf, 0 when there is none (the root is never selected, so 0
  // never names a feature).  May be the freq array once selection is done.
  uint32_t* above = nullptr;
  // loci[first[slot] + j]: the number of the record at which suffix j of
  // the string in `slot` ends.
  uint32_t* loci = nullptr;
  size_t* first = nullptr;  // STREE_MAX_STRINGS entries
};

// Fills freq[node_id] for every record of the subtree at `node` with the
// number of suffix occurrences passing through or ending there (freq must
// start all 0).  Renumbers the tree first when needed.  No recursion.
// With `index` (whole tree only; index->first from output_index_size), the
// same walk also records the locus of every suffix in index->loci.
void count_occurrences(suffix_tree* tree, stree_ref node, uint32_t* freq,
                       const vok_output_index* index = nullptr);

// Clears selected[node_id] (which must start all 1) for every node refused
// by the five rules: the root; counts outside [min_freq, max_freq); fewer
// than min_branches children; a parent through a child carrying at least
// max_parent_prob + 1e-8 of its occurrences; a suffix-link target likewise
// through max_link_prob.  No recursion.
// With `above` (whole tree only; it may be freq's own array, whose counts
// are then lost as the walk goes), fills above[id] as vok_output_index
// describes: in the same walk, or in a second one when the suffix-link rule
// can refuse records the walk has already passed.
void select_features(suffix_tree* tree, stree_ref node,
                     const vok_settings& settings, const uint32_t* freq,
                     unsigned char* selected, uint32_t* above = nullptr);

// The whole of count_occurrences and select_features for the output, over
// the whole tree: gives the records their numbers, records the locus of
// every suffix in index.loci, leaves the flags in `selected` and the
// nearest selected ancestors in index.above (which may be `freq` itself;
// the counts are then lost).  freq must start all 0.  Unless the
// suffix-link rule can refuse a record, one walk does it all: it keeps the
// nodes on the path to the current record on a heap stack (as deep as the
// tree) and judges each record once its subtree is done, and a pass over
// the arrays turns parents into ancestors.  Returns 0 when that stack
// cannot grow; the arrays are then incomplete.
int count_and_select(suffix_tree* tree, const vok_settings& settings,
                     uint32_t* freq, unsigned char* selected,
                     const vok_output_index& index);

// Fills first[] for every slot and returns the number of loci entries the
// tree's strings need.
size_t output_index_size(const suffix_tree* tree, size_t* first);

// Writes the tokens of document `doc` (its string-table slot), whose text
// the caller read again as text[0..len): for every emitting position, the
// selected records from the locus of the suffix starting there up to the
// root (root excluded), deepest first, each as lowercase hex and a blank.
// The caller writes the line end.  Returns 0 without writing when the text
// is not that document's stored text (the input changed between passes).
int write_features(const suffix_tree* tree, int32_t doc, const char* text,
                   int32_t len, const vok_settings& settings,
                   const unsigned char* selected,
                   const vok_output_index& index, vok_writer* out);

#endif  // VOK_VOK_FEATURES_H
