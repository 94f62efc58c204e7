// A measurement, not a part of vok: SA-IS (sais.h) against libdivsufsort on
// the same corpus, in the same process, and a check that both give the same
// suffix array.  Prints "key value" pairs: the seconds of each sorter and
// the number of entries that differ (must be 0).
//
// Build: g++ -O2 -std=c++20 sa_sais.cpp -o sa_sais -ldivsufsort
// Usage: sa_sais CORPUS
#include <divsufsort.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "phase_clock.h"
#include "sais.h"
#include "suffix_array.h"

namespace {

// The corpus's bytes one above their values, and a sentinel 0 after them.
struct codes {
  const unsigned char* p;
  int32_t n;
  int operator[](int32_t i) const { return i == n ? 0 : p[i] + 1; }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned char> text;
  if (int status = read_corpus_arg(argc, argv, &text)) return status;
  const int32_t n = static_cast<int32_t>(text.size());
  double div_s, div_cpu, sais_s, sais_cpu;
  phase_clock clock = start_clock();
  std::vector<int32_t> sa(n);
  if (n > 0 && divsufsort(text.data(), sa.data(), n) != 0) return 1;
  stop_clock(clock, &div_s, &div_cpu);

  clock = start_clock();
  std::vector<int32_t> mine(static_cast<size_t>(n) + 1);
  sais::sort(codes{text.data(), n}, n + 1, 257, mine.data());
  stop_clock(clock, &sais_s, &sais_cpu);

  long long differ = mine[0] != n;
  for (int32_t i = 0; i < n; ++i) differ += sa[i] != mine[i + 1];
  std::printf("bytes %d\ndivsufsort_s %.6f\ndivsufsort_cpu_s %.6f\n", n, div_s, div_cpu);
  std::printf("sais_s %.6f\nsais_cpu_s %.6f\ndiffering %lld\n", sais_s, sais_cpu, differ);
  return differ != 0;
}
