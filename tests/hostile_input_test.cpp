// The vok executable against hostile inputs, paths and option values.  For
// every case the run must either write the right output and exit 0, or print
// exactly its one error message and exit 1; it must never hang, crash or
// change its input file, and it must leave the output file as the messages
// promise (not created when the input or the options are refused, present
// and empty after a failure in the first pass).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options.h"
#include "run.h"
#include "run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutSeconds = 120;

// A string literal with its NUL bytes.
template <size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos;
       start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  EXPECT_EQ(start, text.size()) << "output does not end with a line end";
  return lines;
}

// ---- the messages ------------------------------------------------------------

std::string open_failed(const std::string& path) {
  return "Error: failed to open file " + path + ".\n\n";
}
std::string read_failed(const std::string& path) {
  return "Error: failed to read file " + path + ".\n\n";
}
std::string write_failed(const std::string& path) {
  return "Error: failed to write file " + path + ".\n\n";
}
std::string add_failed(unsigned id) {
  return "Error: failed to add the doc (id=" + std::to_string(id) +
         ")       becuse the program ran out of memory.\n\n";
}
const std::string kSameFile =
    "Error: the input and output files are the same.\n\n";
const std::string kTooManyDocs =
    "Error: the program can only process at most 8192 documents.\n\n";
std::string invalid_option() {
  return std::string("Error: invalid option.\n\n") + usage_text();
}

