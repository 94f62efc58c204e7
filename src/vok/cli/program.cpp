// The programs' common main.
#include "program.h"

#include <cstdio>

#include "run.h"

int vok_program_main(int argc, const char* const* argv, vok_product product) {
  vok_options options = parse_command_line(argc, argv, product);
  if (!options.run) {
    std::fputs(options.message.c_str(), stdout);
    return options.exit_status;
  }
  if (product == VOK_APPLIED)
    return vok_apply(options.settings, options.in_path.c_str(), options.docs_path.c_str(),
                     options.out_path.c_str(), nullptr, options.given.c_str());
  return vok_run(options.settings, options.in_path.c_str(),
                 options.out_path.c_str(), product);
}
