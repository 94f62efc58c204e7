// Compact read-only structures over arrays of 64-bit words, as a fitted
// model holds them (fitted_model.h): integers packed at a fixed width, and bit
// vectors that count the ones before a position (rank) and find the k-th
// zero or one (select).  A view owns nothing; the words usually lie in the
// model's one block of memory.
//
// Bit i of a vector is bit i % 64 of word i / 64.  A bit vector keeps, for
// every word, the ones before it (ones_before), and for every
// VOK_SELECT_SAMPLE-th zero and one the word that holds it, so that select
// scans a few words at the most.
#ifndef VOK_CORE_SUCCINCT_H
#define VOK_CORE_SUCCINCT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bits.h"

// ---- packed integers ----------------------------------------------------------

struct vok_packed_view {
  const uint64_t* words = nullptr;
  uint32_t width = 0;  // bits per value, 0..32
  uint64_t count = 0;
};

// Words that `count` values of `width` bits take, with one more word so
// that a read never runs past the end.
inline uint64_t vok_packed_words(uint64_t count, uint32_t width) {
  return (count * width + 63) / 64 + 1;
}

// One unaligned load of the eight bytes from the value's first byte holds
// the whole value (a width of at most 32 bits from a bit offset of at most
// 7), and the extra word at the end keeps the load inside the words.  The
// bytes are little-endian, as the file's are.
inline uint32_t vok_packed_get(const vok_packed_view& p, uint64_t i) {
  const uint64_t bit = i * p.width;
  uint64_t v;
  std::memcpy(&v, reinterpret_cast<const unsigned char*>(p.words) + (bit >> 3), sizeof v);
  return static_cast<uint32_t>((v >> (bit & 7)) & ((uint64_t{1} << p.width) - 1));
}

// The values of a packed array in order, each read as vok_packed_get reads
// it without the multiplication.
struct vok_packed_cursor {
  const unsigned char* bytes;
  uint64_t mask;
  uint32_t width;
  uint64_t bit = 0;

  explicit vok_packed_cursor(const vok_packed_view& p)
      : bytes(reinterpret_cast<const unsigned char*>(p.words)),
        mask((uint64_t{1} << p.width) - 1), width(p.width) {}
  uint32_t next() {
    uint64_t v;
    std::memcpy(&v, bytes + (bit >> 3), sizeof v);
    const uint32_t value = static_cast<uint32_t>((v >> (bit & 7)) & mask);
    bit += width;
    return value;
  }
};

// The width that holds every value up to `largest`.
inline uint32_t vok_width_for(uint64_t largest) {
  uint32_t w = 0;
  while (w < 64 && (largest >> w) != 0) ++w;
  return w;
}

// ---- bit vectors ----------------------------------------------------------------

// Every 64th zero and one is sampled: select then scans two words or so.
constexpr uint64_t VOK_SELECT_SAMPLE = 64;

struct vok_bits_view {
  const uint64_t* words = nullptr;
  uint64_t nbits = 0;
  const uint32_t* ones_before = nullptr;   // vok_bits_words(nbits) entries
  const uint32_t* zero_samples = nullptr;  // word of zero k * VOK_SELECT_SAMPLE
  const uint32_t* one_samples = nullptr;   // word of one k * VOK_SELECT_SAMPLE
  uint64_t zeros = 0, ones = 0;
};

inline uint64_t vok_bits_words(uint64_t nbits) { return (nbits + 63) / 64 + 1; }

inline bool vok_bit(const vok_bits_view& v, uint64_t i) {
  return (v.words[i >> 6] >> (i & 63)) & 1u;
}

// Ones in bits [0, pos).
inline uint64_t vok_rank1(const vok_bits_view& v, uint64_t pos) {
  const uint64_t w = pos >> 6;
  const uint64_t below = (uint64_t{1} << (pos & 63)) - 1;
  return v.ones_before[w] + static_cast<uint64_t>(int_stree_popcount(v.words[w] & below));
}

