// Times the three phases of a vok run on one corpus, through the same
// library functions the tool calls, without changing the tool itself:
//   insert        stree_new_tree and the tree of every document, built as
//                 vok builds it (int_stree_build_stored, or stree_add_string
//                 for each document when that fails)
//   count_select  the per-node arrays and the output tables, then
//                 select_features (counts, the locus of every suffix, the
//                 flags and each node's nearest selected ancestor), as vok
//                 runs it
//   output        write_features for every document into the output file
// The documents are read into memory first (same line rules as the tool:
// pieces of at most 524,287 characters, trailing CR and LF removed, a NUL
// ends the document), so no phase includes reading the input.
// Prints one "key value" pair per line: the wall and CPU seconds of each
// phase, num_nodes, and the number of internal nodes (root included), which
// must equal the count of LCP intervals that sa_lcp finds on the same corpus.
// With -s 0 also loci_hash, a hash of every suffix's locus in document
// order, which sa_tree computes the same way for the tree it builds.
//
// Usage: vok_phases [-s 0|1] CORPUS [OUTPUT]   (OUTPUT defaults to /dev/null)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "output.h"
#include "phase_clock.h"
#include "settings.h"
#include "stree_internal.h"
#include "writer.h"

namespace {

constexpr int kLineBuffer = 524288;
constexpr size_t kMaxDocuments = 8192;

void count_internal(suffix_tree* tree, stree_ref record, void* data) {
  if (!int_stree_isaleaf(tree, record)) ++*static_cast<long long*>(data);
}

bool read_documents(const char* path, std::vector<std::string>* docs,
                    long long* bytes) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  static char buf[kLineBuffer];
  *bytes = 0;
  while (std::fgets(buf, kLineBuffer, f) != nullptr) {
    size_t len = std::strlen(buf);
    *bytes += static_cast<long long>(len);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) len--;
    docs->emplace_back(buf, len);
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  vok_settings settings;
  int arg = 1;
  if (arg + 1 < argc && std::strcmp(argv[arg], "-s") == 0) {
    settings.word_delimited = std::atol(argv[arg + 1]);
    arg += 2;
  }
  if (arg >= argc || argc - arg > 2) {
    std::fprintf(stderr, "usage: %s [-s 0|1] CORPUS [OUTPUT]\n", argv[0]);
    return 2;
  }
  const char* in_path = argv[arg];
  const char* out_path = arg + 1 < argc ? argv[arg + 1] : "/dev/null";

  std::vector<std::string> docs;
  long long bytes = 0;
  if (!read_documents(in_path, &docs, &bytes)) {
    std::fprintf(stderr, "cannot read %s\n", in_path);
    return 1;
  }
  if (docs.size() > kMaxDocuments) {
    std::fprintf(stderr, "more than %zu documents\n", kMaxDocuments);
    return 1;
  }

  // The tree.
  double insert_s, insert_cpu, count_select_s, count_select_cpu, output_s,
      output_cpu;
  phase_clock clock = start_clock();
  suffix_tree* tree = stree_new_tree(128, 1);
  if (tree == nullptr) {
    std::fprintf(stderr, "cannot create the tree\n");
    return 1;
  }
  // As vok builds it: in one go, and one document at a time when that fails.
  bool in_one_go = true;
  for (size_t i = 0; i < docs.size() && in_one_go; i++)
    in_one_go = int_stree_table_append(tree, docs[i].c_str(),
                                       static_cast<int32_t>(docs[i].size()),
                                       static_cast<int32_t>(i)) >= 0;
  if (!in_one_go || !int_stree_build_stored(tree)) {
    stree_delete_tree(tree);
    tree = stree_new_tree(128, 1);
    if (tree == nullptr) return 1;
    for (size_t i = 0; i < docs.size(); i++) {
      if (!stree_add_string(tree, docs[i].c_str(),
                            static_cast<int32_t>(docs[i].size()),
                            static_cast<int32_t>(i))) {
        std::printf("failed_doc %zu\n", i);
        std::printf("num_nodes %d\n", tree->num_nodes);
        std::fprintf(stderr, "insertion failed at document %zu\n", i);
        return 1;
      }
    }
  }
  stree_index_release(tree);  // as vok does once the tree is built
  stop_clock(clock, &insert_s, &insert_cpu);
  const int32_t num_nodes = tree->num_nodes;

