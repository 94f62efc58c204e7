// The run's error messages.  Each prints its message, followed by a blank
// line, to `to` (standard output, or standard error when the output file is
// standard output) and returns the exit status 1, so that a failing step
// can `return` it.
#ifndef VOK_CLI_MESSAGES_H
#define VOK_CLI_MESSAGES_H

#include <cstdint>
#include <cstdio>

int vok_open_failed(FILE* to, const char* path);   // "Error: failed to open file %s."
int vok_read_failed(FILE* to, const char* path);   // "Error: failed to read file %s."
int vok_write_failed(FILE* to, const char* path);  // "Error: failed to write file %s."
int vok_same_files(FILE* to);  // "Error: the input and output files are the same."
// "Error: the program can only process at most %u documents."
int vok_too_many_docs(FILE* to, uint64_t most);
// "Error: failed to add the doc (id=%u)       becuse the program ran out of memory."
int vok_add_failed(FILE* to, uint64_t doc);
int vok_out_of_memory(FILE* to);  // "Error: the program ran out of memory."
int vok_input_changed(FILE* to);  // "Error: the input file changed while it was ..."

#endif  // VOK_CLI_MESSAGES_H
