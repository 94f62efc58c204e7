// The run: files, corpus, product.
#include "run.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

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

// Builds the corpus and writes the product into an open output.
int build_and_write(const vok_settings& settings, vok_reader* reader,
                    const char* in_path, vok_writer* out,
                    const char* out_path, vok_product product) {
  vok_corpus corpus;
  int status = vok_build_corpus(settings, reader, in_path, product, &corpus);
  if (status != 0) return status;
  if (product == VOK_DICTIONARY) {
    write_dictionary(corpus, reader->piece, out);  // every document fits it
    return 0;
  }
  return write_voks(settings, corpus, reader, in_path, out, out_path);
}

struct file_closer {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int vok_run(const vok_settings& settings, const char* in_path,
            const char* out_path, vok_product product) {
  std::unique_ptr<FILE, file_closer> in(std::fopen(in_path, "r"));
  if (!in) return vok_open_failed(in_path);
  int status = check_files(in.get(), in_path, out_path);
  if (status != 0) return status;
  vok_reader reader;
  vok_progress progress;
  vok_progress_start(&progress, settings.wide);
  reader.progress = &progress;
  struct ender {
    vok_progress* p;
    ~ender() { vok_progress_end(p); }
  } end_progress{&progress};
  std::unique_ptr<vok_writer> out(new (std::nothrow) vok_writer);
  if (!out || !vok_reader_open(&reader, in.get())) return vok_out_of_memory();
  out->file = std::fopen(out_path, "w");
  if (!out->file) return vok_open_failed(out_path);
  status = build_and_write(settings, &reader, in_path, out.get(), out_path,
                           product);
  if (status != 0) {
    std::fclose(out->file);
    return status;
  }
  return close_output(out.get(), out_path);
}

VOK_NS_END
