// The bags of features: the second pass of vok.
#ifndef VOK_VOK_OUTPUT_H
#define VOK_VOK_OUTPUT_H

#include <cstdint>

#include "corpus.h"
#include "reader.h"
#include "selection.h"
#include "writer.h"
#include "layout.h"

VOK_NS_BEGIN

// Writes the selected records from internal record number v up to the root
// (root excluded), deepest first, each as lowercase hex and a blank.  `sel`
// needs selected, above and internal.
void vok_write_bag_at(const vok_selection& sel, uint32_t v, vok_writer* out);

// Writes the tokens of document `doc` (its string-table slot), whose text
// the caller read again as text[0..len): for every emitting position, the
// selected records from the locus of the suffix starting there up to the
// root (root excluded), deepest first, each as lowercase hex and a blank.
// The emitting positions are those the selection has loci for (all of them
// without `emitting`, vok_mark_emitting).  The caller writes the line end.
// Returns 0 without writing when the text is not that document's stored
// text (the input changed between the passes).  `sel` needs selected, above
// and loci.
int write_features(const suffix_tree* tree, int32_t doc, const char* text,
                   int32_t len, const vok_selection& sel, vok_writer* out);

// The second pass: rewinds the input and writes one line of features per
// document of the corpus (built for VOK_BAGS).  Returns 0, or 1 after
// printing "Error: failed to read file IN_PATH.", "Error: failed to write
// file OUT_PATH." or "Error: the input file changed while it was being
// read."
int write_voks(const vok_corpus& corpus, vok_reader* reader,
               const char* in_path, vok_writer* out, const char* out_path);

VOK_NS_END

#endif  // VOK_VOK_OUTPUT_H
