// Which positions of a document emit features, and where UTF-8 characters
// begin and end.
#ifndef VOK_CORE_EMITTING_H
#define VOK_CORE_EMITTING_H

#include <cstddef>
#include <cstdint>

// The length (2 to 4) of the well-formed UTF-8 character whose lead byte
// is s[0], when the `avail` bytes there (at least 1) are all of it or a
// beginning of it; else 0.  The lead byte gives the length and the range
// of the second byte (which rules out overlong forms, surrogates and code
// points above U+10FFFF); every later byte lies in 80..BF.
inline size_t vok_utf8_lead(const unsigned char* s, size_t avail) {
  const unsigned char c = s[0];
  size_t n = 0;
  unsigned char low = 0x80, high = 0xbf;
  if (c >= 0xc2 && c <= 0xdf) n = 2;
  else if (c >= 0xe0 && c <= 0xef) n = 3;
  else if (c >= 0xf0 && c <= 0xf4) n = 4;
  else return 0;
  if (c == 0xe0) low = 0xa0;         // E0 80..9F: overlong
  else if (c == 0xed) high = 0x9f;   // ED A0..BF: surrogates
  else if (c == 0xf0) low = 0x90;    // F0 80..8F: overlong
  else if (c == 0xf4) high = 0x8f;   // F4 90..BF: above U+10FFFF
  if (avail > 1 && (s[1] < low || s[1] > high)) return 0;
  for (size_t k = 2; k < n && k < avail; ++k)
    if (s[k] < 0x80 || s[k] > 0xbf) return 0;
  return n;
}

// The length of the complete well-formed UTF-8 character of two to four
// bytes at the start of text[0..len), or 0.
inline size_t vok_utf8_sequence(const unsigned char* text, size_t len) {
  const size_t n = vok_utf8_lead(text, len);
  return n <= len ? n : 0;
}

inline bool vok_utf8_continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// Whether byte j of text[0..len) begins a character: every byte does but a
// continuation byte of a complete well-formed character that began 1 to 3
// bytes before.  Bytes that are no UTF-8 (a stray continuation byte, a
// sequence cut short or ill-formed) are characters of their own.
inline bool vok_char_start(const char* text, int64_t len, int64_t j) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  if (!vok_utf8_continuation(s[j])) return true;
  for (int64_t i = j - 1; i >= 0 && i >= j - 3; --i) {
    if (vok_utf8_continuation(s[i])) continue;
    const size_t n = vok_utf8_sequence(s + i, static_cast<size_t>(len - i));
    return !(n > static_cast<size_t>(j - i));
  }
  return true;
}

// Whether position j of text[0..len) emits: with word_delimited, only at
// position 0 and at every character that is no blank or tab and follows
// one; with utf8, only where a character begins; both when both are set.
inline bool vok_emits(const char* text, int64_t len, int64_t j, long word_delimited,
                      bool utf8) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return (word_delimited == 0 || j == 0 || (blank(text[j - 1]) && !blank(text[j]))) &&
         (!utf8 || vok_char_start(text, len, j));
}

// Whether the first k bytes of a label[0..depth) (0 < k <= depth) end at a
// character boundary, the label read as text that begins at a character:
// they do unless a character well-formed as far as the label shows began
// before k and goes on past it.  A character the label's end cuts counts
// as going on, since what follows the label differs from one occurrence
// to the next.
inline bool vok_label_boundary(const unsigned char* label, int64_t depth, int64_t k) {
  if (k < depth && !vok_utf8_continuation(label[k])) return true;
  for (int64_t i = k - 1; i >= 0 && i >= k - 3; --i) {
    if (vok_utf8_continuation(label[i])) continue;
    const size_t n = vok_utf8_lead(label + i, static_cast<size_t>(depth - i));
    return !(n > static_cast<size_t>(k - i));
  }
  return true;
}

// The longest k in [low, depth] whose first k bytes of the label ending at
// label_end end at a character boundary, or 0 when none does (low >= 1).
// Any four lengths in a row hold a boundary, so at most four are tried,
// and no byte before the label's last depth - low + 7 is read.
inline int64_t vok_label_whole(const char* label_end, int64_t depth, int64_t low) {
  const auto* label = reinterpret_cast<const unsigned char*>(label_end) - depth;
  for (int64_t k = depth; k >= low; --k)
    if (vok_label_boundary(label, depth, k)) return k;
  return 0;
}

#endif  // VOK_CORE_EMITTING_H
