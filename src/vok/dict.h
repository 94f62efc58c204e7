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

#include "passes.h"
#include "settings.h"
#include "writer.h"

// Writes text[0..len) with these escapes: backslash as \\, tab as \t, CR as
// \r, LF as \n, and every other byte below 32 or from 127 up as \xHH (two
// lowercase hexadecimal digits).  Other bytes stand for themselves.
void dict_escape(vok_writer* out, const char* text, int32_t len);

// Writes the dictionary of the corpus, as a vok_output_fn.  The path labels
// are built in the input's line buffer; the input is not read again.
int write_dictionary(const vok_settings& settings, const vok_corpus& corpus,
                     vok_input* input, vok_writer* out, const char* out_path);

#endif  // VOK_VOK_DICT_H
