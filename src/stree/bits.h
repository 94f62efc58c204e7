// Bit counting for the sets and code masks of the tree and its users.
//
// The binaries are built for the x86-64 baseline, which has no population
// count instruction; there the compiler's builtin is a call into the
// runtime library, paid in every rank of a child-index block and of the
// counting walk's sets.  The parallel count below is a dozen inline
// operations instead.  Where the target has the instruction it is used.
#ifndef VOK_STREE_BITS_H
#define VOK_STREE_BITS_H

#include <cstdint>

// The same in both layouts, so it lies outside their namespaces.
inline int int_stree_popcount(uint64_t x) {
#if defined(__POPCNT__) || !(defined(__x86_64__) || defined(__i386__))
  return __builtin_popcountll(x);
#else
  constexpr uint64_t kOdd = 0x5555555555555555u;    // bit 0 of each pair
  constexpr uint64_t kPairs = 0x3333333333333333u;  // low pair of each nibble
  constexpr uint64_t kNibbles = 0x0f0f0f0f0f0f0f0fu;  // low nibble of each byte
  constexpr uint64_t kBytes = 0x0101010101010101u;  // bit 0 of each byte
  x -= (x >> 1) & kOdd;                      // counts of each bit pair
  x = (x & kPairs) + ((x >> 2) & kPairs);    // of each nibble
  x = (x + (x >> 4)) & kNibbles;             // of each byte
  return static_cast<int>((x * kBytes) >> 56);  // sum of the bytes
#endif
}

#endif  // VOK_STREE_BITS_H