// The position of the set bit of rank r (from 0) within a word, r below
// its count of set bits: the byte that holds it from the bytes' running
// counts (all eight at once), then the bit within the byte.
inline unsigned vok_select_in_word(uint64_t w, unsigned r) {
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  uint64_t s = w - ((w >> 1) & 0x5555555555555555u);
  s = (s & 0x3333333333333333u) + ((s >> 2) & 0x3333333333333333u);
  s = (s + (s >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  const uint64_t running = s * kOnes;  // byte k: the set bits in bytes 0..k
  // Bytes whose running count is at most r lie wholly before the bit.
  const uint64_t at_most = ((kOnes * r | kHigh) - running) & kHigh;
  const unsigned byte = static_cast<unsigned>(int_stree_popcount(at_most));
  const unsigned before = byte == 0 ? 0 : static_cast<unsigned>((running >> (8 * byte - 8)) & 0xff);
  uint64_t bits = (w >> (8 * byte)) & 0xff;
  for (unsigned k = r - before; k > 0; --k) bits &= bits - 1;
  return 8 * byte + static_cast<unsigned>(__builtin_ctzll(bits));
}

// The position of the zero (one) of rank k, k below the count of zeros
// (ones).
inline uint64_t vok_select0(const vok_bits_view& v, uint64_t k) {
  uint64_t w = v.zero_samples[k / VOK_SELECT_SAMPLE];
  while ((w + 1) * 64 - v.ones_before[w + 1] <= k) ++w;  // zeros before word w + 1
  const uint64_t before = w * 64 - v.ones_before[w];
  return w * 64 + vok_select_in_word(~v.words[w], static_cast<unsigned>(k - before));
}
inline uint64_t vok_select1(const vok_bits_view& v, uint64_t k) {
  uint64_t w = v.one_samples[k / VOK_SELECT_SAMPLE];
  while (v.ones_before[w + 1] <= k) ++w;
  return w * 64 + vok_select_in_word(v.words[w], static_cast<unsigned>(k - v.ones_before[w]));
}

// ---- building ---------------------------------------------------------------------

// Values appended at a fixed width.
struct vok_packed_builder {
  uint32_t width = 0;
  uint64_t count = 0;
  std::vector<uint64_t> words;

  explicit vok_packed_builder(uint32_t w = 0) : width(w), words(vok_packed_words(0, w), 0) {}
  void reserve(uint64_t n) { words.reserve(vok_packed_words(n, width)); }
  void push(uint64_t value) {
    const uint64_t bit = count * width;
    const uint64_t need = vok_packed_words(count + 1, width);
    if (need > words.size()) words.resize(need, 0);
    const unsigned off = static_cast<unsigned>(bit & 63);
    words[bit >> 6] |= value << off;
    if (off + width > 64) words[(bit >> 6) + 1] |= value >> (64 - off);
    ++count;
  }
};

// Bits appended one at a time; finish() makes the directories.
struct vok_bits_builder {
  uint64_t nbits = 0;
  std::vector<uint64_t> words;
  std::vector<uint32_t> ones_before, zero_samples, one_samples;
  uint64_t zeros = 0, ones = 0;

  void push(bool bit) {
    if ((nbits & 63) == 0) words.push_back(0);
    words.back() |= uint64_t{bit} << (nbits & 63);
    ++nbits;
  }
  // `count` ones, then a zero, a word at a time.
  void push_run(uint64_t count) {
    while (count > 0) {
      if ((nbits & 63) == 0) words.push_back(0);
      const unsigned at = static_cast<unsigned>(nbits & 63);
      const uint64_t take = count < 64 - at ? count : 64 - at;
      words.back() |= (take == 64 ? ~uint64_t{0} : ((uint64_t{1} << take) - 1)) << at;
      nbits += take;
      count -= take;
    }
    push(false);
  }
  void finish();
  vok_bits_view view() const;
};

#endif  // VOK_CORE_SUCCINCT_H
