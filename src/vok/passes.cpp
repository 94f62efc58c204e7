// The two passes over the input file.
#include "passes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "features.h"
#include "stree.h"
#include "writer.h"

namespace {

// What a run allocates.  Nothing of it is freed while the run goes on; it is
// kept here, reachable, until the next run in the same process releases it
// (a process normally makes one run and ends).
struct run_memory {
  suffix_tree* tree = nullptr;
  uint32_t* freq = nullptr;
  unsigned char* selected = nullptr;
  char* line = nullptr;
  vok_writer* writer = nullptr;
  uint32_t* loci = nullptr;
  size_t* first = nullptr;
  vok_output_index index;
};

run_memory last_run;

void release_last_run() {
  if (last_run.tree) stree_delete_tree(last_run.tree);
  std::free(last_run.freq);
  std::free(last_run.selected);
  std::free(last_run.line);
  std::free(last_run.loci);
  std::free(last_run.first);
  delete last_run.writer;
  last_run = run_memory();
}

// ---- messages: each prints and returns the exit status 1 ----------------

int open_failed(const char* path) {
  std::printf("Error: failed to open file %s.\n\n", path);
  return 1;
}
int read_failed(const char* path) {
  std::printf("Error: failed to read file %s.\n\n", path);
  return 1;
}
int write_failed(const char* path) {
  std::printf("Error: failed to write file %s.\n\n", path);
  return 1;
}
int out_of_memory() {
  std::printf("Error: the program ran out of memory.\n\n");
  return 1;
}
int input_changed() {
  std::printf("Error: the input file changed while it was being read.\n\n");
  return 1;
}

// Refuses an input that cannot be read twice (a directory, a pipe, a FIFO, a
// terminal), and an output that names the input file itself, which opening
// the output would empty.  Runs before the output is opened.
int check_files(FILE* in, const char* in_path, const char* out_path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::file_status in_status = fs::status(in_path, ec);
  if (ec || fs::is_directory(in_status)) return read_failed(in_path);
  if (std::fseek(in, 0, SEEK_SET) != 0) return read_failed(in_path);
  // Same device and inode, whatever the spelling of the two paths.
  if (fs::is_regular_file(in_status) &&
      fs::equivalent(in_path, out_path, ec)) {
    std::printf("Error: the input and output files are the same.\n\n");
    return 1;
  }
  return 0;
}

// Reads the next piece of the input: a line with its line end, or the next
// VOK_LINE_BUFFER - 1 characters of a longer one.  False at the end of the
// input or on a read error (told apart by ferror).
bool read_piece(FILE* in, char* line) {
  return std::fgets(line, VOK_LINE_BUFFER, in) != nullptr;
}

// Stores every document in the tree, numbered from 0; sets *num_docs.
int first_pass(suffix_tree* tree, FILE* in, const char* in_path, char* line,
               uint32_t* num_docs) {
  uint32_t n = 0;
  while (read_piece(in, line)) {
    if (n == VOK_MAX_DOCS) {
      std::printf(
          "Error: the program can only process at most %u documents.\n\n",
          VOK_MAX_DOCS);
      return 1;
    }
    // trim_line_end stops at the first NUL: the document ends there.
    int32_t len = trim_line_end(line);
    if (!stree_add_string(tree, line, len, static_cast<int32_t>(n))) {
      std::printf("Error: failed to add the doc (id=%u)", n);
      std::printf("       becuse the program ran out of memory.\n");
      std::printf("\n");
      return 1;
    }
    ++n;
  }
  if (std::ferror(in)) return read_failed(in_path);
  *num_docs = n;
  return 0;
}

// Builds the tree, counts and selects the features, and hands the corpus
// to the output.
int run_passes(const vok_settings& settings, FILE* in, const char* in_path,
               vok_writer* out, const char* out_path, vok_output_fn output,
               bool with_index) {
  run_memory& m = last_run;
  m.line = static_cast<char*>(std::malloc(VOK_LINE_BUFFER));
  m.tree = stree_new_tree(128, 1);
  if (!m.line || !m.tree) return out_of_memory();

  vok_corpus corpus;
  corpus.tree = m.tree;
  int status = first_pass(m.tree, in, in_path, m.line, &corpus.num_docs);
  stree_index_release();  // no more lookups: its memory goes to the counts
  if (status != 0) return status;

  size_t n = static_cast<size_t>(m.tree->num_nodes);
  m.freq = static_cast<uint32_t*>(std::calloc(n, sizeof(uint32_t)));
  m.selected = static_cast<unsigned char*>(std::malloc(n));
  if (!m.freq || !m.selected) return out_of_memory();
  std::memset(m.selected, 1, n);
  corpus.freq = m.freq;
  corpus.selected = m.selected;
  if (!with_index) {
    count_occurrences(m.tree, m.tree->root, m.freq);
    select_features(m.tree, m.tree->root, settings, m.freq, m.selected);
  } else {
    // The counting walk also records where every suffix ends, and the
    // selection walk turns each count, once judged, into the record's
    // nearest selected ancestor.
    m.first = static_cast<size_t*>(
        std::malloc(STREE_MAX_STRINGS * sizeof(size_t)));
    if (!m.first) return out_of_memory();
    size_t loci = output_index_size(m.tree, m.first);
    m.loci = static_cast<uint32_t*>(
        std::malloc((loci > 0 ? loci : 1) * sizeof(uint32_t)));
    if (!m.loci) return out_of_memory();
    m.index.above = m.freq;
    m.index.loci = m.loci;
    m.index.first = m.first;
    if (!count_and_select(m.tree, settings, m.freq, m.selected, m.index))
      return out_of_memory();
    corpus.index = &m.index;
  }

  vok_input input;
  input.file = in;
  input.path = in_path;
  input.line = m.line;
  return output(settings, corpus, &input, out, out_path);
}

// Writes out what is buffered and closes the output; 0 only when every byte
// reached the file.
int close_output(vok_writer* out, const char* out_path) {
  bool ok = vok_writer_flush(out);
  ok = std::fflush(out->file) == 0 && ok;
  ok = std::fclose(out->file) == 0 && ok;
  out->file = nullptr;
  return ok ? 0 : write_failed(out_path);
}

}  // namespace

