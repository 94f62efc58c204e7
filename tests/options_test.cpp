// Command-line parsing: settings, paths, messages and exit statuses.
#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options.h"

namespace {

// Parses a command line given as words after the program name.
vok_options parse(std::vector<std::string> words) {
  std::vector<const char*> argv{"vok"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  return parse_options(static_cast<int>(argv.size()) - 1, argv.data());
}

std::string usage_str() { return usage_text(); }
std::string invalid() { return "Error: invalid option.\n\n" + usage_str(); }
std::string unrecognized(const std::string& arg) {
  return "Error: unrecognized option " + arg + "!\n\n" + usage_str();
}

void expect_stop(const vok_options& r, int status, const std::string& text) {
  EXPECT_FALSE(r.run);
  EXPECT_EQ(r.exit_status, status);
  EXPECT_EQ(r.message, text);
}

void expect_default_settings(const vok_settings& s) {
  EXPECT_EQ(s.word_delimited, 1);
  EXPECT_EQ(s.min_freq, 2);
  EXPECT_EQ(s.max_freq, 8000);
  EXPECT_EQ(s.min_branches, 2);
  EXPECT_EQ(s.max_parent_prob, 1.0);
  EXPECT_EQ(s.max_link_prob, 1.0);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

TEST(UsageText, HasFiveDescriptionLinesThenTheOptionList) {
  std::string text = usage_str();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 25u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(lines[i].empty()) << "line " << i + 1;
    EXPECT_LE(lines[i].size(), 80u) << "line " << i + 1;
  }
  const char* rest[] = {
      "",
      "Usage: vok [options] docs_file voks_file",
      "",
      "Options:",
      "         -?          -> help",
      "         -s [0,1]    -> assume white-spaces are word delimiters",
      "                        (default 1)",
      "         -l [2..]    -> the minimum frequency",
      "                        (default 2)",
      "         -h [l..]    -> the maximum frequency",
      "                        (default 8,000)",
      "         -b [2..]    -> the minimum number of branches",
      "                        (default 2)",
      "         -p (0..1]   -> the maximum parent-child conditional probability",
      "                        (default 1.0)",
      "         -q (0..1]   -> the maximum suffix-link conditional probability",
      "                        (default 1.0)",
      "Arguments:",
      "         docs_file    -> the input  file with each line as a raw document",
      ("         voks_file    -> the output file with each line as a bag of "
       "vok features"),
  };
  for (int i = 0; i < 20; ++i) EXPECT_EQ(lines[5 + i], rest[i]) << i + 6;
}

TEST(ParseOptions, DefaultsAndPaths) {
  vok_options r = parse({"in.txt", "out.voks"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(r.in_path, "in.txt");
  EXPECT_EQ(r.out_path, "out.voks");
  expect_default_settings(r.settings);

  // Further arguments are ignored; an option after the paths is a path.
  r = parse({"in", "out", "extra", "-x"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.in_path, "in");
  EXPECT_EQ(r.out_path, "out");
  r = parse({"in", "-?", "-s"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.out_path, "-?");
  expect_default_settings(r.settings);

  // An empty argument does not start with '-': it is a path.
  r = parse({"", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.in_path, "");
}

TEST(ParseOptions, PathsOfAnyLength) {
  std::string in(5000, 'i'), out(70000, 'o');
  vok_options r = parse({"-l", "3", in, out});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.in_path, in);
  EXPECT_EQ(r.out_path, out);
}

TEST(ParseOptions, HelpStopsAtOnceWithStatusZero) {
  expect_stop(parse({"-?"}), 0, usage_str());
  expect_stop(parse({"-?", "in", "out"}), 0, usage_str());
  // Nothing after -? is looked at, not even bad options or values.
  expect_stop(parse({"-?", "-x", "-s"}), 0, usage_str());
  expect_stop(parse({"-?trailing"}), 0, usage_str());
  // Earlier invalid values are not validated yet.
  expect_stop(parse({"-s", "7", "-?"}), 0, usage_str());
}

TEST(ParseOptions, UnrecognizedOptionNamesTheWholeArgument) {
  expect_stop(parse({"-x", "in", "out"}), 1, unrecognized("-x"));
  expect_stop(parse({"-xyz", "in", "out"}), 1, unrecognized("-xyz"));
  expect_stop(parse({"-", "in", "out"}), 1, unrecognized("-"));
  expect_stop(parse({"--", "in", "out"}), 1, unrecognized("--"));
  expect_stop(parse({"-S", "1", "in", "out"}), 1, unrecognized("-S"));
  // Found while reading options, so before any validation.
  expect_stop(parse({"-s", "9", "-k"}), 1, unrecognized("-k"));
  // After -?'s place in the order: the first problem met decides.
  expect_stop(parse({"-k", "-?"}), 1, unrecognized("-k"));
}

TEST(ParseOptions, OptionWithoutValueIsAUsageError) {
  for (const char* opt : {"-s", "-l", "-h", "-b", "-p", "-q"}) {
    expect_stop(parse({opt}), 1, usage_str());
    expect_stop(parse({"-l", "3", opt}), 1, usage_str());
  }
  // The missing value is found before the invalid setting is validated.
  expect_stop(parse({"-s", "5", "-h"}), 1, usage_str());
}

TEST(ParseOptions, EachSettingOutOfRangeIsInvalid) {
  const std::vector<std::vector<std::string>> bad = {
      {"-s", "2"},   {"-s", "-1"},  {"-s", "4294967297"},
      {"-l", "1"},   {"-l", "0"},   {"-l", "-3"},
      {"-h", "1"},   {"-l", "9", "-h", "8"},
      {"-b", "1"},   {"-b", "0"},   {"-b", "-2"},
      {"-p", "0"},   {"-p", "-0.5"}, {"-p", "nan"}, {"-p", "-inf"},
      {"-p", "-0"},  {"-q", "-1"},  {"-q", "0"},   {"-q", "NAN"},
      {"-q", "1e-400"},  // underflows to 0
      {"-l", "8001"},    // above the default max_freq
  };
  for (std::vector<std::string> words : bad) {
    std::string shown = words[0] + " " + words[1];
    words.push_back("in");
    words.push_back("out");
    SCOPED_TRACE(shown);
    expect_stop(parse(words), 1, invalid());
  }
}

TEST(ParseOptions, BoundaryValuesAreValid) {
  vok_options r = parse({"-h", "2", "in", "out"});  // max_freq == min_freq
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.max_freq, 2);

  r = parse({"-s", "0", "-l", "7", "-h", "7", "-b", "2", "-p", "5", "-q",
             "1e-300", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.word_delimited, 0);
  EXPECT_EQ(r.settings.min_freq, 7);
  EXPECT_EQ(r.settings.max_freq, 7);
  EXPECT_EQ(r.settings.min_branches, 2);
  EXPECT_EQ(r.settings.max_parent_prob, 5.0);  // above 1 passes
  EXPECT_EQ(r.settings.max_link_prob, 1e-300);

  r = parse({"-p", "inf", "-q", "INFINITY", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_TRUE(std::isinf(r.settings.max_parent_prob));
  EXPECT_TRUE(std::isinf(r.settings.max_link_prob));
}

TEST(ParseOptions, ValidationComesBeforeCountingPaths) {
  expect_stop(parse({"-s", "2", "in"}), 1, invalid());
  expect_stop(parse({"-s", "2"}), 1, invalid());
  expect_stop(parse({"-b", "1"}), 1, invalid());
  expect_stop(parse({"in"}), 1, usage_str());
  expect_stop(parse({}), 1, usage_str());
  expect_stop(parse({"-l", "3", "in"}), 1, usage_str());

  const char* only_name[] = {"vok", nullptr};
  expect_stop(parse_options(1, only_name), 1, usage_str());
  expect_stop(parse_options(0, only_name), 1, usage_str());
}

TEST(ParseOptions, ValueIsTheNextArgumentWhateverItLooksLike) {
  // "-l3": the 3 is ignored, "in" is the value (0), so validation fails.
  expect_stop(parse({"-l3", "in", "out"}), 1, invalid());
  vok_options r = parse({"-lfoo", "3", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.min_freq, 3);

  // A value beginning with '-' is consumed, not read as an option.
  r = parse({"-s", "-?", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.word_delimited, 0);
  r = parse({"-h", "-x", "-l", "2", "in", "out"});  // -h 0 < min_freq
  EXPECT_FALSE(r.run);
  EXPECT_EQ(r.message, invalid());
  r = parse({"-p", "-q", "in", "out"});  // -p gets "-q" = 0
  EXPECT_EQ(r.message, invalid());
}

TEST(ParseOptions, RepeatedOptionsLastWins) {
  vok_options r = parse({"-s", "0", "-s", "1", "-l", "5", "-l", "3", "-p",
                         "0.2", "-p", "0.7", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.word_delimited, 1);
  EXPECT_EQ(r.settings.min_freq, 3);
  EXPECT_EQ(r.settings.max_parent_prob, 0.7);
  // Only the final values are validated.
  r = parse({"-s", "2", "-s", "0", "-q", "0", "-q", "1", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.word_delimited, 0);
  EXPECT_EQ(r.settings.max_link_prob, 1.0);
  // ... and a valid value can be overridden by an invalid one.
  expect_stop(parse({"-b", "4", "-b", "1", "in", "out"}), 1, invalid());
}

TEST(ParseOptions, HugeValuesSaturate) {
  const std::string huge = "99999999999999999999";
  expect_stop(parse({"-l", huge, "in", "out"}), 1, invalid());
  expect_stop(parse({"-h", "-" + huge, "in", "out"}), 1, invalid());
  expect_stop(parse({"-s", huge, "in", "out"}), 1, invalid());
  expect_stop(parse({"-s", "18446744073709551617", "in", "out"}), 1,
              invalid());
  vok_options r = parse({"-l", huge, "-h", huge + "9", "-b", huge, "-p",
                         "1e999", "in", "out"});
  ASSERT_TRUE(r.run);
  EXPECT_EQ(r.settings.min_freq, LONG_MAX);
  EXPECT_EQ(r.settings.max_freq, LONG_MAX);
  EXPECT_EQ(r.settings.min_branches, LONG_MAX);
  EXPECT_TRUE(std::isinf(r.settings.max_parent_prob));
}

TEST(OptionToLong, BehavesLikeAtol) {
  EXPECT_EQ(option_to_long("42"), 42);
  EXPECT_EQ(option_to_long("  \t\n\v\f\r+12abc"), 12);
  EXPECT_EQ(option_to_long("-7"), -7);
  EXPECT_EQ(option_to_long("abc"), 0);
  EXPECT_EQ(option_to_long(""), 0);
  EXPECT_EQ(option_to_long("+"), 0);
  EXPECT_EQ(option_to_long("+-3"), 0);
  EXPECT_EQ(option_to_long("- 3"), 0);
  EXPECT_EQ(option_to_long("0x10"), 0);
  EXPECT_EQ(option_to_long("010"), 10);  // decimal, not octal
  EXPECT_EQ(option_to_long("1e5"), 1);
  EXPECT_EQ(option_to_long("3.9"), 3);
  EXPECT_EQ(option_to_long(" 1 2"), 1);
  EXPECT_EQ(option_to_long("9223372036854775807"), LONG_MAX);
  EXPECT_EQ(option_to_long("9223372036854775808"), LONG_MAX);
  EXPECT_EQ(option_to_long("-9223372036854775808"), LONG_MIN);
  EXPECT_EQ(option_to_long("-9223372036854775809"), LONG_MIN);
  EXPECT_EQ(option_to_long(std::string(400, '9').c_str()), LONG_MAX);
}

// A plain reference: skip white space, read a sign, accumulate digits while
// saturating.
long reference_long(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  unsigned long long limit =
      negative ? static_cast<unsigned long long>(LONG_MAX) + 1 : LONG_MAX;
  unsigned long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    unsigned d = static_cast<unsigned>(s[i] - '0');
    v = (v > (limit - d) / 10) ? limit : v * 10 + d;
  }
  if (negative) return v == limit ? LONG_MIN : -static_cast<long>(v);
  return static_cast<long>(v);
}

TEST(OptionToLong, RandomTextsMatchAReference) {
  std::mt19937 rng(20240611);
  const std::string alphabet = "0123456789999 \t\n+-x.";
  for (int round = 0; round < 20000; ++round) {
    int len = static_cast<int>(rng() % 24);
    std::string s;
    for (int i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(option_to_long(s.c_str()), reference_long(s)) << "'" << s << "'";
  }
}

TEST(OptionToDouble, BehavesLikeAtof) {
  EXPECT_EQ(option_to_double("0.5"), 0.5);
  EXPECT_EQ(option_to_double("  .25x"), 0.25);
  EXPECT_EQ(option_to_double("+1e-3"), 1e-3);
  EXPECT_EQ(option_to_double("1,5"), 1.0);
  EXPECT_EQ(option_to_double("0x1p-2"), 0.25);
  EXPECT_EQ(option_to_double("abc"), 0.0);
  EXPECT_EQ(option_to_double(""), 0.0);
  EXPECT_EQ(option_to_double("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(option_to_double("-0")));
  EXPECT_TRUE(std::isnan(option_to_double("nan")));
  EXPECT_TRUE(std::isnan(option_to_double("nan(123)")));
  double inf = option_to_double("inf");
  EXPECT_TRUE(std::isinf(inf) && inf > 0);
  double minus_inf = option_to_double("-Infinity");
  EXPECT_TRUE(std::isinf(minus_inf) && minus_inf < 0);
  EXPECT_TRUE(std::isinf(option_to_double("1e400")));
}

// Random valid settings written out with repeats, junk earlier values and
// atol-style decorations always parse back to the final values.
TEST(ParseOptions, RandomCommandLinesParseToTheirLastValues) {
  std::mt19937 rng(7);
  auto decorate = [&](const std::string& number) {
    static const char* prefixes[] = {"", " ", "\t", "+", "  +", "0"};
    static const char* suffixes[] = {"", "x", " 9", "-", ".", "abc"};
    return prefixes[rng() % 6] + number + suffixes[rng() % 6];
  };
  for (int round = 0; round < 2000; ++round) {
    vok_settings want;
    want.word_delimited = rng() % 2;
    want.min_freq = 2 + rng() % 100;
    want.max_freq = want.min_freq + rng() % 10000;
    want.min_branches = 2 + rng() % 50;
    want.max_parent_prob = (1 + rng() % 1000) / 1000.0;
    want.max_link_prob = (1 + rng() % 1000) / 1000.0;
    struct item {
      char letter;
      std::string value;
    };
    std::vector<item> last = {
        {'s', std::to_string(want.word_delimited)},
        {'l', std::to_string(want.min_freq)},
        {'h', std::to_string(want.max_freq)},
        {'b', std::to_string(want.min_branches)},
        {'p', std::to_string(want.max_parent_prob)},
        {'q', std::to_string(want.max_link_prob)}};
    std::shuffle(last.begin(), last.end(), rng);
    std::vector<std::string> words;
    // Earlier, overridden values: anything at all, even invalid.
    int junk = static_cast<int>(rng() % 5);
    for (int j = 0; j < junk; ++j) {
      words.push_back(std::string("-") + "slhbpq"[rng() % 6]);
      words.push_back(std::to_string(static_cast<int>(rng() % 21) - 10));
    }
    for (const item& it : last) {
      if (rng() % 3 == 0) continue;  // leave this one at a repeat below
      words.push_back(std::string("-") + it.letter);
      words.push_back("junk");
    }
    for (const item& it : last) {
      words.push_back(std::string("-") + it.letter + (rng() % 4 ? "" : "z"));
      words.push_back(it.letter == 'p' || it.letter == 'q'
                          ? it.value
                          : decorate(it.value));
    }
    words.push_back("docs");
    words.push_back("voks");
    vok_options r = parse(words);
    ASSERT_TRUE(r.run) << r.message;
    EXPECT_EQ(r.settings.word_delimited, want.word_delimited);
    EXPECT_EQ(r.settings.min_freq, want.min_freq);
    EXPECT_EQ(r.settings.max_freq, want.max_freq);
    EXPECT_EQ(r.settings.min_branches, want.min_branches);
    EXPECT_NEAR(r.settings.max_parent_prob, want.max_parent_prob, 1e-6);
    EXPECT_NEAR(r.settings.max_link_prob, want.max_link_prob, 1e-6);
    EXPECT_EQ(r.in_path, "docs");
    EXPECT_EQ(r.out_path, "voks");
  }
}

TEST(OptionsValid, ChecksEachSettingOnItsOwn) {
  vok_settings s;
  EXPECT_EQ(options_valid(s), 1);
  auto with = [](auto change) {
    vok_settings t;
    change(t);
    return options_valid(t);
  };
  EXPECT_EQ(with([](vok_settings& t) { t.word_delimited = 0; }), 1);
  EXPECT_EQ(with([](vok_settings& t) { t.word_delimited = 2; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.word_delimited = LONG_MIN; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.min_freq = 1; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.max_freq = 1; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.max_freq = 2; }), 1);
  EXPECT_EQ(with([](vok_settings& t) { t.min_branches = 1; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.max_parent_prob = 1e-320; }), 1);
  EXPECT_EQ(with([](vok_settings& t) { t.max_parent_prob = NAN; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.max_link_prob = -0.0; }), 0);
  EXPECT_EQ(with([](vok_settings& t) { t.max_link_prob = INFINITY; }), 1);
}
