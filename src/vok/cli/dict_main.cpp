// vok-dict: runs vok's first pass and feature selection on a file of
// documents and writes, in place of the features of every document, what
// every feature number stands for: one line per feature with its number,
// occurrence count, number of children and substring.
#include <cstdio>

#include "options.h"
#include "run.h"

int main(int argc, char** argv) {
  vok_options options = parse_command_line(argc, argv, dict_usage_text());
  if (!options.run) {
    std::fputs(options.message.c_str(), stdout);
    return options.exit_status;
  }
  auto run = options.settings.wide ? vok_wide::vok_run : vok_run;
  return run(options.settings, options.in_path.c_str(),
             options.out_path.c_str(), VOK_DICTIONARY);
}
