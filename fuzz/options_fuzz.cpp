// libFuzzer target for the command line.  The input, split at its NUL
// bytes, is the argument vector after the program name; parse_options must
// return (never exit, print or crash) and its result must follow the rules
// of the command line, which are restated here as a small model.
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"

// A named namespace, so that tests can compile both targets together.
namespace options_fuzz {

constexpr size_t kMaxArgs = 64;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "options_fuzz: %s\n", what);
  std::abort();
}

#define CHECK(cond) ((cond) ? (void)0 : fail("check failed: " #cond))

// atol with saturation instead of undefined overflow: blanks, a sign, the
// longest run of decimal digits.
long reference_long(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  long v = 0;
  bool saturated = false;
  for (; *s >= '0' && *s <= '9'; ++s) {
    int digit = *s - '0';
    if (negative ? v < (LONG_MIN + digit) / 10 : v > (LONG_MAX - digit) / 10)
      saturated = true;
    if (!saturated) v = v * 10 + (negative ? -digit : digit);
  }
  if (saturated) return negative ? LONG_MIN : LONG_MAX;
  return v;
}

bool same_real(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

bool same_settings(const vok_settings& a, const vok_settings& b) {
  return a.word_delimited == b.word_delimited && a.min_freq == b.min_freq &&
         a.max_freq == b.max_freq && a.min_branches == b.min_branches &&
         same_real(a.max_parent_prob, b.max_parent_prob) &&
         same_real(a.max_link_prob, b.max_link_prob);
}

bool valid(const vok_settings& s) {
  return (s.word_delimited == 0 || s.word_delimited == 1) && s.min_freq >= 2 &&
         s.max_freq >= s.min_freq && s.min_branches >= 2 &&
         s.max_parent_prob > 0 && s.max_link_prob > 0;
}

// What parse_options must return for the arguments.
vok_options expected(int argc, const char* const* argv) {
  vok_options e;
  e.run = false;
  e.exit_status = 1;
  vok_settings& s = e.settings;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i += 2) {
    const char* arg = argv[i];
    if (arg[1] == '?') {
      e.exit_status = 0;
      e.message = usage_text();
      return e;
    }
    if (arg[1] == '\0' || !std::strchr("slhbpq", arg[1])) {
      e.message = std::string("Error: unrecognized option ") + arg + "!\n\n" +
                  usage_text();
      return e;
    }
    if (i + 1 == argc) {
      e.message = usage_text();
      return e;
    }
    const char* value = argv[i + 1];
    switch (arg[1]) {
      case 's': s.word_delimited = reference_long(value); break;
      case 'l': s.min_freq = reference_long(value); break;
      case 'h': s.max_freq = reference_long(value); break;
      case 'b': s.min_branches = reference_long(value); break;
      case 'p': s.max_parent_prob = std::strtod(value, nullptr); break;
      case 'q': s.max_link_prob = std::strtod(value, nullptr); break;
    }
  }
  if (!valid(s)) {
    e.message = std::string("Error: invalid option.\n\n") + usage_text();
  } else if (argc - i < 2) {
    e.message = usage_text();
  } else {
    e.run = true;
    e.exit_status = 0;
    e.in_path = argv[i];
    e.out_path = argv[i + 1];
  }
  return e;
}

}  // namespace options_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace options_fuzz;
  // Own copies, each NUL-terminated, so that reading past an argument's end
  // is caught by the address sanitizer.
  std::vector<std::vector<char>> pieces;
  pieces.push_back({'v', 'o', 'k', '\0'});
  size_t at = 0;
  while (at <= size && pieces.size() < kMaxArgs) {
    const void* nul = size > at ? std::memchr(data + at, 0, size - at) : nullptr;
    size_t n = nul ? static_cast<const uint8_t*>(nul) - (data + at) : size - at;
    std::vector<char> arg(data + at, data + at + n);
    arg.push_back('\0');
    pieces.push_back(std::move(arg));
    at += n + 1;
  }
  if (size == 0) pieces.pop_back();  // no arguments at all
  std::vector<const char*> argv;
  for (const auto& p : pieces) argv.push_back(p.data());
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  vok_options got = parse_options(argc, argv.data());
  CHECK(got.exit_status == 0 || got.exit_status == 1);
  if (got.run) {
    CHECK(got.exit_status == 0);
    CHECK(options_valid(got.settings) == 1);
    CHECK(got.message.empty());
  } else {
    CHECK(!got.message.empty());
    // The usage text ends every message.
    const std::string usage = usage_text();
    CHECK(got.message.size() >= usage.size() &&
          got.message.compare(got.message.size() - usage.size(), usage.size(),
                              usage) == 0);
  }
  vok_options want = expected(argc, argv.data());
  CHECK(got.run == want.run);
  CHECK(got.exit_status == want.exit_status);
  CHECK(got.message == want.message);
  if (got.run) {
    CHECK(got.in_path == want.in_path);
    CHECK(got.out_path == want.out_path);
    CHECK(same_settings(got.settings, want.settings));
  }
  // Validation agrees with the model on whatever the settings became.
  CHECK(options_valid(got.settings) == (valid(got.settings) ? 1 : 0));
  // The integer conversion saturates like the model on every argument.
  for (int i = 1; i < argc; ++i)
    CHECK(option_to_long(argv[i]) == reference_long(argv[i]));
  return 0;
}
