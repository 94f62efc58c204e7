// vok-fit: fits vok's features on a file of documents and writes the fitted
// model, which vok-apply takes in place of the training file.
#include "program.h"

int main(int argc, char** argv) { return vok_program_main(argc, argv, VOK_FITTED); }
