// Command-line parsing, validation and the usage text.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The version the programs report; the build sets it from the project's.
#ifndef VOK_VERSION
#define VOK_VERSION "0.1.0"
#endif

namespace {

// The usage texts of vok and vok-dict share the five lines that describe
// the method and the option list; they differ in the usage line and in the
// name of the output file.
#define USAGE_ABOUT \
  "vok: substring classes as features for text classification.\n" \
  "One generalized suffix tree is built over all documents; each of its\n" \
  "nodes is a class of substrings sharing one set of occurrences. A node\n" \
  "is a feature when its count lies in [l, h), it has b or more branches,\n" \
  "and no child or suffix-link source holds over p or q of its count.\n" \
  "\n"
#define USAGE_OPTIONS \
  "\n" \
  "Options:\n" \
  "         -?          -> help\n" \
  "         -s [0,1]    -> assume white-spaces are word delimiters\n" \
  "                        (default 1)\n" \
  "         -l [2..]    -> the minimum frequency\n" \
  "                        (default 2)\n" \
  "         -h [l..]    -> the maximum frequency\n" \
  "                        (default 8,000)\n" \
  "         -b [2..]    -> the minimum number of branches\n" \
  "                        (default 2)\n" \
  "         -p (0..1]   -> the maximum parent-child conditional probability\n" \
  "                        (default 1.0)\n" \
  "         -q (0..1]   -> the maximum suffix-link conditional probability\n" \
  "                        (default 1.0)\n" \
  "Arguments:\n"
#define USAGE_DOCS \
  "         docs_file    -> the input  file with each line as a raw document\n"
#define USAGE_VOKS \
  "         voks_file    -> the output file with each line as a bag of vok " \
  "features\n"

const char kUsage[] =
    USAGE_ABOUT
    "Usage: vok [options] docs_file voks_file\n"
    USAGE_OPTIONS
    USAGE_DOCS
    USAGE_VOKS;

const char kDictUsage[] =
    USAGE_ABOUT
    "Usage: vok-dict [options] docs_file dict_file\n"
    USAGE_OPTIONS
    USAGE_DOCS
    "         dict_file    -> the output file with one line per vok feature:\n"
    "                         number, count, children and substring\n";

const char kApplyUsage[] =
    USAGE_ABOUT
    "Usage: vok-apply [options] train_file docs_file voks_file\n"
    USAGE_OPTIONS
    "         train_file   -> the file of raw documents the features are "
    "fitted on\n"
    "                         (or the model file vok-fit wrote of them)\n"
    "         docs_file    -> the input  file with each line as a raw document\n"
    "                         given the fitted features\n"
    USAGE_VOKS;

const char kFitUsage[] =
    USAGE_ABOUT
    "Usage: vok-fit [options] train_file model_file\n"
    USAGE_OPTIONS
    "         train_file   -> the file of raw documents the features are "
    "fitted on\n"
    "         model_file   -> the output file with the fitted model, which\n"
    "                         vok-apply takes in place of train_file\n";

// What --help adds to the usage text (-? prints the usage text alone).
const char kFurther[] =
    "\n"
    "Further options (long options take their value as --name=N or --name N):\n"
    "         --min-df=N        -> refuse a node in fewer than N documents;\n"
    "                              N with a '.' or an exponent is a share of\n"
    "                              the documents (default 1)\n"
    "         --max-df=N        -> refuse a node in more than N documents\n"
    "                              (a count, or a share; default 1.0)\n"
    "         --max-features=N  -> keep the N features in the most documents\n"
    "                              (default: all)\n"
    "         --max-shortest=N  -> refuse a node whose shortest substring is\n"
    "                              longer than N bytes (default: no limit)\n"
    "         --utf8            -> emit only at UTF-8 character starts and keep\n"
    "                              nodes that hold a whole-character substring\n"
    "         --lowercase       -> lowercase ASCII A-Z of every document read\n"
    "         -j N              -> work on N threads, 0 for one per core; the\n"
    "                              output is the same for every N (default 1)\n";

#undef USAGE_ABOUT
#undef USAGE_OPTIONS
#undef USAGE_DOCS
#undef USAGE_VOKS

vok_options stop(int status, std::string message) {
  vok_options result;
  result.run = false;
  result.exit_status = status;
  result.message = std::move(message);
  return result;
}

void note_given(std::string* given, char letter) {
  if (given->find(letter) == std::string::npos) *given += letter;
}

// The long options beyond --help and --version, each with the letter that
// stands for it among the given options.
struct long_option {
  const char* name;
  char letter;
  bool takes_value;
};
constexpr long_option kLongOptions[] = {
    {"min-df", 'm', true},      {"max-df", 'M', true}, {"max-features", 'F', true},
    {"max-shortest", 'N', true}, {"utf8", 'u', false},  {"lowercase", 'L', false},
};

// The long option `arg` names ("--name" or "--name=value"), or null; *value
// then points at the value after '=', or is null.
const long_option* find_long(const char* arg, const char** value) {
  for (const long_option& o : kLongOptions) {
    const size_t n = std::strlen(o.name);
    if (std::strncmp(arg + 2, o.name, n) != 0) continue;
    if (arg[2 + n] == '\0') {
      *value = nullptr;
      return &o;
    }
    if (arg[2 + n] == '=' && o.takes_value) {
      *value = arg + 3 + n;
      return &o;
    }
  }
  return nullptr;
}

// A document-frequency bound: a share when the text holds a '.' or an
// exponent, else a count.
// -j's count of threads: a whole number and nothing else, or -1 (refused)
// where anything but digits (and a sign and leading blanks) stands.
long thread_count(const char* text) {
  char* end;
  const long n = std::strtol(text, &end, 10);
  return end == text || *end != '\0' ? -1 : n;
}

void set_df(const char* text, double* bound, bool* share) {
  *share = std::strpbrk(text, ".eE") != nullptr;
  *bound = *share ? option_to_double(text) : static_cast<double>(option_to_long(text));
}

}  // namespace

