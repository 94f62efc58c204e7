// A buffered writer for the output file: tokens are formatted by hand into a
// 64 KiB buffer and written in blocks.  A failed write is remembered and
// reported when the writer is closed, so no error can pass unnoticed.  A
// writer may instead collect its bytes in memory (`into`), for a thread that
// formats its share of the output for another to write.
#ifndef VOK_CLI_WRITER_H
#define VOK_CLI_WRITER_H

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

struct vok_writer {
  FILE* file = nullptr;
  std::string* into = nullptr;  // when set, flushing appends here, not to file
  bool failed = false;
  size_t used = 0;
  char buf[1 << 16];
};

// Writes the buffered bytes out; false once any write has failed (into
// memory: once memory ran out).
inline bool vok_writer_flush(vok_writer* w) {
  if (w->used > 0 && !w->failed) {
    if (w->into) {
      try {
        w->into->append(w->buf, w->used);
      } catch (const std::bad_alloc&) {
        w->failed = true;
      }
    } else if (std::fwrite(w->buf, 1, w->used, w->file) != w->used) {
      w->failed = true;
    }
  }
  w->used = 0;
  return !w->failed;
}

// Writes bytes[0..n) after what is buffered (a writer to a file).
inline void vok_writer_write(vok_writer* w, const char* bytes, size_t n) {
  if (n > sizeof w->buf - w->used) {
    if (vok_writer_flush(w) && n > 0 && std::fwrite(bytes, 1, n, w->file) != n) w->failed = true;
    return;
  }
  std::memcpy(w->buf + w->used, bytes, n);
  w->used += n;
}

inline void vok_writer_put(vok_writer* w, char c) {
  if (w->used == sizeof w->buf) vok_writer_flush(w);
  w->buf[w->used++] = c;
}

// Appends n in lowercase hexadecimal without leading zeros.  The eight
// digits are made at once in one word, most significant first in memory,
// and the leading zeros shifted out: a loop per digit ends at a
// mispredicted branch on many numbers, since their lengths vary.
inline void vok_writer_hex(vok_writer* w, uint32_t n) {
  if (sizeof w->buf - w->used < 16) vok_writer_flush(w);
  const int digits = 8 - __builtin_clz(n | 1) / 4;
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t x = n;  // nibble k to byte k
    x = (x | (x << 16)) & 0x0000ffff0000ffffULL;
    x = (x | (x << 8)) & 0x00ff00ff00ff00ffULL;
    x = (x | (x << 4)) & 0x0f0f0f0f0f0f0f0fULL;
    x = __builtin_bswap64(x);  // the most significant digit first in memory
    const uint64_t letters = ((x + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
    x += 0x3030303030303030ULL + letters * ('a' - '0' - 10);
    x >>= 8 * (8 - digits);
    std::memcpy(w->buf + w->used, &x, sizeof x);
  } else {
    for (int k = digits - 1; k >= 0; --k, n >>= 4)
      w->buf[w->used + k] = "0123456789abcdef"[n & 0xf];
  }
  w->used += digits;
}

// Appends n as vok_writer_hex does, then a blank: one feature of a bag.
inline void vok_writer_hex_token(vok_writer* w, uint32_t n) {
  vok_writer_hex(w, n);
  w->buf[w->used++] = ' ';
}

// A sink for the core's bags (corpus.h) that writes every token as
// vok_writer_hex_token does.
inline void vok_writer_take_tokens(void* data, const uint32_t* tokens, size_t count) {
  auto* w = static_cast<vok_writer*>(data);
  for (size_t k = 0; k < count; ++k) vok_writer_hex_token(w, tokens[k]);
}

#endif  // VOK_CLI_WRITER_H
