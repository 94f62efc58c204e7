// The run: files, corpus, product.
#include "run.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "corpus.h"
#include "dict.h"
#include "fitted_model.h"
#include "messages.h"
#include "output.h"
#include "parts.h"
#include "reader.h"
#include "writer.h"

namespace {

bool is_standard(const char* path) { return std::strcmp(path, "-") == 0; }

// Whether the open file and the file at `path` are one file (same device
// and inode, whatever the spelling of the path or the links on the way).
bool same_file(FILE* f, const char* path) {
  struct stat a, b;
  return fstat(fileno(f), &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool is_directory(FILE* f) {
  struct stat s;
  return fstat(fileno(f), &s) != 0 || S_ISDIR(s.st_mode);
}

bool is_regular(FILE* f) {
  struct stat s;
  return fstat(fileno(f), &s) == 0 && S_ISREG(s.st_mode);
}

struct file_closer {
  void operator()(FILE* f) const {
    if (f != stdin && f != stdout) std::fclose(f);
  }
};
typedef std::unique_ptr<FILE, file_closer> file_ptr;

FILE* open_input(const char* path) {
  return is_standard(path) ? stdin : std::fopen(path, "r");
}

// The training file's size and time of last change, to tell whether it
// changed while the one pass of vok-apply read it.
struct file_stamp {
  off_t size = 0;
  time_t seconds = 0;
  long nanoseconds = 0;
  bool operator==(const file_stamp&) const = default;
};
file_stamp stamp_of(const char* path) {
  struct stat st;
  if (is_standard(path) || stat(path, &st) != 0) return file_stamp{};
  return file_stamp{st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// Everything a run holds; the members go in the reverse order of their
// declaration, the progress line last.
struct run {
  vok_settings settings;  // a model's, when vok-apply is given one
  vok_product product;
  const char* in_path;
  const char* docs_path;  // vok-apply's documents; null for the others
  const char* out_path;
  const vok_watch* watch;
  FILE* said;  // where the messages go
  vok_progress progress;
  struct ender {
    vok_progress* p;
    ~ender() { vok_progress_end(p); }
  } end_progress{&progress};
  file_ptr in{}, docs{};
  vok_reader reader{}, docs_reader{};
  vok_output output{};
  std::unique_ptr<vok_writer> out{};
  struct corpus_deleter {
    void operator()(vok_corpus* c) const { vok_corpus_delete(c); }
  };
  std::unique_ptr<vok_corpus, corpus_deleter> corpus{};
  struct model_deleter {
    void operator()(vok_model* m) const { vok_model_delete(m); }
  };
  std::unique_ptr<vok_model, model_deleter> model{};  // vok-apply's, given one
  std::string pending_head{};  // bytes of standard input read to look for a model
  int threads = 1;             // the parts a batch of bags is split into
};

// Refuses an input that is a directory, a named input that cannot be read
// twice (a pipe, a FIFO, a terminal), and an output that names the input
// file itself, which opening the output would empty.  Runs before the
// output is opened.
int check_input(run& r) {
  if (is_directory(r.in.get())) return vok_read_failed(r.said, r.in_path);
  if (!is_standard(r.in_path) && std::fseek(r.in.get(), 0, SEEK_SET) != 0)
    return vok_read_failed(r.said, r.in_path);
  if (is_regular(r.in.get()) && same_file(r.in.get(), r.out_path)) return vok_same_files(r.said);
  return 0;
}

// The documents to apply the fitted features to are read once, so any
// readable file or pipe will do, but a directory, and the output itself.
int check_docs(run& r) {
  if (is_directory(r.docs.get())) return vok_read_failed(r.said, r.docs_path);
  if (is_regular(r.docs.get()) && same_file(r.docs.get(), r.out_path))
    return vok_same_files(r.said);
  return 0;
}

// ---- a model file in place of the training file (vok-apply) -------------------

// A whole file in memory: mapped when it is a regular file, else read.
struct mapped {
  void* at;
  size_t size;
  bool is_mapped;
};

void release_mapped(void* data) {
  auto* m = static_cast<mapped*>(data);
  if (m->is_mapped) {
    munmap(m->at, m->size);
  } else {
    std::free(m->at);
  }
  delete m;
}

// The rest of `in` after the `head` bytes already read from it; null when
// memory runs out or a read fails (*failed).
mapped* read_whole(FILE* in, const char* head, size_t n, bool* failed) {
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* at = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fileno(in), 0);
    if (at != MAP_FAILED) return new (std::nothrow) mapped{at, static_cast<size_t>(st.st_size), true};
  }
  size_t size = n, room = 1 << 16;
  char* buf = static_cast<char*>(std::malloc(room));
  if (!buf) return nullptr;
  std::memcpy(buf, head, n);
  for (;;) {
    if (size == room) {
      char* bigger = static_cast<char*>(std::realloc(buf, room *= 2));
      if (!bigger) {
        std::free(buf);
        return nullptr;
      }
      buf = bigger;
    }
    const size_t got = std::fread(buf + size, 1, room - size, in);
    size += got;
    if (got == 0) break;
  }
  if (std::ferror(in)) {
    std::free(buf);
    *failed = true;
    return nullptr;
  }
  return new (std::nothrow) mapped{buf, size, false};
}

// "with --NAME=VALUE" for a document-frequency bound, a share written so
// that it reads back as one.
void df_option(char* value, size_t size, const char* name, double bound, bool share) {
  if (!share) {
    std::snprintf(value, size, "with %s=%.0f", name, bound);
    return;
  }
  std::snprintf(value, size, "with %s=%.17g", name, bound);
  if (!std::strpbrk(value + std::strlen(name) + 6, ".e")) std::strncat(value, ".0", size - std::strlen(value) - 1);
}

// The option among `given` whose value differs from the model's, as the
// message names it ("-s 1", "-w", "out -w"), or "".
std::string differing(const vok_settings& model, const vok_settings& asked, const char* given) {
  char value[64] = "";
  for (const char* g = given; *g; ++g) {
    switch (*g) {
      case 's': if (asked.word_delimited != model.word_delimited) std::snprintf(value, sizeof value, "with -s %ld", model.word_delimited); break;
      case 'l': if (asked.min_freq != model.min_freq) std::snprintf(value, sizeof value, "with -l %ld", model.min_freq); break;
      case 'h': if (asked.max_freq != model.max_freq) std::snprintf(value, sizeof value, "with -h %ld", model.max_freq); break;
      case 'b': if (asked.min_branches != model.min_branches) std::snprintf(value, sizeof value, "with -b %ld", model.min_branches); break;
      case 'p': if (!(asked.max_parent_prob == model.max_parent_prob)) std::snprintf(value, sizeof value, "with -p %.17g", model.max_parent_prob); break;
      case 'q': if (!(asked.max_link_prob == model.max_link_prob)) std::snprintf(value, sizeof value, "with -q %.17g", model.max_link_prob); break;
      case 'w': if (asked.wide != model.wide) std::snprintf(value, sizeof value, "without -w"); break;
      case 'm': if (asked.min_df != model.min_df || asked.min_df_share != model.min_df_share) df_option(value, sizeof value, "--min-df", model.min_df, model.min_df_share); break;
      case 'M': if (asked.max_df != model.max_df || asked.max_df_share != model.max_df_share) df_option(value, sizeof value, "--max-df", model.max_df, model.max_df_share); break;
      case 'F': if (asked.max_features != model.max_features) std::snprintf(value, sizeof value, model.max_features ? "with --max-features=%ld" : "without --max-features", model.max_features); break;
      case 'N': if (asked.max_shortest != model.max_shortest) std::snprintf(value, sizeof value, model.max_shortest ? "with --max-shortest=%ld" : "without --max-shortest", model.max_shortest); break;
      case 'u': if (asked.utf8 != model.utf8) std::snprintf(value, sizeof value, "without --utf8"); break;
      case 'L': if (asked.lowercase != model.lowercase) std::snprintf(value, sizeof value, "without --lowercase"); break;
      default: break;
    }
    if (value[0]) return value;
  }
  return "";
}

// When the training file holds a model, loads it and takes its settings:
// 0, or the status of the failure reported.  Otherwise leaves the file to
// be read from its start.
int take_model(run& r, const char* given) {
  char head[8];
  const size_t n = std::fread(head, 1, sizeof head, r.in.get());
  if (!vok_is_model(head, n)) {
    if (is_standard(r.in_path)) {
      r.pending_head.assign(head, n);
    } else if (std::fseek(r.in.get(), 0, SEEK_SET) != 0) {
      return vok_read_failed(r.said, r.in_path);
    }
    return 0;
  }
  bool failed = false;
  mapped* whole = read_whole(r.in.get(), head, n, &failed);
  if (!whole) return failed ? vok_read_failed(r.said, r.in_path) : vok_out_of_memory(r.said);
  const char* why = nullptr;
  r.model.reset(vok_model_adopt(whole->at, whole->size, release_mapped, whole, &why));
  if (!r.model) {
    if (std::strcmp(why, "out of memory") == 0) return vok_out_of_memory(r.said);
    std::fprintf(r.said, "Error: the model file %s is %s.\n\n", r.in_path, why);
    return 1;
  }
  const vok_settings fitted = vok_model_settings(r.model.get());
  // Python's lowercasing of str texts lowers far more than ASCII, and
  // applying such a model to texts lowered otherwise would give other
  // features without a word: refused.
  const std::string differs = fitted.lowercase == vok_settings::LOWER_UNICODE
                                  ? "with Python's Unicode lowercasing, which vok-apply cannot apply"
                                  : differing(fitted, r.settings, given);
  if (!differs.empty()) {
    std::fprintf(r.said, "Error: the model file %s was fitted %s.\n\n", r.in_path, differs.c_str());
    return 1;
  }
  const long threads = r.settings.threads;  // the command line's, never the model's
  r.settings = fitted;
  r.settings.threads = threads;
  return 0;
}

// Tells the watcher, if any, which phase the run is in.
void watch(const run& r, const char* phase) {
  if (r.watch) r.watch->phase(r.watch->data, phase);
}

// Tells the progress line how far the core's work has got.
bool note_work(void* data, const char* phase, uint64_t done, uint64_t total) {
  run& r = *static_cast<run*>(data);
  watch(r, phase);
  vok_progress_work(&r.progress, phase, done, total);
  return true;
}

// Stores every document of the input in the corpus, numbered from 0.
int first_pass(run& r) {
  vok_corpus* corpus = r.corpus.get();
  char* text;
  int32_t len;
  while (vok_read_document(&r.reader, &text, &len)) {
    watch(r, "reading");
    switch (vok_corpus_append(corpus, text, static_cast<size_t>(len))) {
      case VOK_OK: break;
      case VOK_TOO_MANY_DOCS:
        return vok_too_many_docs(r.said, vok_layout_limits(r.settings.wide).max_docs);
      default: return vok_add_failed(r.said, vok_corpus_num_docs(corpus));
    }
  }
  if (r.reader.refused) return vok_add_failed(r.said, vok_corpus_num_docs(corpus));
  if (r.reader.failed) return vok_read_failed(r.said, r.in_path);
  // The corpus holds the documents now; the pass that checks them again
  // reads long lines in pieces.
  if (!vok_reader_shrink(&r.reader)) return vok_out_of_memory(r.said);
  return 0;
}

// The tree of the stored documents and its features, for what the product
// reads.
int build_and_select(run& r) {
  vok_corpus* corpus = r.corpus.get();
  const vok_hook hook{note_work, &r};
  vok_status status = vok_corpus_build(corpus, &hook);
  if (status == VOK_REFUSED) return vok_add_failed(r.said, vok_corpus_failed_doc(corpus));
  if (status != VOK_OK) return vok_out_of_memory(r.said);
  const unsigned reads = r.product == VOK_BAGS         ? VOK_READ_BAGS | VOK_READ_BAGS_ONLY
                         : r.product == VOK_FITTED     ? VOK_READ_MODEL
                         : r.product == VOK_DICTIONARY ? VOK_READ_COUNTS
                                                       : VOK_READ_APPLIED;
  if (vok_corpus_select(corpus, reads, &hook) != VOK_OK) return vok_out_of_memory(r.said);
  return 0;
}

vok_sink writer_sink(vok_writer* out) { return vok_sink{vok_writer_take_tokens, out, false}; }

// ---- the bags, a batch of documents at a time ----------------------------------
// The documents are taken in batches of at most kBatchBytes of text (or one
// longer document) and kBatchDocs documents, so that the formatted bags of
// two batches are all the output held at once (the bags run to several
// times the text: 7 times on 5 MB of prose with -s 1).  A batch is split
// into one contiguous run of documents per thread; each thread formats its
// run into a piece of memory of its own, while one more thread writes the
// pieces of the batch before in document order and reads the input of the
// next (the writing alone took as long as a thread's formatting).  With one
// thread the bags go straight to the output.
constexpr size_t kBatchBytes = size_t{1} << 17;
constexpr size_t kBatchDocs = size_t{1} << 12;

// One thread's share of a batch: its formatted bags.
struct bag_piece {
  std::string text;
  vok_writer writer;
  bool failed = false;  // no memory for its bags
};

// What the threads format into: one piece per thread for each of two
// batches, by turns (the one formatted, the one written), and with a model
// one work per thread, whose cache of transitions lasts from batch to batch.
struct bag_pieces {
  std::vector<bag_piece> turn[2];
  std::vector<std::unique_ptr<vok_model_work, void (*)(vok_model_work*)>> works;
  vok_model_work* work(int k) const {
    return works.empty() ? nullptr : works[static_cast<size_t>(k)].get();
  }
};

// The documents of a batch read from docs_path, copied end to end.
struct doc_batch {
  std::string text;
  std::vector<size_t> ends;  // where each document's text ends in `text`
  void clear() {
    text.clear();
    ends.clear();
  }
  size_t count() const { return ends.size(); }
  size_t start(size_t k) const { return k ? ends[k - 1] : 0; }
};

// Formats the bags of items [from, to) into `out`, each ended by a newline:
// bag(item, work, sink) gives an item's tokens, false when memory ran out.
template <typename F>
void format_bags(size_t from, size_t to, vok_writer* out, vok_model_work* work, bool* failed,
                 F& bag) {
  const vok_sink sink = writer_sink(out);
  for (size_t k = from; k < to && !*failed; ++k) {
    if (!bag(k, work, sink)) *failed = true;
    vok_writer_put(out, '\n');
  }
}

// Formats the bags of items [0, count) of a batch.  With one thread,
// `beside` runs first and the bags then go straight to the output.  With
// more, each thread formats a contiguous run of the items into its piece
// while `beside` runs on a thread of its own (write_pieces then writes the
// pieces); *parts gets the pieces used.  False when memory ran out.
template <typename F, typename G>
bool format_batch(run& r, bag_pieces& all, int turn, size_t count, F&& bag, G&& beside,
                  int* parts) {
  std::vector<bag_piece>& pieces = all.turn[turn];
  if (pieces.size() <= 1) {
    *parts = 0;
    beside();
    bool failed = false;
    format_bags(0, count, r.out.get(), all.work(0), &failed, bag);
    return !failed;
  }
  const int used = static_cast<int>(std::min<size_t>(pieces.size(), count));
  const auto n = static_cast<int64_t>(count);
  stree_run_parts(used + 1, [&](int k) {
    if (k == used) return beside();
    bag_piece& p = pieces[static_cast<size_t>(k)];
    p.text.clear();
    p.writer.into = &p.text;
    format_bags(static_cast<size_t>(stree_part_start(n, used, k)),
                static_cast<size_t>(stree_part_start(n, used, k + 1)), &p.writer,
                all.work(k), &p.failed, bag);
    p.failed |= !vok_writer_flush(&p.writer);
  });
  *parts = used;
  for (int k = 0; k < used; ++k)
    if (pieces[static_cast<size_t>(k)].failed) return false;
  return true;
}

// Writes the first `parts` pieces in order.
void write_pieces(run& r, const std::vector<bag_piece>& pieces, int parts) {
  for (int k = 0; k < parts; ++k) {
    const bag_piece& p = pieces[static_cast<size_t>(k)];
    vok_writer_write(r.out.get(), p.text.data(), p.text.size());
  }
}

// The pieces of both turns; with `works`, a model work per thread.  False
// when memory runs out.
bool make_pieces(const run& r, bag_pieces* all, bool works) {
  const auto threads = static_cast<size_t>(r.threads);
  try {
    all->turn[0].resize(threads);
    all->turn[1].resize(threads);
    if (works)
      for (size_t k = 0; k < threads; ++k) {
        all->works.emplace_back(vok_model_work_new(), vok_model_work_delete);
        if (!all->works.back()) return false;
      }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Reads stored document n again from a named input, which must read as it
// did the first time (standard input was read once): 0 with *more when it
// is next, 0 without when the documents and the input ended together, else
// the status of the failure reported.
int next_stored(run& r, uint64_t n, bool* more) {
  const uint64_t docs = vok_corpus_num_docs(r.corpus.get());
  const char* stored = nullptr;
  size_t stored_len = 0;
  if (n < docs) vok_corpus_document(r.corpus.get(), n, &stored, &stored_len);
  *more = n < docs;
  if (is_standard(r.in_path)) {
    if (*more) vok_progress_note(&r.progress, "writing", 1, stored_len + 1);
    return 0;
  }
  bool read = false, same = false;
  if (r.reader.whole_lines) {  // a long line is not held again
    const vok_match m = vok_reader_match(&r.reader, stored, stored_len);
    read = m != VOK_MATCH_END;
    same = m == VOK_MATCH_SAME;
  } else {
    char* text;
    int32_t len;
    read = vok_read_document(&r.reader, &text, &len);
    same = read && static_cast<size_t>(len) == stored_len && std::memcmp(text, stored, stored_len) == 0;
  }
  if (!read) {
    if (r.reader.failed) return vok_read_failed(r.said, r.in_path);
    return *more ? vok_input_changed(r.said) : 0;
  }
  if (!*more || !same) return vok_input_changed(r.said);
  return 0;
}

// The end of the batch of stored documents that starts at `first`.
uint64_t batch_end(const vok_corpus* corpus, uint64_t first) {
  const uint64_t docs = vok_corpus_num_docs(corpus);
  uint64_t n = first;
  for (size_t bytes = 0; n < docs && bytes < kBatchBytes && n - first < kBatchDocs; ++n) {
    const char* text;
    size_t len;
    vok_corpus_document(corpus, n, &text, &len);
    bytes += len + 1;
  }
  return n;
}

// Reads stored documents [first, end) again, and past the last one the
// input's end; the status of the first failure, else 0.
int check_stored(run& r, uint64_t first, uint64_t end) {
  const bool last = end == vok_corpus_num_docs(r.corpus.get());
  for (uint64_t n = first; n < end + (last ? 1 : 0); ++n) {
    bool more = true;
    const int status = next_stored(r, n, &more);
    if (status != 0) return status;
    if (more) watch(r, "writing");
  }
  return 0;
}

// The bags of the stored documents.  A named input is read again and must
// read exactly as it did the first time; standard input was read once.  On
// threads, the reading again of one batch and the writing of the one before
// it run beside the formatting of its bags.
int write_voks(run& r) {
  const vok_corpus* corpus = r.corpus.get();
  bag_pieces pieces;
  if (!make_pieces(r, &pieces, false)) return vok_out_of_memory(r.said);
  if (!is_standard(r.in_path) && !vok_reader_rewind(&r.reader))
    return vok_read_failed(r.said, r.in_path);
  uint64_t first = 0;  // the batch's first document
  auto bag = [corpus, &first](size_t k, vok_model_work*, const vok_sink& sink) {
    vok_corpus_bag(corpus, first + k, sink);
    return true;
  };
  int held = 0;  // pieces of the batch before, formatted and not yet written
  for (int turn = 0;; turn ^= 1) {
    const uint64_t end = batch_end(corpus, first);
    const bool last = end == vok_corpus_num_docs(corpus);
    int status = 0;
    auto beside = [&] {
      write_pieces(r, pieces.turn[turn ^ 1], held);
      status = check_stored(r, first, end);
    };
    if (!format_batch(r, pieces, turn, end - first, bag, beside, &held))
      return vok_out_of_memory(r.said);
    if (status != 0) return status;
    if (last) write_pieces(r, pieces.turn[turn], held);
    if (r.out->failed) return vok_write_failed(r.said, r.out_path);
    if (last) return 0;
    first = end;
  }
}

// Reads the next batch of documents of docs_path into *b; false at the end
// or when memory ran out (*no_memory).
bool read_applied(run& r, doc_batch* b, bool* no_memory) {
  b->clear();
  char* text;
  int32_t len;
  try {
    while (b->text.size() < kBatchBytes && b->count() < kBatchDocs &&
           vok_read_document(&r.docs_reader, &text, &len)) {
      watch(r, "applying");
      b->text.append(text, static_cast<size_t>(len));
      b->ends.push_back(b->text.size());
    }
  } catch (const std::bad_alloc&) {
    *no_memory = true;
    return false;
  }
  return b->count() > 0;
}

// The bags of the documents of docs_path, read once.  The next batch is
// read, and on threads the batch before written, beside the formatting of
// the bags of one.
int write_applied(run& r) {
  bag_pieces pieces;
  if (!make_pieces(r, &pieces, r.model != nullptr)) return vok_out_of_memory(r.said);
  doc_batch b[2];  // by turns: the batch formatted, the one read
  int turn = 0;
  bool no_memory = false;
  auto bag = [&r, &b, &turn](size_t k, vok_model_work* work, const vok_sink& sink) {
    const doc_batch& d = b[turn];
    const char* text = d.text.data() + d.start(k);
    const size_t len = d.ends[k] - d.start(k);
    if (r.model) return vok_model_apply(r.model.get(), work, text, len, sink);
    vok_corpus_apply(r.corpus.get(), text, len, sink);
    return true;
  };
  int held = 0;  // pieces of the batch before, formatted and not yet written
  for (bool more = read_applied(r, &b[0], &no_memory); more; turn ^= 1) {
    auto beside = [&] {
      write_pieces(r, pieces.turn[turn ^ 1], held);
      more = read_applied(r, &b[turn ^ 1], &no_memory);
    };
    if (!format_batch(r, pieces, turn, b[turn].count(), bag, beside, &held))
      return vok_out_of_memory(r.said);
    if (!more) write_pieces(r, pieces.turn[turn], held);
    if (r.out->failed) return vok_write_failed(r.said, r.out_path);
  }
  if (no_memory || r.docs_reader.refused) return vok_out_of_memory(r.said);
  if (r.docs_reader.failed) return vok_read_failed(r.said, r.docs_path);
  return 0;
}

// The fitted model of the corpus, as the output's bytes.
int write_model(run& r) {
  watch(r, "writing");
  vok_model* model = nullptr;
  if (vok_corpus_model(r.corpus.get(), &model) != VOK_OK) return vok_out_of_memory(r.said);
  size_t size;
  const char* bytes = static_cast<const char*>(vok_model_bytes(model, &size));
  vok_writer* out = r.out.get();
  for (size_t k = 0; k < size && !out->failed; ++k) vok_writer_put(out, bytes[k]);
  vok_model_delete(model);
  return out->failed ? vok_write_failed(r.said, r.out_path) : 0;
}

// Builds the corpus and writes the product into the open output.
int build_and_write(run& r) {
  if (r.model) return write_applied(r);
  const file_stamp before = stamp_of(r.in_path);
  int status = first_pass(r);
  if (status == 0) status = build_and_select(r);
  if (status != 0) return status;
  switch (r.product) {
    case VOK_FITTED:
      return write_model(r);
    case VOK_DICTIONARY:
      watch(r, "writing");
      write_dictionary(r.corpus.get(), r.out.get());
      return 0;
    case VOK_APPLIED:
      if (!(stamp_of(r.in_path) == before)) return vok_input_changed(r.said);
      return write_applied(r);
    default:
      return write_voks(r);
  }
}

// Writes out what is buffered and puts the output in place; 0 only when
// every byte reached the file.
int close_output(run& r) {
  vok_writer* out = r.out.get();
  const bool flushed = vok_writer_flush(out);
  out->file = nullptr;
  if (!flushed) {
    vok_output_abandon(&r.output);
    return vok_write_failed(r.said, r.out_path);
  }
  return vok_output_commit(&r.output) ? 0 : vok_write_failed(r.said, r.out_path);
}

// Where the messages go: standard error when the output is standard output.
FILE* messages_for(const char* out_path) {
  if (is_standard(out_path) || same_file(stdout, out_path)) return stderr;
  return stdout;
}

// Opens the files (docs_path only for vok-apply), checks them, and runs.
int run_files(const vok_settings& settings, const char* in_path,
              const char* docs_path, const char* out_path, vok_product product,
              const vok_watch* watch, const char* given) {
  run r{settings, product, in_path, docs_path, out_path, watch, messages_for(out_path), {}};
  r.threads = vok_settings_threads(settings);
  r.in.reset(open_input(in_path));
  if (!r.in) return vok_open_failed(r.said, in_path);
  int status = check_input(r);
  if (status == 0 && product == VOK_APPLIED) status = take_model(r, given);
  if (status != 0) return status;
  if (docs_path) {
    r.docs.reset(open_input(docs_path));
    if (!r.docs) return vok_open_failed(r.said, docs_path);
    status = check_docs(r);
    if (status != 0) return status;
  }
  vok_output_catch_signals();
  vok_progress_start(&r.progress, r.settings.wide);
  r.reader.progress = &r.progress;
  r.docs_reader.progress = &r.progress;
  r.docs_reader.phase = "applying";
  r.out.reset(new (std::nothrow) vok_writer);
  if (!r.model) r.corpus.reset(vok_corpus_new(r.settings));
  if (!r.out || (!r.model && !r.corpus) || !vok_reader_open(&r.reader, r.in.get(), r.settings) ||
      (r.docs && !vok_reader_open(&r.docs_reader, r.docs.get(), r.settings)))
    return vok_out_of_memory(r.said);
  if (!r.pending_head.empty())
    vok_reader_unread(&r.reader, r.pending_head.data(), r.pending_head.size());
  if (!vok_output_open(&r.output, out_path)) return vok_open_failed(r.said, out_path);
  r.out->file = r.output.file;
  status = build_and_write(r);
  if (status != 0) {
    vok_output_abandon(&r.output);
    return status;
  }
  return close_output(r);
}

}  // namespace

int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path, vok_product product, const vok_watch* watch) {
  return run_files(settings, in_path, nullptr, out_path, product, watch, "");
}

int vok_apply(const vok_settings& settings, const char* train_path,
              const char* docs_path, const char* out_path, const vok_watch* watch,
              const char* given) {
  return run_files(settings, train_path, docs_path, out_path, VOK_APPLIED, watch, given);
}
