// The dictionary of vok-dict: what every feature number of a run stands for.
//
// One line per selected node, in ascending number:
//
//     NUMBER \t COUNT \t CHILDREN \t LABEL \n
//
// NUMBER is the node's number in the lowercase hexadecimal that vok writes,
// COUNT its occurrence count and CHILDREN its number of children (both
// decimal), and LABEL its path label, the longest substring of its class,
// with backslash escapes (dict_escape).
#ifndef VOK_VOK_DICT_H
#define VOK_VOK_DICT_H

#include <cstdint>

#include "corpus.h"
#include "writer.h"
#include "layout.h"

VOK_NS_BEGIN

// Writes text[0..len) with these escapes: backslash as \\, tab as \t, CR as
// \r, LF as \n, and every other byte below 32 or from 127 up as \xHH (two
// lowercase hexadecimal digits).  Other bytes stand for themselves.
void dict_escape(vok_writer* out, const char* text, int32_t len);

// Writes the dictionary of the corpus (built for VOK_DICTIONARY).  The path
// labels are built in `label`, which must hold the longest document.
void write_dictionary(const vok_corpus& corpus, char* label, vok_writer* out);

VOK_NS_END

#endif  // VOK_VOK_DICT_H
