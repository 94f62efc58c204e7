// Times the phases of a vok run on one corpus through the core's calls, as
// the tool makes them:
//   insert        vok_corpus_build: the tree of every stored document (in
//                 one go, or by insertion when that fails)
//   count_select  vok_corpus_select for the bags of features: counts, the
//                 locus of every suffix, the rules and each node's nearest
//                 selected ancestor
//   output        vok_corpus_bag for every document into the output file
// The documents are read first with the programs' reader and stored with
// vok_corpus_append, so no phase includes reading the input.
// Prints one "key value" pair per line: the wall and CPU seconds of each
// phase, num_nodes, and the number of internal nodes (root included), which
// must equal the count of LCP intervals that sa_lcp finds on the same corpus.
//
// The build's own phases (sorting with the LCP values, building the
// records, linking) are timed by the core's hook, as "phase_s" lines: each
// phase's wall seconds from its first report to the next phase's, and
// "phase_cpu_s" its CPU seconds, every thread's.
//
// Usage: vok_phases [-w] [-s 0|1] [-j N] CORPUS [OUTPUT]   (OUTPUT defaults to /dev/null)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "corpus.h"
#include "phase_clock.h"
#include "reader.h"
#include "writer.h"

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "vok_phases: %s\n", what);
  return 1;
}

// The wall seconds of the build's phases, from the hook's reports.
struct build_phases {
  const char* names[8] = {};
  double seconds[8] = {};
  double cpu_seconds[8] = {};
  int count = 0;
  phase_clock clock = start_clock();

  static bool tick(void* data, const char* phase, uint64_t, uint64_t) {
    auto* p = static_cast<build_phases*>(data);
    if (p->count > 0 && std::strcmp(p->names[p->count - 1], phase) == 0) return true;
    p->lap();
    if (p->count < 8) p->names[p->count++] = phase;
    return true;
  }
  // Ends the current phase.
  void lap() {
    double wall, cpu;
    stop_clock(clock, &wall, &cpu);
    if (count > 0) seconds[count - 1] += wall;
    if (count > 0) cpu_seconds[count - 1] += cpu;
    clock = start_clock();
  }
};

struct corpus_deleter {
  void operator()(vok_corpus* c) const { vok_corpus_delete(c); }
};

}  // namespace

int main(int argc, char** argv) {
  vok_settings settings;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    if (std::strcmp(argv[arg], "-w") == 0) {
      settings.wide = true;
    } else if (std::strcmp(argv[arg], "-s") == 0 && arg + 1 < argc) {
      settings.word_delimited = std::atol(argv[++arg]);
    } else if (std::strcmp(argv[arg], "-j") == 0 && arg + 1 < argc) {
      settings.threads = std::atol(argv[++arg]);
    } else {
      break;
    }
  }
  if (arg >= argc || argc - arg > 2) {
    std::fprintf(stderr, "usage: %s [-w] [-s 0|1] [-j N] CORPUS [OUTPUT]\n", argv[0]);
    return 2;
  }
  const char* in_path = argv[arg];
  const char* out_path = arg + 1 < argc ? argv[arg + 1] : "/dev/null";

  FILE* in = std::fopen(in_path, "r");
  if (!in) return fail("cannot open the corpus");
  std::unique_ptr<vok_corpus, corpus_deleter> corpus(vok_corpus_new(settings));
  vok_reader reader;
  if (!corpus || !vok_reader_open(&reader, in, settings)) return fail("out of memory");
  char* text;
  int32_t len;
  long long bytes = 0;
  while (vok_read_document(&reader, &text, &len)) {
    bytes += len + 1;
    if (vok_corpus_append(corpus.get(), text, static_cast<size_t>(len)) != VOK_OK)
      return fail("the corpus holds a document the tree cannot take");
  }
  if (reader.failed || reader.refused) return fail("cannot read the corpus");
  std::fclose(in);
  const uint64_t docs = vok_corpus_num_docs(corpus.get());

  double insert_s, insert_cpu, count_select_s, count_select_cpu, output_s, output_cpu;
  // The phases' own peaks, and what each starts with, where the system tells them.
  long peak_kb[3] = {-1, -1, -1}, start_kb[3] = {-1, -1, -1};
  bool peaks = reset_peak_rss();
  if (peaks) start_kb[0] = peak_rss_kb();
  phase_clock clock = start_clock();
  build_phases phases;
  const vok_hook hook{build_phases::tick, &phases};
  if (vok_corpus_build(corpus.get(), &hook) != VOK_OK) return fail("the tree cannot be built");
  phases.lap();
  stop_clock(clock, &insert_s, &insert_cpu);
  if (peaks) peak_kb[0] = peak_rss_kb();

  peaks = peaks && reset_peak_rss();
  if (peaks) start_kb[1] = peak_rss_kb();
  clock = start_clock();
  if (vok_corpus_select(corpus.get(), VOK_READ_BAGS | VOK_READ_BAGS_ONLY, nullptr) != VOK_OK)
    return fail("out of memory for the selection");
  stop_clock(clock, &count_select_s, &count_select_cpu);
  if (peaks) peak_kb[1] = peak_rss_kb();

  peaks = peaks && reset_peak_rss();
  if (peaks) start_kb[2] = peak_rss_kb();
  clock = start_clock();
  auto out = std::make_unique<vok_writer>();
  out->file = std::fopen(out_path, "w");
  if (!out->file) return fail("cannot open the output");
  const vok_sink sink{vok_writer_take_tokens, out.get(), false};
  for (uint64_t k = 0; k < docs; ++k) {
    vok_corpus_bag(corpus.get(), k, sink);
    vok_writer_put(out.get(), '\n');
  }
  bool written = vok_writer_flush(out.get());
  written = std::fclose(out->file) == 0 && written;
  stop_clock(clock, &output_s, &output_cpu);
  if (peaks) peak_kb[2] = peak_rss_kb();
  if (!written) return fail("writing the output failed");

  const vok_stats stats = vok_corpus_stats(corpus.get());
  std::printf("documents %llu\n", static_cast<unsigned long long>(docs));
  std::printf("bytes %lld\n", bytes);
  std::printf("num_nodes %llu\n", static_cast<unsigned long long>(stats.records));
  std::printf("internal_nodes %llu\n", static_cast<unsigned long long>(stats.internal));
  std::printf("selected %llu\n", static_cast<unsigned long long>(stats.features));
  std::printf("insert_s %.6f\n", insert_s);
  std::printf("count_select_s %.6f\n", count_select_s);
  std::printf("output_s %.6f\n", output_s);
  std::printf("insert_cpu_s %.6f\n", insert_cpu);
  std::printf("count_select_cpu_s %.6f\n", count_select_cpu);
  std::printf("output_cpu_s %.6f\n", output_cpu);
  for (int k = 0; k < phases.count; ++k)
    std::printf("%s_s %.6f\n%s_cpu_s %.6f\n", phases.names[k], phases.seconds[k], phases.names[k],
                phases.cpu_seconds[k]);
  const char* names[3] = {"insert", "count_select", "output"};
  for (int k = 0; k < 3; ++k)
    std::printf("%s_start_kb %ld\n%s_peak_kb %ld\n", names[k], start_kb[k], names[k], peak_kb[k]);
  return 0;
}
