// A buffered writer for the output file: tokens are formatted by hand into a
// 64 KiB buffer and written in blocks.  A failed write is remembered and
// reported when the writer is closed, so no error can pass unnoticed.
#ifndef VOK_VOK_WRITER_H
#define VOK_VOK_WRITER_H

#include <cstdint>
#include <cstdio>
#include <cstring>

struct vok_writer {
  FILE* file = nullptr;
  bool failed = false;
  size_t used = 0;
  char buf[1 << 16];
};

// Writes the buffered bytes out; false once any write has failed.
inline bool vok_writer_flush(vok_writer* w) {
  if (w->used > 0 && !w->failed &&
      std::fwrite(w->buf, 1, w->used, w->file) != w->used)
    w->failed = true;
  w->used = 0;
  return !w->failed;
}

inline void vok_writer_put(vok_writer* w, char c) {
  if (w->used == sizeof w->buf) vok_writer_flush(w);
  w->buf[w->used++] = c;
}

// Appends n in lowercase hexadecimal without leading zeros, then a blank.
inline void vok_writer_hex_token(vok_writer* w, uint32_t n) {
  if (sizeof w->buf - w->used < 16) vok_writer_flush(w);
  char tmp[8];
  int k = 0;
  do {
    tmp[k++] = "0123456789abcdef"[n & 0xf];
    n >>= 4;
  } while (n != 0);
  while (k > 0) w->buf[w->used++] = tmp[--k];
  w->buf[w->used++] = ' ';
}

#endif  // VOK_VOK_WRITER_H
