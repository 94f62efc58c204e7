// The run of vok, vok-dict and vok-apply, in a straight line: open the
// files, build the corpus (first pass, counts, selection), write the product
// (the bags of features, the dictionary, or the bags of other documents),
// close the output.
#ifndef VOK_VOK_RUN_H
#define VOK_VOK_RUN_H

#include "settings.h"

// Runs on the two files and returns the exit status: 0 on success, 1 after
// printing one of these to standard output (each followed by a blank line):
//   "Error: failed to open file PATH."                input or output
//   "Error: failed to read file PATH."                input is a directory,
//                                                     cannot be rewound, or
//                                                     a read fails
//   "Error: failed to write file PATH."               a write, flush or close
//                                                     of the output fails
//   "Error: the input and output files are the same."
//   the messages of vok_build_corpus
//   "Error: the input file changed while it was being read."  (VOK_BAGS)
// The output is never created when the input cannot be opened or used, nor
// when it is the input itself; after a failure in the first pass it exists
// and is empty.  Everything the run allocates is given back before it
// returns.
int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path, vok_product product = VOK_BAGS);

// vok-apply: builds the corpus of train_path and selects its features as
// vok_run does, then writes the bags of the documents of docs_path (read
// once from its start; a pipe will do) by the training run's numbers.  The
// same messages, each for the file concerned; "the input and output files
// are the same" when the output is either input; "the input file changed
// while it was being read" when the training file's size or time of change
// moved during the pass.
int vok_apply(const vok_settings& settings, const char* train_path,
              const char* docs_path, const char* out_path);

// The same runs on the wide tree.
namespace vok_wide {
int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path, vok_product product = VOK_BAGS);
int vok_apply(const vok_settings& settings, const char* train_path,
              const char* docs_path, const char* out_path);
}

#endif  // VOK_VOK_RUN_H
