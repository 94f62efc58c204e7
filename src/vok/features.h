// Feature extraction: occurrence counts and selection over the finished tree,
// and the bag of features written for each document.
#ifndef VOK_VOK_FEATURES_H
#define VOK_VOK_FEATURES_H

#include <cstdint>

#include "settings.h"
#include "stree.h"
#include "writer.h"

// Fills freq[node_id] for every record of the subtree at `node` with the
// number of suffix occurrences passing through or ending there (freq must
// start all 0).  Renumbers the tree first when needed.  No recursion.
void count_occurrences(suffix_tree* tree, stree_ref node, uint32_t* freq);

// Clears selected[node_id] (which must start all 1) for every node refused
// by the five rules: the root; counts outside [min_freq, max_freq); fewer
// than min_branches children; a parent through a child carrying at least
// max_parent_prob + 1e-8 of its occurrences; a suffix-link target likewise
// through max_link_prob.  No recursion.
void select_features(suffix_tree* tree, stree_ref node,
                     const vok_settings& settings, const uint32_t* freq,
                     unsigned char* selected);

// Fills above[id] with the number of the nearest selected proper ancestor
// of every node and leaf, 0 when there is none (the root is never selected,
// so 0 never names a feature).  Siblings share it, so one preorder pass
// without a stack does.  `above` may be the freq array once the selection
// is done.
void link_selected_ancestors(suffix_tree* tree, const unsigned char* selected,
                             uint32_t* above);

// Writes the tokens of one stored document (text[0..len)): for every
// emitting position, the selected nodes from its suffix's locus up to the
// root (root excluded), deepest first, each as lowercase hex and a blank.
// `above` comes from link_selected_ancestors, so each position costs the
// tokens it writes, not the depth of its locus.  The caller writes the line
// end.  Returns 0 without writing when the text is not a stored document of
// the tree (the input changed between passes).
int write_features(suffix_tree* tree, const char* text, int32_t len,
                   const vok_settings& settings, const unsigned char* selected,
                   const uint32_t* above, vok_writer* out);

#endif  // VOK_VOK_FEATURES_H
