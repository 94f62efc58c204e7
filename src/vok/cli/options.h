// The command lines of the programs: `vok [options] docs_file voks_file`,
// which vok-dict shares (`vok-dict [options] docs_file dict_file`), and
// vok-apply's with one more path (`vok-apply [options] train_file docs_file
// voks_file`).
//
// parse_command_line turns an argument vector into the settings and the
// file paths, or into an exit status and the text to print.  It never
// prints and never ends the process, so it can be unit-tested and fuzzed;
// main prints the text and exits.
#ifndef VOK_CLI_OPTIONS_H
#define VOK_CLI_OPTIONS_H

#include <string>

#include "settings.h"

// What a program writes; it names the program too.
enum vok_product {
  VOK_BAGS,        // vok: the bags of features of the documents
  VOK_DICTIONARY,  // vok-dict: what every feature stands for
  VOK_APPLIED,     // vok-apply: the bags of other documents
  VOK_FITTED,      // vok-fit: the fitted model of the features
};

struct vok_options {
  // True when the run goes on with `settings` and the paths.  False when
  // the process ends now: print `message` to standard output and exit with
  // `exit_status` (0 after -?, --help and --version, 1 after any problem).
  bool run = false;
  int exit_status = 1;
  std::string message;

  vok_settings settings;
  // The option letters given on the command line (-w included), each once;
  // a long option's letter stands for it.
  std::string given;
  std::string in_path;    // docs_file (vok-apply: train_file)
  std::string docs_path;  // vok-apply's docs_file
  std::string out_path;   // voks_file
};

// Reads the options from argv[1..argc).  An argument that starts with '-',
// other than "-" alone (a path), is an option named by its second character
// (the rest of it is ignored); the options -s -l -h -b take the next
// argument as an integer, -p -q as a real, even when it starts with '-'; -w
// takes none.  The words --help and
// --version are options of their own, and so are the long options
// --min-df, --max-df, --max-features and --max-shortest (each with its value
// as --name=VALUE or in the next argument) and --utf8 and --lowercase (none);
// the given letters m, M, F, N, u and L stand for them.  The first other argument ends the
// options; later repeats of an option override earlier ones.  In this order:
//   -? or --help             -> usage text, status 0, nothing after it read;
//                               --help adds the long options to it
//   --version                -> "PROGRAM VERSION\n", status 0, likewise
//   unknown option letter    -> "Error: unrecognized option ARG!\n\n" + usage
//   option with no value     -> usage text, status 1
//   settings out of range    -> "Error: invalid option.\n\n" + usage, status 1
//   fewer paths than needed  -> usage text, status 1
// Otherwise the next arguments are the paths (two, or three for
// vok-apply); any further are ignored.  A path "-" stands for standard
// input or output.  argv entries must be non-null for i < argc; argc may
// be 0.
vok_options parse_command_line(int argc, const char* const* argv,
                               vok_product program);

// parse_command_line for vok.
vok_options parse_options(int argc, const char* const* argv);

// 1 when every setting lies in its valid range (vok_settings_fault), else 0.
int options_valid(const vok_settings& settings);

// The program's name ("vok", "vok-dict", "vok-apply", "vok-fit") and its usage text,
// every line ending in '\n'.
const char* program_name(vok_product program);
const char* usage_text(vok_product program = VOK_BAGS);

// Prints vok's usage text to standard output.
void usage();

// Option values are converted the way atol and atof do it (but -j's, which
// must be a whole number and nothing else, else the settings are invalid): leading white
// space, an optional sign, then as many digits (for reals: the decimal,
// exponent, hexadecimal, "inf" and "nan" forms) as follow; no digits give 0.
// Unlike atol, an integer out of range saturates at LONG_MIN / LONG_MAX, and
// a real overflows to +-infinity and underflows towards 0.
long option_to_long(const char* text);
double option_to_double(const char* text);

#endif  // VOK_CLI_OPTIONS_H
