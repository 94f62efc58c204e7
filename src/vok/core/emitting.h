// Which positions of a document emit features.
#ifndef VOK_CORE_EMITTING_H
#define VOK_CORE_EMITTING_H

#include <cstdint>

// Whether position j of text emits: always with word_delimited 0, else at
// position 0 and at every character that is no blank or tab and follows one.
inline bool vok_emits(const char* text, int64_t j, long word_delimited) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return word_delimited == 0 || j == 0 || (blank(text[j - 1]) && !blank(text[j]));
}

#endif  // VOK_CORE_EMITTING_H
