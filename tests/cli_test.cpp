// The vok executable end to end: messages, exit statuses and the files it
// leaves, run in a fresh temporary directory per test.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "options.h"
#include "run.h"
#include "run_program.h"
#include "stree_internal.h"

namespace fs = std::filesystem;

namespace {

size_t count_lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

std::string open_failed(const std::string& path) {
  return "Error: failed to open file " + path + ".\n\n";
}
std::string read_failed(const std::string& path) {
  return "Error: failed to read file " + path + ".\n\n";
}
const char kSame[] = "Error: the input and output files are the same.\n\n";

class Cli : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  program_result vok(std::vector<std::string> args) {
    args.insert(args.begin(), VOK_BINARY);
    return run_program(args, {.dir = dir_.string()});
  }
  // Runs vok on the text as input "in.txt" and returns the output file.
  std::string voks_of(const std::string& text, int* status = nullptr) {
    write_file(dir_ / "in.txt", text);
    program_result r = vok({"in.txt", "out.voks"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    if (status) *status = r.status;
    return read_file(dir_ / "out.voks");
  }

  temp_dir tmp_;
  const fs::path dir_ = tmp_.path();
};

// ---- command line ----------------------------------------------------------

TEST_F(Cli, UsageMessagesAndStatuses) {
  const std::string usage = usage_text();
  program_result r = vok({"-?"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, usage);

  r = vok({"-?", "in", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, usage);

  // Every refusal prints its message (if any) and the usage text, status 1.
  const std::string invalid = "Error: invalid option.\n\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{}, ""},
      {{"in"}, ""},
      {{"-x", "in", "out"}, "Error: unrecognized option -x!\n\n"},
      {{"-s", "2", "in", "out"}, invalid},
      {{"-l3", "in", "out"}, invalid},
      {{"-q", "nan", "in", "out"}, invalid},
      {{"-l", "99999999999999999999", "in", "out"}, invalid},
      {{"-b"}, ""},  // value missing
  };
  for (const auto& [args, message] : refused) {
    r = vok(args);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, message + usage) << args.size();
  }

  // None of these got as far as the files.
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(Cli, ExtraArgumentsAreIgnoredAndOptionsAccepted) {
  write_file(dir_ / "in.txt", "ab\nac\n");
  program_result r = vok({"-h", "2", "-p", "5", "-q", "inf", "in.txt",
                          "out.voks", "extra"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(dir_ / "extra"));
  // With max_freq 2 nothing can be selected.
  EXPECT_EQ(read_file(dir_ / "out.voks"), "\n\n");
}

// ---- opening the files -----------------------------------------------------

TEST_F(Cli, MissingInputNeverCreatesTheOutput) {
  program_result r = vok({"nothere.txt", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed("nothere.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));
}

TEST_F(Cli, UnopenableOutput) {
  write_file(dir_ / "in.txt", "ab\n");
  program_result r = vok({"in.txt", "no/such/dir/out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed("no/such/dir/out.voks"));

  fs::create_directory(dir_ / "outdir");
  r = vok({"in.txt", "outdir"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed("outdir"));
}

TEST_F(Cli, OutputThatCannotBeWritten) {
  write_file(dir_ / "in.txt", "ab\nac\n");
  program_result r = vok({"in.txt", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: failed to write file /dev/full.\n\n");

  // Enough output to fill the writer's buffer many times over.
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "ab ac ab ac ab ac ab ac ab ac\n";
  write_file(dir_ / "many.txt", many);
  r = vok({"many.txt", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: failed to write file /dev/full.\n\n");
}

TEST_F(Cli, DirectoryAsInput) {
  fs::create_directory(dir_ / "docs");
  program_result r = vok({"docs", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, read_failed("docs"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));
}

TEST_F(Cli, InputThatCannotBeRewound) {
  fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Holding the FIFO open for writing lets vok open it without blocking.
  int fd = open(fifo.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "ab\nac\n", 6), 6);
  program_result r = vok({"fifo", "out.voks"});
  close(fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, read_failed("fifo"));
  EXPECT_FALSE(fs::exists(dir_ / "out.voks"));

  // Standard input from a pipe, named as a path.
  r = run_in_child([&]() {
    int p[2];
    if (pipe(p) != 0) return 125;
    if (write(p[1], "ab\n", 3) != 3) return 125;
    close(p[1]);
    dup2(p[0], STDIN_FILENO);
    if (chdir(dir_.c_str()) != 0) return 126;
    char* argv[] = {const_cast<char*>(VOK_BINARY),
                    const_cast<char*>("/dev/stdin"),
                    const_cast<char*>("out2.voks"), nullptr};
    execv(VOK_BINARY, argv);
    return 127;
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, read_failed("/dev/stdin"));
}

TEST_F(Cli, OutputNamingTheInputIsRefused) {
  const std::string text = "ab\nac\n";
  write_file(dir_ / "in.txt", text);
  fs::create_hard_link(dir_ / "in.txt", dir_ / "link.txt");
  fs::create_symlink("in.txt", dir_ / "sym.txt");
  fs::create_directory(dir_ / "sub");
  const std::vector<std::string> outputs = {
      "in.txt", "./in.txt", "sub/../in.txt", "link.txt", "sym.txt",
      (dir_ / "in.txt").string()};
  for (const std::string& out : outputs) {
    SCOPED_TRACE(out);
    program_result r = vok({"in.txt", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSame);
    EXPECT_EQ(read_file(dir_ / "in.txt"), text);
  }
}

TEST_F(Cli, LongPathsWork) {
  // A 1000-character output path in nested directories, and a long input.
  fs::path nested = dir_;
  std::string relative;
  for (int i = 0; i < 9; ++i) {
    std::string part(100, static_cast<char>('a' + i));
    nested /= part;
    relative += part + "/";
  }
  fs::create_directories(nested);
  std::string out = relative + std::string(1000 - relative.size(), 'z');
  ASSERT_EQ(out.size(), 1000u);
  std::string in = relative + std::string(200, 'i');
  write_file(dir_ / in, "ab\nac\n");
  program_result r = vok({in, out});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir_ / out), "1 \n1 \n");

  // Messages show long paths whole.
  std::string missing = relative + std::string(300, 'm');
  r = vok({missing, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, open_failed(missing));
}

// ---- documents -------------------------------------------------------------

TEST_F(Cli, TwoDocumentsShareOneFeature) {
  // "a" is the only node with two occurrences and two branches; it is the
  // first node after the root in preorder.
  EXPECT_EQ(voks_of("ab\nac\n"), "1 \n1 \n");
}

TEST_F(Cli, LineEndsDoNotMatter) {
  const std::string expected = voks_of("ab\nac\n");
  EXPECT_EQ(voks_of("ab\r\nac\r\n"), expected);
  EXPECT_EQ(voks_of("ab\nac"), expected);
  EXPECT_EQ(voks_of("ab\r\nac"), expected);
  EXPECT_EQ(voks_of("ab\r\r\nac\r"), expected);
  // A lone CR is not a line end inside a line.
  EXPECT_EQ(count_lines(voks_of("ab\rac\n")), 1u);
}

TEST_F(Cli, DocumentEndsAtItsFirstNul) {
  const std::string expected = voks_of("ab\nac\n");
  EXPECT_EQ(voks_of(std::string("ab\0zzzz\nac\n", 11)), expected);
  EXPECT_EQ(voks_of(std::string("ab\0\nac\0\0\r\n", 10)), expected);
  // A line of NULs only is an empty document.
  EXPECT_EQ(voks_of(std::string("\0\0\n", 3)), "\n");
}

TEST_F(Cli, EmptyInputsAndEmptyLines) {
  int status = -1;
  EXPECT_EQ(voks_of("", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "out.voks"));
  EXPECT_EQ(voks_of("\n\n\n"), "\n\n\n");
  EXPECT_EQ(voks_of("\r\n\n"), "\n\n");
  // Empty documents take numbers of their own between the others.
  std::string out = voks_of("ab\n\nac\n\n");
  EXPECT_EQ(count_lines(out), 4u);
  EXPECT_EQ(out, "1 \n\n1 \n\n");
}

TEST_F(Cli, IdenticalLinesGiveIdenticalOutputLines) {
  std::string out = voks_of("the cat sat\nthe cat sat\nthe dog ran\n");
  ASSERT_EQ(count_lines(out), 3u);
  std::string first = out.substr(0, out.find('\n'));
  std::string second = out.substr(first.size() + 1, first.size());
  EXPECT_EQ(first, second);
  EXPECT_EQ(out[2 * first.size() + 1], '\n');
}

TEST_F(Cli, DocumentLimit) {
  std::string text;
  for (int i = 0; i < 8192; ++i) text += "d" + std::to_string(i) + "\n";
  write_file(dir_ / "in.txt", text);
  program_result r = vok({"in.txt", "out.voks"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(count_lines(read_file(dir_ / "out.voks")), 8192u);

  write_file(dir_ / "in.txt", text + "one too many\n");
  r = vok({"in.txt", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Error: the program can only process at most 8192 documents."
            "\n\n");
  EXPECT_TRUE(fs::exists(dir_ / "out.voks"));
  EXPECT_EQ(read_file(dir_ / "out.voks"), "");

  // An empty 8193rd line is a document too.
  write_file(dir_ / "in.txt", text + "\n");
  r = vok({"in.txt", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count_lines(r.out), 2u);
}

TEST_F(Cli, ByteOutsideTheAlphabetNamesItsDocument) {
  for (int k : {0, 1, 4}) {
    SCOPED_TRACE(k);
    std::string text;
    for (int i = 0; i < 6; ++i)
      text += i == k ? std::string("bad \x80 doc\n")
                     : "doc " + std::to_string(i) + "\n";
    write_file(dir_ / "in.txt", text);
    program_result r = vok({"in.txt", "out.voks"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error: failed to add the doc (id=" + std::to_string(k) +
                         ")       becuse the program ran out of memory.\n\n");
    EXPECT_TRUE(fs::exists(dir_ / "out.voks"));
    EXPECT_EQ(read_file(dir_ / "out.voks"), "");
  }
  // Any byte of 0x80 and above.
  write_file(dir_ / "in.txt", "ok\nfine\xff\n");
  program_result r = vok({"in.txt", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: failed to add the doc (id=1)       becuse the "
                   "program ran out of memory.\n\n");
}

// Words over a small alphabet, so the text repeats like prose.
std::string random_words(std::mt19937& rng, size_t len) {
  std::string s;
  while (s.size() < len) {
    s += rng() % 6 == 0 ? ' ' : static_cast<char>('a' + rng() % 5);
  }
  return s;
}

TEST_F(Cli, LongLinesArriveInPieces) {
  const size_t piece = VOK_LINE_BUFFER - 1;  // 524,287 characters a read
  std::mt19937 rng(99);
  std::string line = random_words(rng, piece + 100);
  std::string head = line.substr(0, piece), tail = line.substr(piece);

  std::string whole = voks_of("short one\n" + line + "\nend\n");
  ASSERT_EQ(count_lines(whole), 4u);

  // The pieces given as lines of their own are the same documents: a line
  // of exactly one piece leaves its line end to the next read, which is no
  // document of its own.
  std::string split = voks_of("short one\n" + head + "\n" + tail + "\nend\n");
  EXPECT_EQ(whole, split);
  EXPECT_EQ(voks_of("short one\r\n" + head + "\r\n" + tail + "\r\nend\r\n"),
            whole);
}

// ---- the driver's own failures ---------------------------------------------

TEST_F(Cli, InputThatChangesBetweenThePasses) {
  // The reading process's own I/O counters: the second read shows the
  // bytes the first one took, so the lines differ between the passes.
  if (access("/proc/self/io", R_OK) != 0) GTEST_SKIP() << "no /proc/self/io";
  program_result r = vok({"/proc/self/io", "out.voks"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Error: the input file changed while it was being read.\n\n");
}

TEST_F(Cli, TreeThatCannotBeCreated) {
  write_file(dir_ / "in.txt", "ab\nac\n");
  fs::path in = dir_ / "in.txt", out = dir_ / "out.voks";
  program_result r = run_in_child([&]() {
    stree_pool_fail_at(1);  // the root's record
    return vok_run(vok_settings(), in.c_str(), out.c_str());
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: the program ran out of memory.\n\n");
  EXPECT_EQ(read_file(out), "");
}

TEST_F(Cli, RunsInOneProcessOneAfterAnother) {
  write_file(dir_ / "in.txt", "ab\nac\n");
  fs::path in = dir_ / "in.txt", out = dir_ / "out.voks";
  program_result r = run_in_child([&]() {
    int a = vok_run(vok_settings(), in.c_str(), out.c_str());
    int b = vok_run(vok_settings(), in.c_str(), out.c_str());
    return a * 10 + b;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(out), "1 \n1 \n");
}

// ---- trim_line_end ---------------------------------------------------------

TEST(TrimLineEnd, RemovesEveryTrailingCrAndLf) {
  std::mt19937 rng(5);
  const char alphabet[] = "ab\r\n \t";
  for (int round = 0; round < 5000; ++round) {
    std::string s;
    int len = static_cast<int>(rng() % 10);
    for (int i = 0; i < len; ++i) s += alphabet[rng() % 6];
    std::string want = s;
    while (!want.empty() && (want.back() == '\r' || want.back() == '\n'))
      want.pop_back();
    // Exactly the characters of s, so a look before text[0] is caught by
    // the address sanitizer.
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    char* heap = static_cast<char*>(std::malloc(buf.size()));
    std::copy(buf.begin(), buf.end(), heap);
    int32_t got = trim_line_end(heap);
    ASSERT_EQ(got, static_cast<int32_t>(want.size())) << s;
    EXPECT_EQ(std::string(heap), want);
    EXPECT_EQ(heap[got], '\0');
    std::free(heap);
  }
}

}  // namespace
