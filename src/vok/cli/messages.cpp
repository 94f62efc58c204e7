// The run's error messages, each followed by a blank line.
#include "messages.h"

#include <cstdio>

#include "stree.h"

int vok_open_failed(const char* path) {
  std::printf("Error: failed to open file %s.\n\n", path);
  return 1;
}
int vok_read_failed(const char* path) {
  std::printf("Error: failed to read file %s.\n\n", path);
  return 1;
}
int vok_write_failed(const char* path) {
  std::printf("Error: failed to write file %s.\n\n", path);
  return 1;
}
int vok_same_files() {
  std::printf("Error: the input and output files are the same.\n\n");
  return 1;
}
int vok_too_many_docs() {
  std::printf("Error: the program can only process at most %u documents.\n\n",
              STREE_MAX_STRINGS);
  return 1;
}
int vok_add_failed(uint32_t doc) {
  std::printf("Error: failed to add the doc (id=%u)", doc);
  std::printf("       becuse the program ran out of memory.\n");
  std::printf("\n");
  return 1;
}
int vok_out_of_memory() {
  std::printf("Error: the program ran out of memory.\n\n");
  return 1;
}
int vok_input_changed() {
  std::printf("Error: the input file changed while it was being read.\n\n");
  return 1;
}
