// vok: turns a file of raw text documents, one per line, into bags of
// substring features, one line of hexadecimal feature numbers per document.
#include "program.h"

int main(int argc, char** argv) { return vok_program_main(argc, argv, VOK_BAGS); }
