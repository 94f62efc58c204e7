// vok-apply: fits vok's features on one file of documents and writes the
// bags of another file's documents by the fitted feature numbers.
#include "program.h"

int main(int argc, char** argv) { return vok_program_main(argc, argv, VOK_APPLIED); }
