// The run's error messages, each followed by a blank line.
#include "messages.h"

int vok_open_failed(FILE* to, const char* path) {
  std::fprintf(to, "Error: failed to open file %s.\n\n", path);
  return 1;
}
int vok_read_failed(FILE* to, const char* path) {
  std::fprintf(to, "Error: failed to read file %s.\n\n", path);
  return 1;
}
int vok_write_failed(FILE* to, const char* path) {
  std::fprintf(to, "Error: failed to write file %s.\n\n", path);
  return 1;
}
int vok_same_files(FILE* to) {
  std::fprintf(to, "Error: the input and output files are the same.\n\n");
  return 1;
}
int vok_too_many_docs(FILE* to, uint64_t most) {
  std::fprintf(to, "Error: the program can only process at most %llu documents.\n\n",
               static_cast<unsigned long long>(most));
  return 1;
}
int vok_add_failed(FILE* to, uint64_t doc) {
  std::fprintf(to, "Error: failed to add the doc (id=%llu)", static_cast<unsigned long long>(doc));
  std::fprintf(to, "       becuse the program ran out of memory.\n");
  std::fprintf(to, "\n");
  return 1;
}
int vok_out_of_memory(FILE* to) {
  std::fprintf(to, "Error: the program ran out of memory.\n\n");
  return 1;
}
int vok_input_changed(FILE* to) {
  std::fprintf(to, "Error: the input file changed while it was being read.\n\n");
  return 1;
}