// Deterministic text of words drawn from a small vocabulary, lines of about
// `words_per_line` words.
std::string words(unsigned seed, size_t chars) {
  static const char* const kWords[] = {
      "the", "of", "and", "a", "to", "in", "is", "you", "that", "it",
      "he", "was", "for", "on", "are", "as", "with", "his", "they", "at",
      "tree", "suffix", "node", "string", "feature", "document", "class"};
  constexpr size_t kCount = sizeof kWords / sizeof kWords[0];
  uint64_t x = seed * 6364136223846793005ull + 1442695040888963407ull;
  std::string s;
  while (s.size() < chars) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    if (!s.empty()) s += ' ';
    s += kWords[(x >> 33) % kCount];
  }
  s.resize(chars);
  return s;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  void TearDown() override {
    // A test may have taken the input's permissions away; give them back so
    // that the directory can be removed.
    std::error_code ec;
    fs::permissions(dir_ / "in.txt", fs::perms::owner_all,
                    fs::perm_options::add, ec);
  }

  // Runs vok; the file `input` (relative to the test directory), when it is
  // a regular file, must read the same afterwards.
  program_result vok(const std::vector<std::string>& args,
                 const std::string& input = "") {
    std::string before;
    bool check = !input.empty() && fs::is_regular_file(dir_ / input);
    if (check) before = read_file(dir_ / input);
    std::vector<std::string> argv{VOK_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    program_result r = run_program(
        argv, {.dir = dir_.string(), .timeout_seconds = kTimeoutSeconds});
    EXPECT_NE(r.status, -1) << "vok hung";
    EXPECT_LT(r.status, 128) << "vok was killed by signal " << r.status - 128;
    EXPECT_EQ(r.err, "") << "vok wrote to standard error";
    if (check) {
      EXPECT_EQ(read_file(dir_ / input), before) << "input changed";
    }
    return r;
  }

  // Runs vok on `text` as in.txt with the options; expects success and
  // returns the output file.
  std::string voks_of(const std::string& text,
                      std::vector<std::string> options = {}) {
    write_file(dir_ / "in.txt", text);
    options.push_back("in.txt");
    options.push_back("out.voks");
    program_result r = vok(options, "in.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    return read_file(dir_ / "out.voks");
  }

  // Expects the run to stop in the first pass with `message`, leaving an
  // empty output file.
  void expect_first_pass_failure(const std::string& text,
                                 const std::string& message) {
    write_file(dir_ / "in.txt", text);
    fs::remove(dir_ / "out.voks");
    program_result r = vok({"in.txt", "out.voks"}, "in.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, message);
    EXPECT_TRUE(fs::exists(dir_ / "out.voks"));
    EXPECT_EQ(fs::file_size(dir_ / "out.voks"), 0u);
  }

  temp_dir tmp_;
  const fs::path dir_ = tmp_.path();
};

const std::string kDocs = "ab ac\nab ad\nac ad\n";

// ---- files that cannot be used ----------------------------------------------

TEST_F(Hostile, InputThatCannotBeOpenedOrRead) {
  // Missing.
  program_result r = vok({"missing.txt", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed("missing.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));

  // A directory opens but cannot be read.
  fs::create_directory(dir_ / "docs");
  r = vok({"docs", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, read_failed("docs"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));

  // /dev/null is an empty input.
  r = vok({"/dev/null", "out.voks"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir_ / "out.voks"), "");
}

TEST_F(Hostile, InputWithoutReadPermission) {
  write_file(dir_ / "in.txt", kDocs);
  fs::permissions(dir_ / "in.txt", fs::perms::none);
  if (access((dir_ / "in.txt").c_str(), R_OK) == 0)
    GTEST_SKIP() << "permission bits do not stop this user from reading "
                    "(running as root?)";
  program_result r = vok({"in.txt", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed("in.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));
  fs::permissions(dir_ / "in.txt", fs::perms::owner_read);
  EXPECT_EQ(read_file(dir_ / "in.txt"), kDocs);
}

TEST_F(Hostile, FifoFedByAnotherProcess) {
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  std::fflush(nullptr);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    signal(SIGPIPE, SIG_IGN);
    int fd = open((dir_ / "fifo").c_str(), O_WRONLY);  // waits for vok
    if (fd < 0) _exit(1);
    for (int i = 0; i < 1000; ++i)
      if (write(fd, kDocs.data(), kDocs.size()) < 0) break;
    close(fd);
    _exit(0);
  }
  program_result r = vok({"fifo", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, read_failed("fifo"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));
  // The writer ends once vok has closed its end; if vok never opened the
  // FIFO the writer is still waiting and is stopped here.
  for (int waited = 0; waited < 50; ++waited) {
    if (waitpid(writer, nullptr, WNOHANG) == writer) return;
    usleep(100 * 1000);
  }
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  ADD_FAILURE() << "vok never opened the FIFO";
}

TEST_F(Hostile, OutputThatCannotBeOpenedOrWritten) {
  write_file(dir_ / "in.txt", kDocs);
  program_result r = vok({"in.txt", "missing/out.voks"}, "in.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed("missing/out.voks"));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));

  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // A small output fails when it is flushed at the end, a large one in the
  // middle of the second pass; the message is the same.
  std::string large;
  for (unsigned i = 0; i < 3000; ++i) large += words(i, 40) + "\n";
  ASSERT_GT(voks_of(large).size(), 100000u);  // more than the writer buffers
  for (const std::string& text : {kDocs, large}) {
    write_file(dir_ / "in.txt", text);
    r = vok({"in.txt", "/dev/full"}, "in.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, write_failed("/dev/full"));
  }
}

TEST_F(Hostile, InputGivenAsTheOutput) {
  write_file(dir_ / "in.txt", kDocs);
  fs::create_hard_link(dir_ / "in.txt", dir_ / "hard.txt");
  fs::create_directory_symlink(".", dir_ / "here");
  for (const char* out :
       {"in.txt", "hard.txt", "here/in.txt", "here/here/hard.txt"}) {
    SCOPED_TRACE(out);
    program_result r = vok({"in.txt", out}, "in.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSameFile);
  }
  // Given through the hard link as the input, too.
  program_result r = vok({"hard.txt", "in.txt"}, "in.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kSameFile);
  EXPECT_EQ(read_file(dir_ / "hard.txt"), kDocs);
}

TEST_F(Hostile, PathsOfAThousandCharacters) {
  // Nine directories of 100 characters and a file name filling up to 1000.
  std::string relative;
  for (int i = 0; i < 9; ++i)
    relative += std::string(99, static_cast<char>('a' + i)) + "/";
  fs::create_directories(dir_ / relative);
  const std::string in = relative + std::string(1000 - relative.size(), 'i');
  const std::string out = relative + std::string(1000 - relative.size(), 'o');
  ASSERT_EQ(in.size(), 1000u);
  ASSERT_EQ(out.size(), 1000u);

  const std::string expected = voks_of(kDocs);
  write_file(dir_ / in, kDocs);
  program_result r = vok({in, out}, in);
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 200);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir_ / out), expected);

  // The whole path appears in the message, not a cut-off copy.
  const std::string missing = relative + std::string(1000 - relative.size(), 'm');
  r = vok({missing, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed(missing));
}

// ---- bytes the documents may hold --------------------------------------------

TEST_F(Hostile, EveryByteOutsideTheAlphabetIsRefusedWithItsDocument) {
  const std::string ok = "abc abd\n";
  for (int b = 0x80; b <= 0xff; ++b) {
    SCOPED_TRACE(b);
    const std::string c(1, static_cast<char>(b));
    expect_first_pass_failure(ok + "ab" + c + "cd\n" + ok, add_failed(1));
  }
  // At the start and the end of a document, in the first, a middle and a
  // last line without a line end.
  for (int b : {0x80, 0xa0, 0xc3, 0xe2, 0xfe, 0xff}) {
    SCOPED_TRACE(b);
    const std::string c(1, static_cast<char>(b));
    expect_first_pass_failure(c + "abc\n" + ok, add_failed(0));
    expect_first_pass_failure(ok + ok + "abc" + c + "\n" + ok, add_failed(2));
    expect_first_pass_failure(ok + c, add_failed(1));
    expect_first_pass_failure(ok + c + "\r\n", add_failed(1));
  }
}

TEST_F(Hostile, DocumentEndsAtItsFirstNul) {
  const std::string plain = voks_of("ab cd\nab ce\n\nab\n");
  EXPECT_EQ(voks_of(bytes("ab cd\0xyz\nab ce\n\0ab\nab\0\r\n")), plain);
  // What follows a NUL may even be outside the alphabet.
  EXPECT_EQ(voks_of(bytes("ab cd\0\xff\xfe\nab ce\n\0\nab")), plain);
}

TEST_F(Hostile, CarriageReturnInsideALineIsAnOrdinaryCharacter) {
  // CR inside a line belongs to the document; it sorts below every other
  // character used here, as \x0b does, so the features are the same.
  const std::string with_cr = voks_of("ab\rcd ab\rce\nxx ab\rcd\n");
  EXPECT_EQ(split_lines(with_cr).size(), 2u);
  EXPECT_EQ(with_cr, voks_of("ab\x0b" "cd ab\x0b" "ce\nxx ab\x0b" "cd\n"));
  EXPECT_NE(with_cr, voks_of("abcd abce\nxx abcd\n"));
  // A line of bare CRs is one document; only trailing CRs are dropped.
  EXPECT_EQ(split_lines(voks_of("ab\rac\rad\r\r")).size(), 1u);
  EXPECT_EQ(voks_of("ab ac\r\r\nab\r"), voks_of("ab ac\nab\n"));
}

// ---- sizes at the limits ------------------------------------------------------

TEST_F(Hostile, DocumentLimit) {
  std::string text;
  for (int i = 0; i < 8192; ++i) text += i % 2 ? "ab\n" : "ac\n";
  EXPECT_EQ(split_lines(voks_of(text)).size(), 8192u);
  // Without a line end after the last document.
  EXPECT_EQ(split_lines(voks_of(text.substr(0, text.size() - 1))).size(),
            8192u);

  expect_first_pass_failure(text + "ab\n", kTooManyDocs);
  expect_first_pass_failure(text + "\n", kTooManyDocs);  // an empty one
  // The limit is met before the 8193rd line is looked at.
  expect_first_pass_failure(text + "\xff\n", kTooManyDocs);
}

// A line of n characters arrives as documents of at most 524,287 characters.
// Whatever the line is cut into must give the features of the same pieces
// given as documents of their own (the output line of a document does not
// depend on where in the input it stands).
TEST_F(Hostile, LinesAroundTheLineBufferSize) {
  const size_t read_max = VOK_LINE_BUFFER - 1;  // 524,287
  for (size_t n : {read_max - 1, read_max, read_max + 1}) {
    SCOPED_TRACE(n);
    const std::string line = words(static_cast<unsigned>(n), n);
    const std::vector<std::string> others = {"the tree of the suffix",
                                             "a node is a class"};
    // The documents the input must turn into.
    std::vector<std::string> pieces = {others[0]};
    if (n <= read_max) {
      pieces.push_back(line);  // the LF left for the next read is no document
    } else {
      pieces.push_back(line.substr(0, read_max));
      pieces.push_back(line.substr(read_max));
    }
    pieces.push_back(others[1]);
    const std::vector<std::string> got =
        split_lines(voks_of(others[0] + "\n" + line + "\n" + others[1] + "\n"));
    ASSERT_EQ(got.size(), pieces.size());
    EXPECT_FALSE(got[1].empty());  // the long line has features of its own
    if (pieces.size() == 3) continue;  // one read each: nothing was cut

    // The same documents, each given whole: a piece of read_max characters
    // fits in one read only without its line end, so it goes last.
    std::string separate;
    std::vector<size_t> order;
    for (size_t k = 0; k < pieces.size(); ++k) {
      if (pieces[k].size() == read_max) continue;
      separate += pieces[k] + "\n";
      order.push_back(k);
    }
    for (size_t k = 0; k < pieces.size(); ++k) {
      if (pieces[k].size() != read_max) continue;
      separate += pieces[k];
      order.push_back(k);
    }
    const std::vector<std::string> reference = split_lines(voks_of(separate));
    ASSERT_EQ(reference.size(), pieces.size());
    for (size_t k = 0; k < order.size(); ++k)
      EXPECT_EQ(got[order[k]], reference[k]) << "document " << order[k];
  }
}

// ---- option values at the edges of the conversions ---------------------------

TEST_F(Hostile, AbsurdOptionValues) {
  const std::string text = kDocs + kDocs + "ab ac ad\n";
  const std::string normal = voks_of(text);
  ASSERT_NE(normal.find_first_not_of('\n'), std::string::npos);
  const std::string empty_lines(std::count(text.begin(), text.end(), '\n'),
                                '\n');
  struct option_case {
    std::vector<std::string> options;
    const char* expect;  // "invalid", "same" as the defaults, "none" selected
  };
  const option_case cases[] = {
      {{"-l", "99999999999999999999"}, "invalid"},  // above max_freq 8000
      {{"-l", "99999999999999999999", "-h", "99999999999999999999"}, "none"},
      {{"-h", "-99999999999999999999"}, "invalid"},
      {{"-b", "99999999999999999999"}, "none"},
      {{"-s", "4294967297"}, "invalid"},
      {{"-s", "18446744073709551617"}, "invalid"},
      {{"-s", "-1"}, "invalid"},
      {{"-p", "nan"}, "invalid"},
      {{"-q", "-nan"}, "invalid"},
      {{"-p", "-inf"}, "invalid"},
      {{"-q", "1e-400"}, "invalid"},  // underflows to 0
      {{"-p", "inf"}, "same"},
      {{"-q", "infinity"}, "same"},
      {{"-p", "1e400"}, "same"},  // overflows to infinity
      {{"-p", "5"}, "same"},
  };
  for (const option_case& c : cases) {
    std::string shown;
    for (const std::string& o : c.options) shown += o + " ";
    SCOPED_TRACE(shown);
    fs::remove(dir_ / "out.voks");
    std::vector<std::string> args = c.options;
    args.push_back("in.txt");
    args.push_back("out.voks");
    program_result r = vok(args, "in.txt");
    if (std::string(c.expect) == "invalid") {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, invalid_option());
      EXPECT_FALSE(fs::exists(dir_ / "out.voks"));
      continue;
    }
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir_ / "out.voks"),
              std::string(c.expect) == "same" ? normal : empty_lines);
  }
  // The smallest positive double is a valid bound: the run completes.
  EXPECT_EQ(split_lines(voks_of(text, {"-p", "0x1p-1074", "-q", "4.9e-324"}))
                .size(),
            split_lines(normal).size());
}

}  // namespace
