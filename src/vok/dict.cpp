// The dictionary: one line per selected node, by a preorder walk of the tree.
#include "dict.h"

VOK_NS_BEGIN

namespace {

const char kHexDigits[] = "0123456789abcdef";

void put_decimal(vok_writer* out, uint32_t n) {
  char tmp[10];
  int k = 0;
  do {
    tmp[k++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (k > 0) vok_writer_put(out, tmp[--k]);
}

struct dict_walk {
  const uint32_t* counts;
  const uint64_t* selected;
  char* label;  // room for the longest path label (a whole document)
  vok_writer* out;
};

// Preorder visits the nodes in ascending number, so the lines come out
// sorted.
void write_entry(suffix_tree* tree, stree_ref record, void* data) {
  auto* walk = static_cast<dict_walk*>(data);
  uint32_t id = stree_node_id(tree, record);
  if (!vok_in_set(walk->selected, id)) return;
  vok_writer* out = walk->out;
  vok_writer_hex(out, id);
  vok_writer_put(out, '\t');
  put_decimal(out, walk->counts[id]);
  vok_writer_put(out, '\t');
  put_decimal(out, static_cast<uint32_t>(int_stree_num_children(tree, record)));
  vok_writer_put(out, '\t');
  int32_t len = stree_get_labellen(tree, record);
  len = stree_get_label(tree, record, walk->label, len);
  dict_escape(out, walk->label, len);
  vok_writer_put(out, '\n');
}

}  // namespace

void dict_escape(vok_writer* out, const char* text, int32_t len) {
  for (int32_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    const char* escape = nullptr;
    switch (c) {
      case '\\': escape = "\\\\"; break;
      case '\t': escape = "\\t"; break;
      case '\r': escape = "\\r"; break;
      case '\n': escape = "\\n"; break;
      default: break;
    }
    if (escape) {
      vok_writer_put(out, escape[0]);
      vok_writer_put(out, escape[1]);
    } else if (c < 32 || c >= 127) {
      vok_writer_put(out, '\\');
      vok_writer_put(out, 'x');
      vok_writer_put(out, kHexDigits[c >> 4]);
      vok_writer_put(out, kHexDigits[c & 0xf]);
    } else {
      vok_writer_put(out, static_cast<char>(c));
    }
  }
}

void write_dictionary(const vok_corpus& corpus, char* label, vok_writer* out) {
  // A path label is a substring of one document.
  dict_walk walk{corpus.sel.counts, corpus.sel.selected, label, out};
  stree_traverse(corpus.tree, write_entry, nullptr, &walk);
}

VOK_NS_END
