// The run: files, corpus, product.
#include "run.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "apply.h"
#include "dict.h"
#include "messages.h"
#include "output.h"
#include "reader.h"
#include "writer.h"

VOK_NS_BEGIN

namespace {

// Refuses an input that cannot be read twice (a directory, a pipe, a FIFO, a
// terminal), and an output that names the input file itself, which opening
// the output would empty.  Runs before the output is opened.
int check_files(FILE* in, const char* in_path, const char* out_path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::file_status in_status = fs::status(in_path, ec);
  if (ec || fs::is_directory(in_status)) return vok_read_failed(in_path);
  if (std::fseek(in, 0, SEEK_SET) != 0) return vok_read_failed(in_path);
  // Same device and inode, whatever the spelling of the two paths.
  if (fs::is_regular_file(in_status) && fs::equivalent(in_path, out_path, ec))
    return vok_same_files();
  return 0;
}

// Writes out what is buffered and closes the output; 0 only when every byte
// reached the file.
int close_output(vok_writer* out, const char* out_path) {
  bool ok = vok_writer_flush(out);
  ok = std::fflush(out->file) == 0 && ok;
  ok = std::fclose(out->file) == 0 && ok;
  out->file = nullptr;
  return ok ? 0 : vok_write_failed(out_path);
}

// The training file's size and time of last change, to tell whether it
// changed while the one pass of vok-apply read it.
struct file_stamp {
  std::uintmax_t size = 0;
  std::filesystem::file_time_type changed{};
  bool operator==(const file_stamp&) const = default;
};
file_stamp stamp_of(const char* path) {
  std::error_code ec;
  return file_stamp{std::filesystem::file_size(path, ec),
                    std::filesystem::last_write_time(path, ec)};
}

// The documents to apply the fitted features to are read once, so any
// readable file or pipe will do, but a directory, and the output itself.
int check_docs(const char* docs_path, const char* out_path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::file_status status = fs::status(docs_path, ec);
  if (ec || fs::is_directory(status)) return vok_read_failed(docs_path);
  if (fs::is_regular_file(status) && fs::equivalent(docs_path, out_path, ec))
    return vok_same_files();
  return 0;
}

// Builds the corpus and writes the product into an open output.
int build_and_write(const vok_settings& settings, vok_reader* reader,
                    const char* in_path, vok_reader* docs,
                    const char* docs_path, vok_writer* out,
                    const char* out_path, vok_product product) {
  vok_corpus corpus;
  const file_stamp before = stamp_of(in_path);
  int status = vok_build_corpus(settings, reader, in_path, product, &corpus);
  if (status != 0) return status;
  if (product == VOK_DICTIONARY) {
    write_dictionary(corpus, reader->piece, out);  // every document fits it
    return 0;
  }
  if (product == VOK_APPLIED) {
    if (!(stamp_of(in_path) == before)) return vok_input_changed();
    return write_applied(settings, corpus, docs, docs_path, out, out_path);
  }
  return write_voks(corpus, reader, in_path, out, out_path);
}

struct file_closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
typedef std::unique_ptr<FILE, file_closer> file_ptr;

// Opens the files (docs_path only for VOK_APPLIED), checks them, and runs.
int run_files(const vok_settings& settings, const char* in_path,
              const char* docs_path, const char* out_path,
              vok_product product) {
  file_ptr in(std::fopen(in_path, "r"));
  if (!in) return vok_open_failed(in_path);
  int status = check_files(in.get(), in_path, out_path);
  if (status != 0) return status;
  file_ptr docs;
  if (docs_path) {
    docs.reset(std::fopen(docs_path, "r"));
    if (!docs) return vok_open_failed(docs_path);
    status = check_docs(docs_path, out_path);
    if (status != 0) return status;
  }
  vok_reader reader, docs_reader;
  vok_progress progress;
  vok_progress_start(&progress, settings.wide);
  reader.progress = &progress;
  docs_reader.progress = &progress;
  docs_reader.phase = "applying";
  struct ender {
    vok_progress* p;
    ~ender() { vok_progress_end(p); }
  } end_progress{&progress};
  std::unique_ptr<vok_writer> out(new (std::nothrow) vok_writer);
  if (!out || !vok_reader_open(&reader, in.get()) ||
      (docs && !vok_reader_open(&docs_reader, docs.get())))
    return vok_out_of_memory();
  out->file = std::fopen(out_path, "w");
  if (!out->file) return vok_open_failed(out_path);
  status = build_and_write(settings, &reader, in_path, &docs_reader,
                           docs_path, out.get(), out_path, product);
  if (status != 0) {
    std::fclose(out->file);
    return status;
  }
  return close_output(out.get(), out_path);
}

}  // namespace

int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path, vok_product product) {
  return run_files(settings, in_path, nullptr, out_path, product);
}

int vok_apply(const vok_settings& settings, const char* train_path,
              const char* docs_path, const char* out_path) {
  return run_files(settings, train_path, docs_path, out_path, VOK_APPLIED);
}

VOK_NS_END
