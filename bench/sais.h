// A measurement aid, not a part of vok: suffix sorting by induced sorting
// (SA-IS), written with the standard library only, to tell how much slower
// a sorter of vok's own would be than libdivsufsort.
//
// The string's last character must be its one smallest (the sentinel).
// Levels are loops, not recursion: level k+1's string (the names of level
// k's LMS substrings) lies in the tail of level k's part of `sa`, and its
// suffix array in the head, so one array of n entries holds every level.
#ifndef VOK_BENCH_SAIS_H
#define VOK_BENCH_SAIS_H

#include <cstdint>
#include <vector>

namespace sais {

struct types {
  std::vector<uint64_t> bits;  // 1: S-type
  bool s(int32_t i) const { return bits[i >> 6] >> (i & 63) & 1; }
  bool lms(int32_t i) const { return i > 0 && s(i) && !s(i - 1); }
};

template <class Str>
types classify(const Str& t, int32_t n) {
  types ty;
  ty.bits.assign(static_cast<size_t>(n) / 64 + 1, 0);
  ty.bits[(n - 1) >> 6] |= uint64_t{1} << ((n - 1) & 63);
  bool next_s = true;
  for (int32_t i = n - 2; i >= 0; --i) {
    const int a = t[i], b = t[i + 1];
    next_s = a < b || (a == b && next_s);
    if (next_s) ty.bits[i >> 6] |= uint64_t{1} << (i & 63);
  }
  return ty;
}

template <class Str>
std::vector<int32_t> count_codes(const Str& t, int32_t n, int32_t k) {
  std::vector<int32_t> counts(static_cast<size_t>(k), 0);
  for (int32_t i = 0; i < n; ++i) ++counts[t[i]];
  return counts;
}

// Each code's bucket start, or its end when `ends`.
void bucket_bounds(const std::vector<int32_t>& counts, bool ends, std::vector<int32_t>* b) {
  b->resize(counts.size());
  int32_t sum = 0;
  for (size_t c = 0; c < counts.size(); ++c) {
    sum += counts[c];
    (*b)[c] = ends ? sum : sum - counts[c];
  }
}

// From the LMS suffixes in place, the L-type then the S-type suffixes.
template <class Str>
void induce(const Str& t, int32_t n, const std::vector<int32_t>& counts, const types& ty,
            int32_t* sa, std::vector<int32_t>* b) {
  bucket_bounds(counts, false, b);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t j = sa[i] - 1;
    if (sa[i] > 0 && !ty.s(j)) sa[(*b)[t[j]]++] = j;
  }
  bucket_bounds(counts, true, b);
  for (int32_t i = n - 1; i >= 0; --i) {
    const int32_t j = sa[i] - 1;
    if (sa[i] > 0 && ty.s(j)) sa[--(*b)[t[j]]] = j;
  }
}

// Sorts the LMS substrings and writes their names in position order to
// sa[n - m .. n).  Returns m; *names gets the number of distinct names.
template <class Str>
int32_t reduce(const Str& t, int32_t n, int32_t k, int32_t* sa, int32_t* names) {
  const types ty = classify(t, n);
  const std::vector<int32_t> counts = count_codes(t, n, k);
  std::vector<int32_t> b;
  bucket_bounds(counts, true, &b);
  for (int32_t i = 0; i < n; ++i) sa[i] = -1;
  for (int32_t i = n - 1; i >= 1; --i)
    if (ty.lms(i)) sa[--b[t[i]]] = i;
  induce(t, n, counts, ty, sa, &b);
  int32_t m = 0;
  for (int32_t i = 0; i < n; ++i)
    if (ty.lms(sa[i])) sa[m++] = sa[i];
  for (int32_t i = m; i < n; ++i) sa[i] = -1;
  int32_t name = 0, prev = -1;
  for (int32_t i = 0; i < m; ++i) {
    const int32_t pos = sa[i];
    bool differ = prev < 0;
    for (int32_t d = 0; !differ; ++d) {
      if (t[pos + d] != t[prev + d] || ty.s(pos + d) != ty.s(prev + d)) differ = true;
      else if (d > 0 && (ty.lms(pos + d) || ty.lms(prev + d))) break;
    }
    if (differ) {
      ++name;
      prev = pos;
    }
    sa[m + pos / 2] = name - 1;
  }
  for (int32_t i = n - 1, j = n - 1; i >= m; --i)
    if (sa[i] >= 0) sa[j--] = sa[i];
  *names = name;
  return m;
}

// Given the sorted LMS suffixes' ranks in sa[0..m) (a suffix array of the
// reduced string), sorts every suffix.  sa[n - m .. n) is workspace.
template <class Str>
void expand(const Str& t, int32_t n, int32_t k, int32_t m, int32_t* sa) {
  const types ty = classify(t, n);
  int32_t* lms = sa + n - m;
  for (int32_t i = 1, j = 0; i < n; ++i)
    if (ty.lms(i)) lms[j++] = i;
  for (int32_t i = 0; i < m; ++i) sa[i] = lms[sa[i]];
  for (int32_t i = m; i < n; ++i) sa[i] = -1;
  const std::vector<int32_t> counts = count_codes(t, n, k);
  std::vector<int32_t> b;
  bucket_bounds(counts, true, &b);
  for (int32_t i = m - 1; i >= 0; --i) {
    const int32_t j = sa[i];
    sa[i] = -1;
    sa[--b[t[j]]] = j;
  }
  induce(t, n, counts, ty, sa, &b);
}

struct level {
  int32_t* str;  // nullptr at level 0
  int32_t n, k;
  int32_t lms = 0;  // its LMS suffixes, the length of the level below
};

// Suffix array of t[0..n) over codes 0..k-1, t[n-1] the sentinel.
template <class Str>
void sort(const Str& t, int32_t n, int32_t k, int32_t* sa) {
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  std::vector<level> levels{{nullptr, n, k}};
  for (;;) {  // down
    level& top = levels.back();
    int32_t names = 0, m;
    if (top.str) m = reduce(top.str, top.n, top.k, sa, &names);
    else m = reduce(t, top.n, top.k, sa, &names);
    top.lms = m;
    int32_t* s1 = sa + top.n - m;
    if (names < m) {
      levels.push_back(level{s1, m, names});
      continue;
    }
    for (int32_t i = 0; i < m; ++i) sa[s1[i]] = i;
    break;
  }
  for (size_t l = levels.size(); l-- > 0;) {  // up
    const level& v = levels[l];
    if (v.str) expand(v.str, v.n, v.k, v.lms, sa);
    else expand(t, v.n, v.k, v.lms, sa);
  }
}

}  // namespace sais

#endif  // VOK_BENCH_SAIS_H