const char* program_name(vok_product program) {
  switch (program) {
    case VOK_DICTIONARY: return "vok-dict";
    case VOK_APPLIED: return "vok-apply";
    case VOK_FITTED: return "vok-fit";
    default: return "vok";
  }
}

const char* usage_text(vok_product program) {
  switch (program) {
    case VOK_DICTIONARY: return kDictUsage;
    case VOK_APPLIED: return kApplyUsage;
    case VOK_FITTED: return kFitUsage;
    default: return kUsage;
  }
}

void usage() { std::fputs(kUsage, stdout); }

// strtol and strtod accept exactly what atol and atof accept, and unlike
// them have defined results out of range (saturation, +-HUGE_VAL, 0).
long option_to_long(const char* text) { return std::strtol(text, nullptr, 10); }

double option_to_double(const char* text) { return std::strtod(text, nullptr); }

int options_valid(const vok_settings& s) { return vok_settings_fault(s).name ? 0 : 1; }

vok_options parse_options(int argc, const char* const* argv) {
  return parse_command_line(argc, argv, VOK_BAGS);
}

vok_options parse_command_line(int argc, const char* const* argv,
                               vok_product program) {
  const char* usage = usage_text(program);
  vok_options result;
  vok_settings& s = result.settings;
  int i = 1;
  // "-" alone is no option but a path: standard input or output.
  while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0') {
    const char* arg = argv[i];
    char letter = arg[1];
    if (letter == '?') return stop(0, usage);
    if (std::strcmp(arg, "--help") == 0) return stop(0, std::string(usage) + kFurther);
    if (std::strcmp(arg, "--version") == 0)
      return stop(0, std::string(program_name(program)) + " " VOK_VERSION "\n");
    if (letter == 'w') {  // the wide tree; takes no value
      s.wide = true;
      note_given(&result.given, letter);
      ++i;
      continue;
    }
    const char* value = nullptr;
    if (letter == '-') {
      if (const long_option* o = find_long(arg, &value)) {
        if (o->takes_value && !value) {
          if (i + 1 >= argc) return stop(1, usage);  // the value is missing
          value = argv[++i];
        }
        note_given(&result.given, o->letter);
        switch (o->letter) {
          case 'm': set_df(value, &s.min_df, &s.min_df_share); break;
          case 'M': set_df(value, &s.max_df, &s.max_df_share); break;
          case 'F': s.max_features = option_to_long(value); break;
          case 'N': s.max_shortest = option_to_long(value); break;
          case 'u': s.utf8 = true; break;
          default: s.lowercase = vok_settings::LOWER_ASCII; break;
        }
        ++i;
        continue;
      }
    }
    long* integer = nullptr;
    double* real = nullptr;
    switch (letter) {
      case 's': integer = &s.word_delimited; break;
      case 'l': integer = &s.min_freq; break;
      case 'h': integer = &s.max_freq; break;
      case 'b': integer = &s.min_branches; break;
      case 'j': integer = &s.threads; break;
      case 'p': real = &s.max_parent_prob; break;
      case 'q': real = &s.max_link_prob; break;
      default:
        return stop(1, std::string("Error: unrecognized option ") + arg +
                           "!\n\n" + usage);
    }
    if (i + 1 >= argc) return stop(1, usage);  // the value is missing
    note_given(&result.given, letter);
    if (integer) *integer = letter == 'j' ? thread_count(argv[i + 1]) : option_to_long(argv[i + 1]);
    if (real) *real = option_to_double(argv[i + 1]);
    i += 2;
  }
  if (!options_valid(s))
    return stop(1, std::string("Error: invalid option.\n\n") + usage);
  const int paths = program == VOK_APPLIED ? 3 : 2;
  if (argc - i < paths) return stop(1, usage);
  result.run = true;
  result.exit_status = 0;
  result.in_path = argv[i];
  if (paths == 3) result.docs_path = argv[i + 1];
  result.out_path = argv[i + paths - 1];
  return result;
}
