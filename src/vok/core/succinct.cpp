// Building packed integers and bit vectors with their directories.
#include "succinct.h"


void vok_bits_builder::finish() {
  words.resize(vok_bits_words(nbits), 0);
  ones_before.assign(words.size(), 0);
  zero_samples.clear();
  one_samples.clear();
  uint64_t ones_so_far = 0, zeros_so_far = 0;
  for (size_t w = 0; w < words.size(); ++w) {
    ones_before[w] = static_cast<uint32_t>(ones_so_far);
    const uint64_t valid = w * 64 >= nbits ? 0 : nbits - w * 64;
    const uint64_t mask = valid >= 64 ? ~uint64_t{0} : (uint64_t{1} << valid) - 1;
    const uint64_t in = static_cast<uint64_t>(int_stree_popcount(words[w] & mask));
    const uint64_t out = (valid >= 64 ? 64 : valid) - in;
    // Every sampled zero and one that falls in this word.
    while (zero_samples.size() * VOK_SELECT_SAMPLE < zeros_so_far + out)
      zero_samples.push_back(static_cast<uint32_t>(w));
    while (one_samples.size() * VOK_SELECT_SAMPLE < ones_so_far + in)
      one_samples.push_back(static_cast<uint32_t>(w));
    ones_so_far += in;
    zeros_so_far += out;
  }
  ones = ones_so_far;
  zeros = zeros_so_far;
  zero_samples.push_back(static_cast<uint32_t>(words.size() - 1));
  one_samples.push_back(static_cast<uint32_t>(words.size() - 1));
}

vok_bits_view vok_bits_builder::view() const {
  vok_bits_view v;
  v.words = words.data();
  v.nbits = nbits;
  v.ones_before = ones_before.data();
  v.zero_samples = zero_samples.data();
  v.one_samples = one_samples.data();
  v.zeros = zeros;
  v.ones = ones;
  return v;
}
