// The dictionary of vok-dict: what every feature number of a run stands for.
//
// One line per feature, in ascending number:
//
//     NUMBER \t COUNT \t CHILDREN \t LABEL \n
//
// NUMBER is the feature's number in the lowercase hexadecimal that vok
// writes, COUNT its occurrence count and CHILDREN its number of children
// (both decimal), and LABEL its path label, the longest substring of its
// class, with backslash escapes (dict_escape).
#ifndef VOK_CLI_DICT_H
#define VOK_CLI_DICT_H

#include <cstddef>

#include "corpus.h"
#include "writer.h"

// Writes text[0..len) with these escapes: backslash as \\, tab as \t, CR as
// \r, LF as \n, and every other byte below 32 or from 127 up as \xHH (two
// lowercase hexadecimal digits), except the bytes of a complete, well-formed
// UTF-8 sequence of two to four bytes (no overlong form, no surrogate, at
// most U+10FFFF), which stand for themselves like the other bytes.  Only the
// wide tree's labels hold bytes from 128 up.
void dict_escape(vok_writer* out, const char* text, size_t len);

// Writes the dictionary of a corpus selected with VOK_READ_COUNTS.
void write_dictionary(const vok_corpus* corpus, vok_writer* out);

#endif  // VOK_CLI_DICT_H
