// Nothing lost: a run that fails or is stopped by SIGINT, SIGTERM or SIGHUP
// in any phase leaves the previous output byte for byte as it was and no
// new file beside it; a run that succeeds replaces it, keeping its
// permissions and writing through a symbolic link.  Each run is a child
// process, stopped by its own watcher at the first step of a phase; then
// the progress line on a terminal, which must move while the tree is built
// and be gone after SIGINT.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>

#include "testing.h"
#include "tool.h"

namespace {

namespace fs = std::filesystem;

struct stop_at {
  const char* phase;
  int sig;
};

void stop_here(void* data, const char* phase) {
  const auto* s = static_cast<const stop_at*>(data);
  if (std::strcmp(phase, s->phase) == 0) raise(s->sig);
}

// The exit status of vok_run (vok_apply for VOK_APPLIED, on in.txt twice)
// in a child process, as 128 + the signal when one ended it; the child may
// first lower its file-size limit to `fsize` bytes, and with `nobody` give
// up root's rights (which would let it write any file).
int run_child(const fs::path& dir, const vok_settings& s, vok_product product,
              const stop_at* stop, long fsize = -1, bool nobody = false) {
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (nobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(98);
    if (fsize >= 0) {
      const rlimit limit{rlim_t(fsize), rlim_t(fsize)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (!freopen("/dev/null", "w", stdout)) _exit(99);
    const vok_watch watch{stop_here, const_cast<stop_at*>(stop)};
    const vok_watch* w = stop ? &watch : nullptr;
    const std::string in = (dir / "in.txt").string(), out = (dir / "out").string();
    _exit(product == VOK_APPLIED ? vok_apply(s, in.c_str(), in.c_str(), out.c_str(), w)
                                 : vok_run(s, in.c_str(), out.c_str(), product, w));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// The files of the directory but in.txt and out.
std::set<std::string> others(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename() != "in.txt" && e.path().filename() != "out")
      names.insert(e.path().filename().string());
  return names;
}

class Replace : public ::testing::Test {
 protected:
  fs::path dir_ = fs::temp_directory_path() / ("vok-replace-" + std::to_string(getpid()));
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
};

// Text of about 100 KB, so that every phase of the tree reports at least
// once, in both layouts.
std::string corpus() {
  std::mt19937 rng(5);
  std::string text;
  while (text.size() < 100000) {
    for (int w = 10 + int(rng() % 40); w > 0; --w)
      text += std::string("kartoriminsalovedepri", rng() % 12, 2 + rng() % 6) + " ";
    text += "\n";
  }
  return text;
}

TEST_F(Replace, SignalsInEveryPhaseKeepTheOldOutput) {
  write("in.txt", corpus());
  const std::string old = "the previous output\n";
  for (bool wide : {false, true})
    for (vok_product product : {VOK_BAGS, VOK_DICTIONARY, VOK_APPLIED, VOK_FITTED}) {
      vok_settings s;
      s.wide = wide;
      s.threads = wide ? 2 : 1;  // on threads the output is written beside the formatting
      // Only a model and new documents follow suffix links (the rule on
      // them is off): the other products' trees are never linked.
      std::vector<const char*> phases = {"reading", "sorting", "building", "selecting", "writing"};
      if (product == VOK_APPLIED || product == VOK_FITTED)
        phases.insert(phases.begin() + 3, "linking");
      if (product == VOK_APPLIED) phases.back() = "applying";
      const int signals[] = {SIGINT, SIGTERM, SIGHUP};
      int turn = 0;
      for (const char* phase : phases) {
        const int sig = signals[turn++ % 3];
        write("out", old);
        const stop_at stop{phase, sig};
        const std::string where = std::string(wide ? "-w " : "") + std::to_string(product) +
                                  " stopped by " + strsignal(sig) + " while " + phase;
        EXPECT_EQ(run_child(dir_, s, product, &stop), 128 + sig) << where;
        EXPECT_EQ(tool::read_file(dir_ / "out"), old) << where;
        EXPECT_EQ(others(dir_), std::set<std::string>{}) << where;
      }
    }
}

// Failures in the first pass, in the build and selection (no memory, by
// the pool's test hook in the child), and while writing (a file-size limit)
// keep the old output; success replaces it with the old permission bits,
// through a symbolic link.
TEST_F(Replace, FailuresKeepTheOldOutputAndSuccessReplacesIt) {
  const std::string text = corpus();
  const std::string old = "the previous output\n";
  struct {
    const char* what;
    std::string in;
    bool wide;
    long fsize;
    long pool_fails_from;
  } rows[] = {
      {"a byte the tree refuses", "ab\nc\xe9\n", false, -1, 0},
      {"too many documents", std::string(8193, '\n'), false, -1, 0},
      {"the output past the file-size limit", text, false, 1000, 0},
      {"-w: the output past the file-size limit", text, true, 1000, 0},
      {"the output past the limit only when flushed at the end", [] {
         std::string small;
         for (int k = 0; k < 300; ++k) small += "ab\nac\n";
         return small;
       }(), false, 100, 0},
      {"no memory from the first record on", text, false, -1, 1},
      {"-w: no memory from the first record on", text, true, -1, 1},
      {"-w: no memory late in the build", text, true, -1, 50000},
  };
  for (const auto& row : rows) {
    write("in.txt", row.in);
    write("out", old);
    vok_settings s;
    s.wide = row.wide;
    s.threads = row.wide ? 2 : 1;
    vok_testing_fail_from(row.wide, row.pool_fails_from);
    const int status = run_child(dir_, s, VOK_BAGS, nullptr, row.fsize);
    vok_testing_fail_from(row.wide, 0);
    EXPECT_EQ(status, 1) << row.what;
    EXPECT_EQ(tool::read_file(dir_ / "out"), old) << row.what;
    EXPECT_EQ(others(dir_), std::set<std::string>{}) << row.what;
  }
  write("in.txt", "ab\nac\n");
  chmod((dir_ / "out").c_str(), 0444);  // a file its user may not write
  chmod(dir_.c_str(), 0777);
  EXPECT_EQ(run_child(dir_, vok_settings(), VOK_BAGS, nullptr, -1, true), 1);
  EXPECT_EQ(tool::read_file(dir_ / "out"), old);
  EXPECT_EQ(others(dir_), std::set<std::string>{});
  write("target", old);
  fs::remove(dir_ / "out");
  fs::create_symlink("target", dir_ / "out");
  chmod((dir_ / "target").c_str(), 0640);
  EXPECT_EQ(run_child(dir_, vok_settings(), VOK_BAGS, nullptr), 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "out"));
  EXPECT_EQ(tool::read_file(dir_ / "target"), "1 \n1 \n");
  struct stat st;
  ASSERT_EQ(stat((dir_ / "target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(others(dir_), std::set<std::string>{"target"});
}

// On a terminal the line moves while the tree is built: at least two
// different states of it between reading and writing, and the erasing
// sequence comes last after SIGINT.
TEST_F(Replace, ProgressMovesAndIsErasedOnInterrupt) {
  if (system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
  std::mt19937 rng(9);
  std::string text;
  while (text.size() < (16u << 20)) {  // seconds of work, well past the kill
    for (int w = 20 + int(rng() % 60); w > 0; --w)
      text += std::string("kartoriminsalovedepri", rng() % 12, 2 + rng() % 8) + " ";
    text += "\n";
  }
  write("in.txt", text);
  const std::string cmd = "cd '" + dir_.string() + "' && VOK='" VOK_BINARY "' script -qfec "
                          "'\"$VOK\" -w in.txt out & sleep 1.5; kill -INT $!; wait' /dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string seen;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) seen.append(buf, n);
  pclose(p);
  std::set<std::string> states;
  for (size_t at = 0; (at = seen.find("vok: ", at)) != std::string::npos; ++at) {
    const std::string line = seen.substr(at, seen.find('\r', at) - at);
    if (line.find("reading") == std::string::npos) states.insert(line);
  }
  EXPECT_GE(states.size(), 2u) << seen;
  const size_t last_line = seen.rfind("vok: "), last_erase = seen.rfind("\r\033[K");
  EXPECT_TRUE(last_line != std::string::npos && last_erase != std::string::npos &&
              last_erase > last_line) << seen;
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  EXPECT_EQ(others(dir_), std::set<std::string>{});
}

}  // namespace
