// libFuzzer target for the suffix tree: each input is a short history of one
// tree (tests/history.h), checked against the model after every step.
//
//   byte 0     bits 0..2  letters: 0 raw bytes, k > 0 maps each byte below
//                         0x80 onto k letters (bytes from 0x80 up stay, to
//                         be refused); bit 3 the letters are the extreme
//                         codes 0, 127, 1, 126, ...; bits 4..5 the tree's
//                         alphabet size 128, 128, 100, 64; bit 6 strings
//                         not copied; bit 7 every node indexed
//   then       steps split at '\n': a control byte, then the text (at most
//              64 bytes).  Control: bits 0..1 no failure, or the pool, the
//              index or the node limit failing at request 1 + bits 2..5;
//              bit 6 the text follows a stored one; bit 7 a removal after
#include <cstdio>
#include <cstdlib>

#include "history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int letters = data[0] & 7, sizes[] = {128, 128, 100, 64};
  history::History h(sizes[(data[0] >> 4) & 3], !(data[0] & 0x40),
                     data[0] & 0x80 ? 1 : STREE_INDEX_THRESHOLD);
  std::vector<std::string> made;
  size_t at = 1;
  for (int step = 0; step < 48 && at < size; ++step) {
    size_t end = at;
    while (end < size && data[end] != '\n') ++end;
    const uint8_t control = data[at];
    std::string text = control & 0x40 && !made.empty() ? made[control % made.size()] : "";
    for (size_t i = at + 1; i < end && i < at + 65; ++i) {
      int c = data[i];
      if (letters && c < 0x80) c = c % letters;
      if (letters && c < 0x80) c = data[0] & 8 ? (c % 2 ? 127 - c / 2 : c / 2) : 'a' + c;
      text += static_cast<char>(c);
    }
    at = end + 1;
    made.push_back(text);
    long n = 1 + ((control >> 2) & 15);
    std::string e = history::add(h, text, step % 5, history::Fail(control & 3), n, n);
    if (e.empty() && control & 0x80) e = history::remove(h, (control >> 2) % 5);
    if (!e.empty()) {
      std::fprintf(stderr, "stree_fuzz: step %d: %s\n", step, e.c_str());
      std::abort();
    }
  }
  if (history::finish(h) != "") std::abort();
  return 0;
}