  // Counting and selection.
  clock = start_clock();
  // The arrays vok keeps for its bags of features.
  vok_selection sel;
  sel.selected = static_cast<uint64_t*>(vok_table_alloc(vok_set_words(num_nodes) * 8));
  sel.above = static_cast<uint32_t*>(vok_table_alloc(num_nodes * sizeof(uint32_t)));
  sel.internal = static_cast<uint64_t*>(vok_table_alloc(vok_set_words(num_nodes + 1) * 8));
  sel.internal_before = static_cast<uint32_t*>(vok_table_alloc(vok_set_words(num_nodes + 1) * 4));
  if (vok_selection_needs_counts(settings))
    sel.counts = static_cast<uint32_t*>(vok_table_alloc(num_nodes * sizeof(uint32_t)));
  sel.first =
      static_cast<size_t*>(vok_table_alloc(STREE_MAX_STRINGS * sizeof(size_t)));
  sel.path = static_cast<vok_open_record*>(
      vok_table_alloc(vok_path_room(tree) * sizeof(vok_open_record)));
  if (!sel.selected || !sel.above || !sel.internal || !sel.internal_before || !sel.first || !sel.path ||
      (vok_selection_needs_counts(settings) && !sel.counts)) {
    std::fprintf(stderr, "out of memory for the per-node arrays\n");
    return 1;
  }
  size_t num_loci = vok_loci_size(tree, sel.first);
  if (settings.word_delimited) {  // as vok: places for emitting positions only
    const size_t words = vok_set_words(num_loci + 1);
    sel.emitting = static_cast<uint64_t*>(vok_table_alloc(words * sizeof(uint64_t)));
    sel.before = static_cast<size_t*>(vok_table_alloc(words * sizeof(size_t)));
    if (!sel.emitting || !sel.before) {
      std::fprintf(stderr, "out of memory for the output tables\n");
      return 1;
    }
    num_loci = vok_mark_emitting(tree, sel.first, num_loci, sel.emitting, sel.before);
  }
  sel.loci = static_cast<uint32_t*>(
      vok_table_alloc((num_loci > 0 ? num_loci : 1) * sizeof(uint32_t)));
  if (sel.loci == nullptr) {
    std::fprintf(stderr, "out of memory for the output tables\n");
    return 1;
  }
  select_features(tree, settings, sel);
  stop_clock(clock, &count_select_s, &count_select_cpu);
  long long num_selected = 0, num_internal = 0;
  for (int32_t i = 0; i < num_nodes; i++) num_selected += vok_in_set(sel.selected, i);
  stree_traverse(tree, count_internal, nullptr, &num_internal);

  // Output.
  clock = start_clock();
  static vok_writer out;
  out.file = std::fopen(out_path, "w");
  if (out.file == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", out_path);
    return 1;
  }
  for (size_t i = 0; i < docs.size(); i++) {
    if (!write_features(tree, static_cast<int32_t>(i), docs[i].c_str(),
                        static_cast<int32_t>(docs[i].size()), sel, &out)) {
      std::fprintf(stderr, "document %zu does not match the tree\n", i);
      return 1;
    }
    vok_writer_put(&out, '\n');
  }
  bool written = vok_writer_flush(&out);
  written = std::fclose(out.file) == 0 && written;
  stop_clock(clock, &output_s, &output_cpu);
  if (!written) {
    std::fprintf(stderr, "writing %s failed\n", out_path);
    return 1;
  }

  std::printf("documents %zu\n", docs.size());
  std::printf("bytes %lld\n", bytes);
  std::printf("num_nodes %d\n", num_nodes);
  std::printf("internal_nodes %lld\n", num_internal);
  std::printf("selected %lld\n", num_selected);
  if (!settings.word_delimited) {  // every position has its locus: as sa_tree hashes them
    uint64_t h = 0xcbf29ce484222325u;
    for (size_t i = 0; i < num_loci; ++i) h = (h ^ sel.loci[i]) * 0x100000001b3u;
    std::printf("loci_hash %016llx\n", static_cast<unsigned long long>(h));
  }
  std::printf("insert_s %.6f\n", insert_s);
  std::printf("count_select_s %.6f\n", count_select_s);
  std::printf("output_s %.6f\n", output_s);
  std::printf("insert_cpu_s %.6f\n", insert_cpu);
  std::printf("count_select_cpu_s %.6f\n", count_select_cpu);
  std::printf("output_cpu_s %.6f\n", output_cpu);
  return 0;
}
