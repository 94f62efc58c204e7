// Baseline for the suffix tree: the same substring classes found through a
// suffix array.
//
// Reads a corpus (one document per line), keeps the whole file as one text
// with its line breaks as separators, and
//   1. builds the suffix array with libdivsufsort,
//   2. computes the LCP array with Kasai's algorithm, where a comparison
//      stops at a line break, so that no common prefix runs across the end
//      of a document (the LCP values are those of the generalized suffix
//      tree of the documents),
//   3. makes one pass over the LCP intervals with a stack and counts them:
//      each interval is one internal node of the generalized suffix tree,
//      that is one internal substring class, the root included.  On a
//      corpus without CR bytes (as generated) that is exactly the number of
//      internal nodes of vok's tree over the same documents.
// Prints one "key value" pair per line: sizes, the wall and CPU seconds of
// the three steps, and the counts.
//
// Build: g++ -O2 -std=c++20 sa_lcp.cpp -o sa_lcp -ldivsufsort
// Usage: sa_lcp CORPUS
#include <divsufsort.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "phase_clock.h"
#include "suffix_array.h"

namespace {

// Counts the LCP intervals in one left-to-right pass with a stack of open
// interval depths.  An interval closes when a smaller LCP value arrives;
// the root (depth 0) is closed at the end.  Also reports the deepest one.
int64_t count_intervals(const std::vector<int32_t>& lcp, int32_t* max_depth) {
  std::vector<int32_t> stack;
  stack.reserve(1024);
  stack.push_back(0);
  int64_t count = 0;
  *max_depth = 0;
  const size_t n = lcp.size();
  for (size_t r = 1; r <= n; r++) {
    int32_t h = r < n ? lcp[r] : 0;
    while (h < stack.back()) {
      stack.pop_back();
      count++;
    }
    if (h > stack.back()) {
      stack.push_back(h);
      if (h > *max_depth) *max_depth = h;
    }
  }
  return count + 1;  // the root
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned char> text;
  if (int status = read_corpus_arg(argc, argv, &text)) return status;
  const int32_t n = static_cast<int32_t>(text.size());
  int64_t separators = 0;
  for (unsigned char c : text) separators += c == '\n';

  double sa_s, sa_cpu, lcp_s, lcp_cpu, intervals_s, intervals_cpu;
  phase_clock clock = start_clock();
  std::vector<int32_t> sa(n > 0 ? n : 1);
  if (n > 0 && divsufsort(text.data(), sa.data(), n) != 0) {
    std::fprintf(stderr, "divsufsort failed\n");
    return 1;
  }
  sa.resize(n);
  stop_clock(clock, &sa_s, &sa_cpu);

  clock = start_clock();
  std::vector<int32_t> lcp;
  {
    std::vector<int32_t> rank;
    kasai_lcp(text, sa, &rank, &lcp);
  }
  stop_clock(clock, &lcp_s, &lcp_cpu);

  clock = start_clock();
  int32_t max_depth = 0;
  int64_t intervals = count_intervals(lcp, &max_depth);
  stop_clock(clock, &intervals_s, &intervals_cpu);

  std::printf("bytes %d\n", n);
  std::printf("separators %lld\n", static_cast<long long>(separators));
  std::printf("sa_s %.6f\n", sa_s);
  std::printf("lcp_s %.6f\n", lcp_s);
  std::printf("intervals_s %.6f\n", intervals_s);
  std::printf("sa_cpu_s %.6f\n", sa_cpu);
  std::printf("lcp_cpu_s %.6f\n", lcp_cpu);
  std::printf("intervals_cpu_s %.6f\n", intervals_cpu);
  std::printf("intervals %lld\n", static_cast<long long>(intervals));
  std::printf("max_lcp %d\n", max_depth);
  return 0;
}
