// The settings that steer feature selection and output, shared by the core
// and every front end, and the one check of their ranges.
#ifndef VOK_CORE_SETTINGS_H
#define VOK_CORE_SETTINGS_H

struct vok_settings {
  long word_delimited = 1;        // -s: emit only at word starts (0 or 1)
  long min_freq = 2;              // -l: lowest occurrence count of a feature
  long max_freq = 8000;           // -h: counts from this value up are refused
  long min_branches = 2;          // -b: fewest children of a feature node
  double max_parent_prob = 1.0;   // -p: parent-child probability bound
  double max_link_prob = 1.0;     // -q: suffix-link probability bound
  bool wide = false;              // -w: the wide tree
};

// A setting out of its range: its name (as the Python package names it)
// and the rule it breaks, worded to follow "NAME must be ".
struct vok_setting_fault {
  const char* name;
  const char* rule;
};

// The first setting out of its range, checked in this order, or a fault
// with a null name when all are valid: word_delimited 0 or 1 (taken as
// unsigned, so negatives fail), min_freq > 1, max_freq >= min_freq,
// min_branches > 1, max_parent_prob > 0, max_link_prob > 0 (NaN fails;
// infinity passes).
vok_setting_fault vok_settings_fault(const vok_settings& settings);

#endif  // VOK_CORE_SETTINGS_H
