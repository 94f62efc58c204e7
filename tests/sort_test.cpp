// The suffix sorter (sort.cpp) against brute force: the suffix array and
// every LCP value on random blocks, and a clean failure at every allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "stree_internal.h"

namespace {

// The code the sorter orders by: the block's end below a NUL, a NUL below
// every other byte.
int code(const std::string& b, size_t i) {
  return i == b.size() ? 0 : static_cast<unsigned char>(b[i]) + 1;
}

std::vector<int32_t> brute_sa(const std::string& b) {
  std::vector<int32_t> sa(b.size());
  std::iota(sa.begin(), sa.end(), 0);
  std::sort(sa.begin(), sa.end(), [&](size_t x, size_t y) {
    while (code(b, x) == code(b, y)) ++x, ++y;  // they differ by the end
    return code(b, x) < code(b, y);
  });
  return sa;
}

// Characters shared from x and y on; a NUL matches nothing.
int32_t brute_lcp(const std::string& b, size_t x, size_t y) {
  int32_t l = 0;
  while (x + l < b.size() && y + l < b.size() && b[x + l] == b[y + l] &&
         b[x + l] != 0)
    ++l;
  return l;
}

// Empty when the result is that of brute force, else what is wrong.
std::string check(const std::string& b, const int_stree_sorted& s) {
  const size_t n = b.size();
  if (std::vector<int32_t>(s.sa, s.sa + n) != brute_sa(b)) return "sa differs";
  std::vector<int32_t> lcp(n);  // -1: capped, and the exact value missing
  for (size_t r = 0; r < n; ++r)
    lcp[r] = s.lcp[r] == STREE_LONG_LCP ? -1 : s.lcp[r];
  for (size_t p = 0; p < s.long_count; ++p) {
    const int32_t r = s.long_lcp[2 * p], v = s.long_lcp[2 * p + 1];
    if (r < 0 || size_t(r) >= n || lcp[r] != -1 || v < STREE_LONG_LCP ||
        (p > 0 && r <= s.long_lcp[2 * p - 2]))
      return "bad long pair " + std::to_string(p);
    lcp[r] = v;
  }
  for (size_t r = 0; r < n; ++r) {
    const int32_t want = r ? brute_lcp(b, s.sa[r - 1], s.sa[r]) : 0;
    if (lcp[r] != want) return "lcp differs at rank " + std::to_string(r);
  }
  return "";
}

// 1 to 8 strings, each ending with its NUL.  By shape: long runs of one
// letter (0) or of "ab" (1), Fibonacci words (2), or else short strings over
// 1 to 4 letters, sometimes high bytes.
std::string random_block(std::mt19937& rng, int shape) {
  const std::string letters("abc\xff\x80", 5);
  const size_t alphabet = 1 + rng() % 4, first = rng() % 2 * (5 - alphabet);
  std::string b;
  for (int s = 1 + int(rng() % (shape < 3 ? 3 : 8)); s > 0; --s) {
    if (shape == 0) {
      b += std::string(300 + rng() % 400, 'a');
    } else if (shape == 1) {
      for (int k = 130 + int(rng() % 100); k > 0; --k) b += "ab";
    } else if (shape == 2) {  // the sorter goes several levels up
      std::string f = "a", g = "ab";
      while (g.size() < 1000) f = std::exchange(g, g + f);
      b += g.substr(0, 200 + rng() % 800);
    } else {
      for (int len = int(rng() % 41); len > 0; --len)
        b += letters[first + rng() % alphabet];
    }
    b += '\0';
  }
  return b;
}

std::string sorted_check(const std::string& b, int threads = 1) {
  int_stree_sorted s;
  const auto* block = reinterpret_cast<const unsigned char*>(b.data());
  if (!int_stree_sort_suffixes(block, int64_t(b.size()), &s, nullptr, threads)) return "failed";
  const std::string e = check(b, s);
  int_stree_sorted_free(&s);
  return e;
}

TEST(Sort, RandomBlocksMatchBruteForce) {
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    const std::string b = random_block(rng, int(rng() % 9));
    ASSERT_EQ(sorted_check(b, 1 + i % 4), "") << "block " << i << " of " << b.size();
  }
  EXPECT_EQ(sorted_check(std::string(1, '\0')), "");
}

bool empty(const int_stree_sorted& s) {
  return !s.sa && !s.lcp && !s.long_lcp && s.long_count == 0;
}

TEST(Sort, RefusesSizesOutsideItsRange) {
  int_stree_sorted s;
  const unsigned char nul = 0;
  EXPECT_EQ(int_stree_sort_suffixes(&nul, 0, &s), 0);
  EXPECT_EQ(int_stree_sort_suffixes(&nul, STREE_MAX_SORTED + 1, &s), 0);
  EXPECT_TRUE(empty(s));
}

// Each allocation made to fail in turn; the first run that succeeds must
// have left the hook armed, so that the next sort fails at once: no
// failure was swallowed, and every allocation was tried.
TEST(Sort, FailsCleanlyAtEveryAllocation) {
  std::mt19937 rng(3);
  std::vector<std::string> blocks{std::string("banana\0ananas\0", 14)};
  for (int shape = 0; shape < 5; ++shape)
    blocks.push_back(random_block(rng, shape));
  for (const std::string& b : blocks) {
    const auto* block = reinterpret_cast<const unsigned char*>(b.data());
    for (long at = 1;; ++at) {
      ASSERT_LT(at, 1000) << "no run succeeds";
      stree_build_fail_at(at);
      int_stree_sorted s;
      if (!int_stree_sort_suffixes(block, int64_t(b.size()), &s)) {
        ASSERT_TRUE(empty(s)) << "allocation " << at;
        continue;
      }
      EXPECT_EQ(check(b, s), "") << "allocation " << at;
      int_stree_sorted_free(&s);
      EXPECT_TRUE(empty(s));
      const int again = int_stree_sort_suffixes(block, int64_t(b.size()), &s);
      int_stree_sorted_free(&s);
      EXPECT_EQ(again, 0) << "allocation " << at << " failed unnoticed";
      stree_build_fail_at(0);
      break;
    }
  }
}

}  // namespace
