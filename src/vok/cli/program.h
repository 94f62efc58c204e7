// What every program's main does: parse the command line, print what it
// says or run.
#ifndef VOK_CLI_PROGRAM_H
#define VOK_CLI_PROGRAM_H

#include "options.h"

// Returns the exit status of the program that writes `product`.
int vok_program_main(int argc, const char* const* argv, vok_product product);

#endif  // VOK_CLI_PROGRAM_H
