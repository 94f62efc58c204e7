// vok-dict: runs vok's first pass and feature selection on a file of
// documents and writes, in place of the features of every document, what
// every feature number stands for: one line per feature with its number,
// occurrence count, number of children and substring.
#include "program.h"

int main(int argc, char** argv) { return vok_program_main(argc, argv, VOK_DICTIONARY); }