int32_t trim_line_end(char* text) {
  size_t len = std::strlen(text);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
    text[--len] = '\0';
  return static_cast<int32_t>(len);
}

// The input must read exactly as it did in the first pass.
int write_voks(const vok_settings& settings, const vok_corpus& corpus,
               vok_input* input, vok_writer* out, const char* out_path) {
  FILE* in = input->file;
  char* line = input->line;
  if (std::fseek(in, 0, SEEK_SET) != 0) return read_failed(input->path);
  std::clearerr(in);
  uint32_t n = 0;
  while (read_piece(in, line)) {
    if (n == corpus.num_docs) return input_changed();
    int32_t len = trim_line_end(line);
    if (!write_features(corpus.tree, static_cast<int32_t>(n), line, len,
                        settings, corpus.selected, *corpus.index, out))
      return input_changed();
    vok_writer_put(out, '\n');
    if (out->failed) return write_failed(out_path);
    ++n;
  }
  if (std::ferror(in)) return read_failed(input->path);
  if (n != corpus.num_docs) return input_changed();
  return 0;
}

int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path) {
  return vok_run_with(settings, in_path, out_path, write_voks, true);
}

int vok_run_with(const vok_settings& settings, const char* in_path,
                 const char* out_path, vok_output_fn output,
                 bool with_index) {
  release_last_run();
  FILE* in = std::fopen(in_path, "r");
  if (!in) return open_failed(in_path);
  int status = check_files(in, in_path, out_path);
  if (status != 0) {
    std::fclose(in);
    return status;
  }
  last_run.writer = new (std::nothrow) vok_writer;
  if (!last_run.writer) {
    std::fclose(in);
    return out_of_memory();
  }
  FILE* out = std::fopen(out_path, "w");
  if (!out) {
    std::fclose(in);
    return open_failed(out_path);
  }
  vok_writer* writer = last_run.writer;
  writer->file = out;
  status = run_passes(settings, in, in_path, writer, out_path, output, with_index);
  std::fclose(in);
  if (status != 0) {
    std::fclose(out);
    return status;
  }
  return close_output(writer, out_path);
}
