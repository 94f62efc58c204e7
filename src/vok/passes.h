// The run of vok: two passes over the input file around one suffix tree.
//
// The first pass stores every line of the input as a document in the tree;
// the features are then counted and selected once; the second pass writes
// one output line of features per input line.
#ifndef VOK_VOK_PASSES_H
#define VOK_VOK_PASSES_H

#include <cstdint>

#include "settings.h"

// Documents a run can hold (the tree's string table).
constexpr uint32_t VOK_MAX_DOCS = 8192;

// Bytes of the line buffer.  One read takes at most VOK_LINE_BUFFER - 1
// characters, line end included, so every document fits the tree's 19-bit
// positions; a longer line arrives as several documents, in both passes
// alike.
constexpr int VOK_LINE_BUFFER = 524288;

// Removes every trailing CR and LF from the NUL-terminated text in place
// (overwriting them with NULs) and returns the remaining length.  Never
// looks before text[0].
int32_t trim_line_end(char* text);

// Runs vok on the two files and returns the exit status: 0 on success, 1
// after printing one of these to standard output:
//   "Error: failed to open file PATH.\n\n"            input or output
//   "Error: failed to read file PATH.\n\n"            input is a directory,
//                                                     cannot be rewound, or
//                                                     a read fails
//   "Error: failed to write file PATH.\n\n"           a write, flush or close
//                                                     of the output fails
//   "Error: the input and output files are the same.\n\n"
//   "Error: the program can only process at most 8192 documents.\n\n"
//   "Error: failed to add the doc (id=N)       becuse the program ran out
//    of memory.\n\n"                                  (one line)
//   "Error: the program ran out of memory.\n\n"
//   "Error: the input file changed while it was being read.\n\n"
// The output is never created when the input cannot be opened or used, nor
// when it is the input itself; after a failure in the first pass it exists
// and is empty.  The tree and the per-node arrays of the last run stay
// allocated until the next run or the end of the process.
int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path);

#endif  // VOK_VOK_PASSES_H
