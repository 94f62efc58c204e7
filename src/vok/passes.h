// The run of vok: two passes over the input file around one suffix tree.
//
// The first pass stores every line of the input as a document in the tree;
// the features are then counted and selected once; the second pass writes
// one output line of features per input line.  vok-dict runs the same first
// pass and selection and writes its dictionary in place of the second pass.
#ifndef VOK_VOK_PASSES_H
#define VOK_VOK_PASSES_H

#include <cstdint>
#include <cstdio>

#include "features.h"
#include "settings.h"
#include "stree.h"
#include "writer.h"

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

// The finished collection of a run: every document stored in the tree,
// freq[node_id] counted and selected[node_id] set by the selection.  When
// the run was asked for the output index, `index` holds it and freq no
// longer holds counts: its array serves as index->above.
struct vok_corpus {
  suffix_tree* tree = nullptr;
  const vok_output_index* index = nullptr;
  uint32_t* freq = nullptr;
  const unsigned char* selected = nullptr;
  uint32_t num_docs = 0;  // documents stored, numbered 0..num_docs-1
};

// The input file after the first pass (read to its end) and the line
// buffer of VOK_LINE_BUFFER bytes, which the output may reuse.
struct vok_input {
  FILE* file = nullptr;
  const char* path = nullptr;
  char* line = nullptr;
};

// Writes the output of a run from the finished corpus; returns 0, or 1
// after printing its error message.  A failed write need not be reported
// here: the writer remembers it and the run reports it on closing.
typedef int (*vok_output_fn)(const vok_settings& settings,
                             const vok_corpus& corpus, vok_input* input,
                             vok_writer* out, const char* out_path);

// The run shared by vok and vok-dict.  Opens the input and the output,
// stores every line of the input as a document (first pass), counts and
// selects the features (building the output index too with
// `with_index`), then hands the corpus to `output` and closes the output.
// Returns the exit status: 0 on success, 1 after printing one of the
// messages listed for vok_run.
int vok_run_with(const vok_settings& settings, const char* in_path,
                 const char* out_path, vok_output_fn output,
                 bool with_index = false);

// The second pass of vok, as a vok_output_fn of a run with the output
// index: rewinds the input and writes one line of features per document.
int write_voks(const vok_settings& settings, const vok_corpus& corpus,
               vok_input* input, vok_writer* out, const char* out_path);

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
