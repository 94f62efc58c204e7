// The run's error messages.  Each prints its message to standard output and
// returns the exit status 1, so that a failing step can `return` it.
#ifndef VOK_VOK_MESSAGES_H
#define VOK_VOK_MESSAGES_H

#include <cstdint>

int vok_open_failed(const char* path);   // "Error: failed to open file %s."
int vok_read_failed(const char* path);   // "Error: failed to read file %s."
int vok_write_failed(const char* path);  // "Error: failed to write file %s."
int vok_same_files();     // "Error: the input and output files are the same."
int vok_too_many_docs();  // "Error: the program can only process at most ..."
int vok_add_failed(uint32_t doc);  // "Error: failed to add the doc (id=%u)..."
int vok_out_of_memory();  // "Error: the program ran out of memory."
int vok_input_changed();  // "Error: the input file changed while it was ..."

#endif  // VOK_VOK_MESSAGES_H
