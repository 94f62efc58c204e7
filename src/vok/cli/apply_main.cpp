// vok-apply: fits vok's features on one file of documents and writes the
// bags of another file's documents by the fitted feature numbers.
#include <cstdio>

#include "options.h"
#include "run.h"

int main(int argc, char** argv) {
  vok_options options =
      parse_command_line(argc, argv, apply_usage_text(), true);
  if (!options.run) {
    std::fputs(options.message.c_str(), stdout);
    return options.exit_status;
  }
  auto apply = options.settings.wide ? vok_wide::vok_apply : vok_apply;
  return apply(options.settings, options.in_path.c_str(),
               options.docs_path.c_str(), options.out_path.c_str());
}
