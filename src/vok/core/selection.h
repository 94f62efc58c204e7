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
// Ratios are taken as reals.  A bound above 1 can never be reached (a child
// or a suffix-link source never has more occurrences than its parent or
// target), so with the default bounds of 1.0 rules 4 and 5 never refuse.
#ifndef VOK_VOK_SELECTION_H
#define VOK_VOK_SELECTION_H

#include <cstddef>
#include <cstdint>

#include "settings.h"
#include "stree_internal.h"
#include "layout.h"

VOK_NS_BEGIN

// Whether position j of text emits: always with word_delimited 0, else at
// position 0 and at every character that is no blank or tab and follows one.
inline bool vok_emits(const char* text, int32_t j, long word_delimited) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return word_delimited == 0 || j == 0 || (blank(text[j - 1]) && !blank(text[j]));
}

// A set of record numbers, one bit each.
constexpr int VOK_SET_SHIFT = 6;  // 64 numbers to a word
constexpr uint32_t VOK_SET_MASK = (1u << VOK_SET_SHIFT) - 1;
inline size_t vok_set_words(size_t numbers) {
  return (numbers + VOK_SET_MASK) >> VOK_SET_SHIFT;
}
inline bool vok_in_set(const uint64_t* set, uint32_t id) {
  return ((set[id >> VOK_SET_SHIFT] >> (id & VOK_SET_MASK)) & 1u) != 0;
}
inline void vok_set_put(uint64_t* set, uint32_t id, bool in) {
  const uint64_t bit = uint64_t{1} << (id & VOK_SET_MASK);
  uint64_t& word = set[id >> VOK_SET_SHIFT];
  word = in ? word | bit : word & ~bit;
}

// A record whose subtree the counting walk has entered and not yet left:
// its number, the running total of suffixes when it was entered, how many
// children it has shown so far and the largest count among them.
struct vok_open_record {
  uint32_t id;
  uint32_t entry_total;
  uint32_t children;
  uint32_t max_child;
};

// The arrays of a selection, indexed by node_id (loci by document and
// position).  The caller allocates them; select_features fills them.
struct vok_selection {
  // Required: the features (vok_set_words(num_nodes) words, a bit each).
  uint64_t* selected = nullptr;
  // The occurrence count of every record.  Optional, but required when the
  // suffix-link rule can refuse (vok_selection_needs_counts).
  uint32_t* counts = nullptr;
  // Optional: the nearest selected proper ancestor of every internal
  // record, the root included, at the record's rank among the internal
  // records (vok_internal_rank); 0 when there is none (the root is never
  // selected, so 0 never names a feature).  Leaves have no entry: a leaf has
  // no children, so it is never a feature, and the features of a suffix
  // that ends at a leaf are those of the leaf's parent.  Room for num_nodes
  // entries, of which only the internal records' are touched.  While the
  // selection runs it holds each internal record's parent.
  uint32_t* above = nullptr;
  // Required with above: the set of internal records (vok_set_words(
  // num_nodes + 1) words), and the internal records below each of its words
  // (as many entries).
  uint64_t* internal = nullptr;
  uint32_t* internal_before = nullptr;
  // Optional: the number of the record at which each suffix that starts at
  // an emitting position ends (for a leaf, its parent's), at its place
  // (vok_locus_place): suffix j of
  // the string in `slot` is position first[slot] + j of the strings one
  // after the other (first from vok_loci_size).  With `emitting` (a set of
  // those positions, from vok_mark_emitting) only emitting positions have a
  // place, and before[w] counts the emitting positions below word w of the
  // set; without it every position emits.
  uint32_t* loci = nullptr;
  size_t* first = nullptr;
  uint64_t* emitting = nullptr;
  size_t* before = nullptr;
  // Required: room for the depth of the tree (vok_path_room entries).
  vok_open_record* path = nullptr;
};

// Memory for a table of the selection, as malloc gives it (std::free gives
// it back); a large table is offered huge pages, since the counting walk
// writes it at places unrelated to their addresses.  nullptr when memory
// runs out.
void* vok_table_alloc(size_t bytes);

// Whether the suffix-link rule can refuse a record with these settings, in
// which case every count must be known before any record is judged.
bool vok_selection_needs_counts(const vok_settings& settings);

// Entries the counting walk's path needs: one per record on the longest
// path from the root, which has at most one record per character of the
// longest stored string, plus the root.
size_t vok_path_room(const suffix_tree* tree);

// Fills first[] (tree->slots entries) for every slot and returns the
// number of positions of the tree's strings: the loci entries they need
// when every position emits.
size_t vok_loci_size(const suffix_tree* tree, size_t* first);

// For word delimiting: fills `emitting` (vok_set_words(positions + 1)
// words, so that the end has a place too) with the positions that emit,
// where position first[slot] + j is position j of the string in `slot`, and
// before[] (as many entries) with the emitting positions below each word;
// returns the number of emitting positions, the loci entries needed.
size_t vok_mark_emitting(const suffix_tree* tree, const size_t* first,
                         size_t positions, uint64_t* emitting, size_t* before);

// The place in loci of position `at` (of the strings one after the other):
// the number of emitting positions below it.
inline size_t vok_locus_place(const vok_selection& sel, size_t at) {
  if (!sel.emitting) return at;
  const uint64_t below = (uint64_t{1} << (at & VOK_SET_MASK)) - 1;
  return sel.before[at >> VOK_SET_SHIFT] +
         static_cast<size_t>(int_stree_popcount(sel.emitting[at >> VOK_SET_SHIFT] & below));
}
// The rank of internal record `id` among the internal records (number
// order), its entry in above.
inline uint32_t vok_internal_rank(const uint64_t* internal,
                                  const uint32_t* internal_before, uint32_t id) {
  const uint64_t below = (uint64_t{1} << (id & VOK_SET_MASK)) - 1;
  return internal_before[id >> VOK_SET_SHIFT] +
         static_cast<uint32_t>(int_stree_popcount(internal[id >> VOK_SET_SHIFT] & below));
}
inline uint32_t vok_internal_rank(const vok_selection& sel, uint32_t id) {
  return vok_internal_rank(sel.internal, sel.internal_before, id);
}
// Whether position `at` has a place in loci.
inline bool vok_locus_kept(const vok_selection& sel, size_t at) {
  return !sel.emitting ||
         ((sel.emitting[at >> VOK_SET_SHIFT] >> (at & VOK_SET_MASK)) & 1u) != 0;
}

// Numbers the tree in preorder, counts every record's occurrences, records
// the loci, and applies the five rules, filling the arrays of `sel` that are
// present.  One walk does it all unless the suffix-link rule can refuse; a
// second walk then applies that rule.  Takes no memory and does not change
// the tree but for its numbers.  No recursion.
void select_features(suffix_tree* tree, const vok_settings& settings,
                     const vok_selection& sel);

VOK_NS_END

#endif  // VOK_VOK_SELECTION_H
