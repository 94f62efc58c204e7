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
  // Document frequency bounds (--min-df, --max-df): a node is refused when
  // fewer than min_df or more than max_df documents hold one of its
  // substrings.  Each bound is a count of documents, or with its *_share
  // flag a share of the documents appended (empty ones included), as
  // scikit-learn's CountVectorizer takes an int or a float.  The defaults
  // refuse nothing.
  double min_df = 1;
  bool min_df_share = false;
  double max_df = 1.0;
  bool max_df_share = true;
  // --max-features: after every other rule, only this many features stay,
  // those in the most documents (ties: the lower number) among those that
  // occur at an emitting position (the others, which no bag can hold, go);
  // 0 keeps all.
  long max_features = 0;
  // --max-shortest: a node is refused when its shortest substring (one byte
  // more than its parent's path) is longer than this many bytes, so that
  // every feature is also a character n-gram of at most that length; 0 keeps
  // all.
  long max_shortest = 0;
  // --utf8: only UTF-8 character starts emit, and a node none of whose
  // substrings ends at a character boundary is no feature.
  bool utf8 = false;
  // How the documents were lowercased before they reached the core (the
  // core itself lowercases only a model's new texts, and only ASCII).
  enum lowering : int { LOWER_NONE = 0, LOWER_ASCII = 1, LOWER_UNICODE = 2 };
  int lowercase = LOWER_NONE;  // --lowercase: ASCII; the Python package: Unicode
  // -j: the threads the work that splits into parts runs on (the build's
  // LCP values and link walks, the bags written); 0 is one per core.  No
  // product depends on it, and no model file records it.
  long threads = 1;
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
// infinity passes), min_df and max_df each a whole count of at least 1 or
// a share in [0, 1], max_df at least min_df when both are of one kind,
// max_features >= 0, max_shortest >= 0, lowercase one of the three ways,
// threads >= 0.
vok_setting_fault vok_settings_fault(const vok_settings& settings);

// The threads the settings ask for: threads itself, or for 0 the cores the
// system reports (at least 1); never more than VOK_MAX_THREADS.
constexpr long VOK_MAX_THREADS = 256;
int vok_settings_threads(const vok_settings& settings);

// Whether the settings ask for the documents' frequencies at all.
inline bool vok_settings_use_df(const vok_settings& s) {
  return s.max_features != 0 || s.min_df_share || s.min_df != 1 || !s.max_df_share ||
         s.max_df != 1.0;
}

#endif  // VOK_CORE_SETTINGS_H
