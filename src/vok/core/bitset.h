// Sets of record numbers (or text positions), one bit each, and the rank of
// a member: the members below it, from a count kept for every word.
#ifndef VOK_CORE_BITSET_H
#define VOK_CORE_BITSET_H

#include <cstddef>
#include <cstdint>

#include "bits.h"

constexpr int VOK_SET_SHIFT = 6;  // 64 numbers to a word
constexpr uint32_t VOK_SET_MASK = (1u << VOK_SET_SHIFT) - 1;

inline size_t vok_set_words(size_t numbers) {
  return (numbers + VOK_SET_MASK) >> VOK_SET_SHIFT;
}
inline bool vok_in_set(const uint64_t* set, uint64_t id) {
  return ((set[id >> VOK_SET_SHIFT] >> (id & VOK_SET_MASK)) & 1u) != 0;
}
inline void vok_set_put(uint64_t* set, uint64_t id, bool in) {
  const uint64_t bit = uint64_t{1} << (id & VOK_SET_MASK);
  uint64_t& word = set[id >> VOK_SET_SHIFT];
  word = in ? word | bit : word & ~bit;
}
// The members of `set` below `id`, where before[w] counts those below word
// w.  T is the type of the counts.
template <typename T>
inline T vok_set_rank(const uint64_t* set, const T* before, uint64_t id) {
  const uint64_t below = (uint64_t{1} << (id & VOK_SET_MASK)) - 1;
  return before[id >> VOK_SET_SHIFT] +
         static_cast<T>(int_stree_popcount(set[id >> VOK_SET_SHIFT] & below));
}
// Fills before[0..words) for `set` and returns its members.
template <typename T>
inline T vok_set_count_before(const uint64_t* set, size_t words, T* before) {
  T total = 0;
  for (size_t w = 0; w < words; ++w) {
    before[w] = total;
    total += static_cast<T>(int_stree_popcount(set[w]));
  }
  return total;
}

#endif  // VOK_CORE_BITSET_H
