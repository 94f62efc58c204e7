// Counting and selection: which records of the finished tree are features.
//
// Every non-root record stands for one substring class, and its occurrence
// count is the number of suffixes that end at it or below it.  The five
// rules: a record is refused when
//   1. it is the root;
//   2. its count is below min_freq, or max_freq or more;
//   3. it has fewer than min_branches children (every leaf has none);
//   4. one of its children carries at least max_parent_prob (+ 1e-8) of its
//      occurrences (the parent rule);
//   5. a record whose suffix link points to it carries at least
//      max_link_prob (+ 1e-8) of its occurrences (the suffix-link rule).
// The opt-in settings add: with min_df or max_df its document frequency
// (the documents with a suffix in its subtree) lies outside their bounds;
// with utf8 none of its substrings ends at a character boundary; with
// max_shortest its shortest substring is longer than that; and with
// max_features, after all of these, it is not among that many features of
// the highest frequency (ties: the lower number); only the classes that
// some bag can hold compete (those with an occurrence at an emitting
// position), and the others are then refused.
// Ratios are taken as reals.  A bound above 1 can never be reached (a child
// or a suffix-link source never has more occurrences than its parent or
// target), so with the default bounds of 1.0 rules 4 and 5 never refuse.
//
// The selection's tables come in groups, each allocated whole or not at
// all, each with one meaning.  Which groups exist is decided by the jobs
// the selection is asked for, never by which pointers happen to be set.
#ifndef VOK_CORE_SELECTION_H
#define VOK_CORE_SELECTION_H

#include <cstddef>
#include <cstdint>

#include "bitset.h"
#include "corpus.h"
#include "emitting.h"
#include "layout.h"
#include "settings.h"

VOK_NS_BEGIN

// The features: a bit per record number.  (Columns are ranks among the
// seen features, below; nothing asks for a rank among all of them.)
struct vok_features {
  uint64_t* bits = nullptr;
};

// The occurrence count of every record, by number.
struct vok_counts {
  uint32_t* of = nullptr;
};

// Document frequencies, only when the settings ask for them.  `last` holds
// per document (slot) the number of the record where the counting walk
// last met one of its suffixes (UINT32_MAX: not yet), one entry more than
// there are slots; `of` the frequency of every record, only with
// max_features.
struct vok_df {
  uint32_t* last = nullptr;
  uint32_t* of = nullptr;
};

// The chain of features above every internal record.  `internal` holds a
// bit per internal record number (the root included; one bit more than
// there are records), `internal_before` the internal records below each of
// its words, which gives an internal record its rank.  ancestor[rank] is
// the number of the record's nearest selected proper ancestor, 0 when there
// is none (the root is never selected, so 0 never names a feature).
// Leaves have no entry: a leaf has no children, so it is never a feature,
// and the features of a suffix that ends at a leaf are those of its parent.
struct vok_chains {
  uint64_t* internal = nullptr;
  uint32_t* internal_before = nullptr;
  uint32_t* ancestor = nullptr;
};

// The locus of every suffix that starts at an emitting position: the
// number of the record at which it ends (for a leaf, its parent's), at its
// place.  Suffix j of the string in slot s is position first[s] + j of the
// strings one after the other; with `by_offset`, each string is followed
// by one position that no suffix starts at, so that a position is the
// offset the wide layout's records keep (the strings' runs of offsets
// follow one another in slot order, as in a tree filled by appending) and
// the counting walk need not find a record's slot to place its suffix.
// With word delimiting only emitting positions have a place: `emitting` is
// the set of them (one bit more than there are positions, so that the end
// has a place too) and before[w] counts those below word w; without it
// every position emits and its place is the position itself.
struct vok_loci {
  bool by_offset = false;
  size_t* first = nullptr;
  uint64_t* emitting = nullptr;
  size_t* before = nullptr;
  uint32_t* at = nullptr;
};

