// Matching statistics over the fitted tree: for each position of a new
// document, the deepest point of the tree its text reaches.
#include "apply.h"

#include "messages.h"
#include "output.h"

VOK_NS_BEGIN

void write_applied_features(const suffix_tree* tree, const char* text,
                            int32_t len, const vok_settings& settings,
                            const vok_selection& sel, vok_writer* out) {
  vok_match_document(tree, text, len, settings.word_delimited,
                     [&](uint32_t deepest) { vok_write_bag_at(sel, deepest, out); });
}

int write_applied(const vok_settings& settings, const vok_corpus& corpus,
                  vok_reader* docs, const char* docs_path, vok_writer* out,
                  const char* out_path) {
  char* text;
  int32_t len;
  while (vok_read_document(docs, &text, &len)) {
    write_applied_features(corpus.tree, text, len, settings, corpus.sel, out);
    vok_writer_put(out, '\n');
    if (out->failed) return vok_write_failed(out_path);
  }
  if (docs->refused) return vok_out_of_memory();
  if (docs->failed) return vok_read_failed(docs_path);
  return 0;
}

VOK_NS_END
