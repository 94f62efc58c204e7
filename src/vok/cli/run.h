// The run of vok, vok-dict and vok-apply, in a straight line: open the
// files, store every document in the corpus (one pass), build its tree and
// select the features, write the product (the bags of features, the
// dictionary, or the bags of other documents), close the output.
#ifndef VOK_CLI_RUN_H
#define VOK_CLI_RUN_H

#include "options.h"
#include "settings.h"

// Runs on the two files and returns the exit status: 0 on success, 1 after
// printing one of these (each followed by a blank line) to standard output,
// or to standard error when the output is standard output:
//   "Error: failed to open file PATH."                input or output
//   "Error: failed to read file PATH."                input is a directory,
//                                                     cannot be rewound, or
//                                                     a read fails
//   "Error: failed to write file PATH."               a write, flush or close
//                                                     of the output fails
//   "Error: the input and output files are the same."
//   "Error: the program can only process at most N documents."
//   "Error: failed to add the doc (id=N)       becuse the program ran out
//    of memory."                                      the tree refuses it
//   "Error: the program ran out of memory."
//   "Error: the input file changed while it was being read."  (VOK_BAGS:
//                                                     the second reading
//                                                     differs from the first)
// A path "-" is standard input or output.  A named input is read twice
// for VOK_BAGS (the second time to check it against the first), standard
// input once.  The output is never created when the input cannot be opened
// or used, nor when it is the input itself; after a failure in the first
// pass it exists and is empty.  Everything the run allocates is given back
// before it returns.
//
// `watch`, when given, hears the name of the phase at every step the
// progress line would (the documents read, written or applied, and the
// core's reports: "sorting", "building", "linking", "inserting",
// "selecting"), so that tests can stop a run at any point.
struct vok_watch {
  void (*phase)(void* data, const char* phase);
  void* data;
};
int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path, vok_product product = VOK_BAGS,
            const vok_watch* watch = nullptr);

// vok-apply: stores and selects the features of train_path as vok_run
// does, then writes the bags of the documents of docs_path (read once from
// its start; a pipe will do) by the training run's numbers.  The same
// messages, each for the file concerned; "the input and output files are
// the same" when the output is either input; "the input file changed while
// it was being read" when the training file's size or time of change moved
// during the pass.
//
// When train_path holds a model that vok-fit wrote (it begins with the
// model's magic), the model's features are applied, by its settings: no
// tree is built.  Then also, each followed by a blank line:
//   "Error: the model file PATH is WHY."   WHY: truncated, damaged
//                                          (checksum), damaged (structure),
//                                          of a later version
//   "Error: the model file PATH was fitted with -X VALUE."  (or "with
//      -w", "without -w") for an option among `given` (the letters of the
//      options on the command line) whose value differs from the model's
int vok_apply(const vok_settings& settings, const char* train_path,
              const char* docs_path, const char* out_path,
              const vok_watch* watch = nullptr, const char* given = "");

#endif  // VOK_CLI_RUN_H
