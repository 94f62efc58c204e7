// The command line of vok, `vok [options] docs_file voks_file`, which
// vok-dict shares: `vok-dict [options] docs_file dict_file`, and vok-apply
// with one more path: `vok-apply [options] train_file docs_file voks_file`.
//
// parse_options turns an argument vector into the settings and the two file
// paths, or into an exit status and the text to print.  It never prints and
// never ends the process, so it can be unit-tested and fuzzed; main prints
// the text and exits.
#ifndef VOK_VOK_OPTIONS_H
#define VOK_VOK_OPTIONS_H

#include <string>

#include "settings.h"

struct vok_options {
  // True when the run goes on with `settings`, `in_path` and `out_path`.
  // False when the process ends now: print `message` to standard output and
  // exit with `exit_status` (0 after -?, 1 after any problem).
  bool run = false;
  int exit_status = 1;
  std::string message;

  vok_settings settings;
  std::string in_path;    // docs_file (vok-apply: train_file)
  std::string docs_path;  // vok-apply's docs_file
  std::string out_path;   // voks_file
};

// Reads the options from argv[1..argc).  An argument that starts with '-' is
// an option named by its second character (the rest of it is ignored); the
// options -s -l -h -b take the next argument as an integer, -p -q as a real,
// even when it starts with '-'.  The first other argument ends the options;
// later repeats of an option override earlier ones.  In this order:
//   -?                       -> usage text, status 0, nothing after it read
//   unknown option letter    -> "Error: unrecognized option ARG!\n\n" + usage
//   option with no value     -> usage text, status 1
//   settings out of range    -> "Error: invalid option.\n\n" + usage, status 1
//   fewer than two paths     -> usage text, status 1
// Otherwise the next two arguments are the paths; any further are ignored.
// argv entries must be non-null for i < argc; argc may be 0.
vok_options parse_options(int argc, const char* const* argv);

// parse_options with another usage text: the same options, validation,
// messages and statuses, with `usage` wherever the usage text is printed.
// With three_paths (vok-apply) the paths are in_path, docs_path and
// out_path, and fewer than three give the usage text.
vok_options parse_command_line(int argc, const char* const* argv,
                               const char* usage, bool three_paths = false);

// 1 when every setting lies in its valid range, else 0: word_delimited 0 or
// 1 (taken as unsigned, so negatives fail), min_freq > 1, max_freq >=
// min_freq, min_branches > 1, max_parent_prob > 0, max_link_prob > 0 (NaN
// fails; infinity passes).
int options_valid(const vok_settings& settings);

// The usage text, every line ending in '\n'.
const char* usage_text();

// The usage text of vok-dict: vok's, with its own usage line and output
// file.
const char* dict_usage_text();

// The usage text of vok-apply.
const char* apply_usage_text();

// Prints the usage text to standard output.
void usage();

// Option values are converted the way atol and atof do it: leading white
// space, an optional sign, then as many digits (for reals: the decimal,
// exponent, hexadecimal, "inf" and "nan" forms) as follow; no digits give 0.
// Unlike atol, an integer out of range saturates at LONG_MIN / LONG_MAX, and
// a real overflows to +-infinity and underflows towards 0.
long option_to_long(const char* text);
double option_to_double(const char* text);

#endif  // VOK_VOK_OPTIONS_H