// The seen features: those that occur in at least one bag of the stored
// documents (the features of the loci and their chains), a bit per record
// number, and the seen features below each word (a seen feature's column).
struct vok_seen {
  uint64_t* bits = nullptr;
  uint32_t* before = nullptr;
};

// The internal records themselves, by rank, for making a model: each one's
// reference and suffix link, its parent's rank (the root's: 0), the first
// character of its path label and of its edge (the root's: 0), side by side
// so that one read finds them all.  `room` entries; the walk grows them.
struct vok_node {
  stree_ref ref;
  stree_ref link;
  uint32_t parent;
  unsigned char first;
  unsigned char code;
};
struct vok_nodes {
  vok_node* at = nullptr;
  size_t room = 0;
};

// What a selection fills beside the features.
enum vok_jobs : unsigned {
  VOK_JOB_COUNTS = 1,  // counts
  VOK_JOB_CHAINS = 2,  // chains
  VOK_JOB_LOCI = 4,    // loci (needs chains)
  VOK_JOB_SEEN = 8,    // the seen features and the nodes (needs loci)
  // Nothing reads the tree's records after the selection: the counting walk
  // hands each one to the pool once it has read it for the last time, and
  // the pool gives a page's memory back once all of its records are passed
  // (int_stree_pass).  Not with the suffix-link rule, whose second walk
  // reads them again.
  VOK_JOB_PASS = 16,
};

struct vok_selection {
  unsigned jobs = 0;
  vok_features features;
  vok_counts counts;
  vok_chains chains;
  vok_loci loci;
  vok_seen seen;
  vok_nodes nodes;
  vok_df df;
  uint64_t docs = 0;  // documents appended, for the shares of min_df and max_df
  uint64_t internal_records = 0;  // root included
  uint64_t feature_count = 0;
  uint64_t seen_count = 0;
};

// Whether the suffix-link rule can refuse a record with these settings, in
// which case every count must be known before any record is judged, and
// the selection follows the tree's suffix links (nothing else in it does).
bool vok_selection_link_rule_on(const vok_settings& settings);

// Allocates the groups of `jobs` for the tree (the features always, the
// counts also when the suffix-link rule needs them).  False when memory
// runs out; what was had stays in *sel for vok_selection_free.
bool vok_selection_alloc(const suffix_tree* tree, const vok_settings& settings,
                         unsigned jobs, vok_selection* sel);
// Gives back every table; *sel is empty after.
void vok_selection_free(vok_selection* sel);

// Numbers the tree in preorder, counts every record's occurrences, records
// the loci, and applies the five rules, filling the groups of sel->jobs.
// One walk does it all unless the suffix-link rule can refuse; a second
// walk then applies that rule.  No recursion; its one table (the path of
// the walk, one entry per level of the tree) is its own.  The hook (may be
// null) hears of the walk, as "selecting", once in 65,536 records.
// VOK_NO_MEMORY when memory for the table runs out, VOK_STOPPED when the
// hook asks to stop; the selection is unusable after either.
// With the runs a build made on threads (or null), the walk is split among
// the threads the settings ask for, and its results are the same.
vok_status vok_select_features(suffix_tree* tree, const vok_settings& settings,
                               vok_selection* sel, const vok_hook* hook,
                               const stree_built_runs* runs = nullptr);

// The place in loci.at of position `at` (of the strings one after the
// other): the number of emitting positions below it.
inline size_t vok_locus_place(const vok_loci& loci, size_t at) {
  return loci.emitting ? vok_set_rank(loci.emitting, loci.before, at) : at;
}
// Whether position `at` has a place in loci.at.
inline bool vok_locus_kept(const vok_loci& loci, size_t at) {
  return !loci.emitting || vok_in_set(loci.emitting, at);
}
// The rank of internal record `id` among the internal records (number
// order), its entry in chains.ancestor.
inline uint32_t vok_internal_rank(const vok_chains& chains, uint32_t id) {
  return vok_set_rank(chains.internal, chains.internal_before, id);
}

VOK_NS_END

#endif  // VOK_CORE_SELECTION_H
