// vok: turns a file of raw text documents, one per line, into bags of
// substring features, one line of hexadecimal feature numbers per document.
#include <cstdio>

#include "options.h"
#include "run.h"

int main(int argc, char** argv) {
  vok_options options = parse_options(argc, argv);
  if (!options.run) {
    std::fputs(options.message.c_str(), stdout);
    return options.exit_status;
  }
  auto run = options.settings.wide ? vok_wide::vok_run : vok_run;
  return run(options.settings, options.in_path.c_str(),
             options.out_path.c_str(), VOK_BAGS);
}
