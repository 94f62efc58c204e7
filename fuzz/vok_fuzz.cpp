// libFuzzer target for vok, vok-dict, vok-apply and vok-fit (tests/tool.h):
// the input's first line holds the options, split at blanks; the first byte
// after it picks the product (bit 2: vok-fit with its model applied, else
// bit 1: vok-apply, else bit 0: the dictionary), the rest is the file of
// documents (at most 512 bytes, bytes folded below 0x80 unless -w is
// given).  vok-apply and vok-fit fit on its first half and apply to its
// second, whose bytes stay as they are.
#include <cstdio>
#include <cstdlib>

#include "tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t lf = input.find('\n');
  if (lf == std::string::npos || lf + 1 >= size) return 0;
  std::vector<std::string> options;
  for (size_t i = 0; i < lf && options.size() < 16;) {
    size_t j = std::min(input.find(' ', i), lf);
    if (j > i) options.push_back(input.substr(i, j - i));
    i = j + 1;
  }
  std::string bytes = input.substr(lf + 2, 512);
  // Whether the options ask for the wide tree, as the command line reads
  // them ("-s -w" gives -s the value "-w").
  std::vector<std::string> words{"vok"};
  words.insert(words.end(), options.begin(), options.end());
  words.insert(words.end(), {"in", "out"});
  const int pick = input[lf + 1];
  const vok_product product = pick & 4   ? VOK_FITTED
                              : pick & 2 ? VOK_APPLIED
                              : pick & 1 ? VOK_DICTIONARY
                                         : VOK_BAGS;
  const bool two_files = product == VOK_APPLIED || product == VOK_FITTED;
  std::string docs = two_files ? bytes.substr(bytes.size() / 2) : "";
  if (two_files) bytes.resize(bytes.size() / 2);
  if (!tool::parse_words(words).settings.wide)
    for (char& c : bytes) c &= 0x7f;
  std::string e = tool::compare_with_model(bytes, options, product, docs);
  if (!e.empty()) {
    std::fprintf(stderr, "vok_fuzz: %s\n", e.c_str());
    std::abort();
  }
  return 0;
}
