// The settings that steer feature selection and output, as the command line
// leaves them.
#ifndef VOK_VOK_SETTINGS_H
#define VOK_VOK_SETTINGS_H

struct vok_settings {
  long word_delimited = 1;        // -s: emit only at word starts (0 or 1)
  long min_freq = 2;              // -l: lowest occurrence count of a feature
  long max_freq = 8000;           // -h: counts from this value up are refused
  long min_branches = 2;          // -b: fewest children of a feature node
  double max_parent_prob = 1.0;   // -p: parent-child probability bound
  double max_link_prob = 1.0;     // -q: suffix-link probability bound
  bool wide = false;              // -w: the wide tree
};

// What a run writes.
enum vok_product {
  VOK_BAGS,        // vok: selected, above (with internal) and loci (counts for -q below 1)
  VOK_DICTIONARY,  // vok-dict: selected and counts
  VOK_APPLIED,     // vok-apply: selected and above (counts for -q below 1);
                   // the tree keeps its child index for the lookups
};

#endif  // VOK_VOK_SETTINGS_H
