// What the two suffix-array programs share: reading a corpus whole, and
// the LCP array of its documents.
#ifndef VOK_BENCH_SUFFIX_ARRAY_H
#define VOK_BENCH_SUFFIX_ARRAY_H

#include <cstdint>
#include <cstdio>
#include <vector>

inline bool read_file(const char* path, std::vector<unsigned char>* text) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  unsigned char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
    text->insert(text->end(), buf, buf + got);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// The one argument, a corpus, read whole; on a wrong call or a failed read
// the message is printed and the exit status returned (0 when all is well).
// The suffix arrays are 32-bit, so a larger file is refused too.
inline int read_corpus_arg(int argc, char** argv, std::vector<unsigned char>* text) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS\n", argv[0]);
    return 2;
  }
  if (!read_file(argv[1], text)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  if (text->size() >= 0x7fffffffu) {
    std::fprintf(stderr, "input too large for 32-bit suffix arrays\n");
    return 1;
  }
  return 0;
}

// lcp[r] = common prefix length of the suffixes sa[r-1] and sa[r], not
// counting a line break or anything after one; lcp[0] = 0.  Kasai's bound
// lcp(next) >= lcp - 1 still holds, since a prefix free of line breaks stays
// free of them when its first character is dropped.  rank is the inverse
// of sa.
inline void kasai_lcp(const std::vector<unsigned char>& t, const std::vector<int32_t>& sa,
                      std::vector<int32_t>* rank, std::vector<int32_t>* lcp) {
  const int32_t n = static_cast<int32_t>(t.size());
  rank->assign(n, 0);
  for (int32_t r = 0; r < n; r++) (*rank)[sa[r]] = r;
  lcp->assign(n, 0);
  int32_t h = 0;
  for (int32_t i = 0; i < n; i++) {
    int32_t r = (*rank)[i];
    if (r == 0) {
      h = 0;
      continue;
    }
    int32_t j = sa[r - 1];
    while (i + h < n && j + h < n && t[i + h] == t[j + h] && t[i + h] != '\n') h++;
    (*lcp)[r] = h;
    if (h > 0) h--;
  }
}

#endif  // VOK_BENCH_SUFFIX_ARRAY_H
