// Whole runs of the vok executable on 2 MiB of prose under a limit on its
// address space (RLIMIT_AS), from too little to start up, through running
// out in the middle of the first pass and at the per-node arrays, to enough.  Every run
// must either write the same output as a run without limit and exit 0, or
// print the add-failure or out-of-memory message, exit 1 and leave an empty
// output file.  A run ended by a signal (an uncaught std::bad_alloc, a
// null-pointer access) or one that hangs fails the test.
//
// Under AddressSanitizer the limit would fall on the sanitizer's shadow
// memory instead of on vok, so the sanitized build skips these tests.
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_program.h"

#if defined(__SANITIZE_ADDRESS__)
#define VOK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOK_UNDER_ASAN 1
#endif
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutSeconds = 300;

// Runs VOK_BINARY with the arguments in `dir` and its address space limited
// to `limit` bytes (0: no limit).
program_result run_limited(const std::vector<std::string>& args,
                           const fs::path& dir, rlim_t limit) {
  std::vector<std::string> argv{VOK_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, {.dir = dir.string(),
                            .timeout_seconds = kTimeoutSeconds,
                            .address_space = limit});
}

// About `size` bytes of text that reads like prose: lines of 10 to 140
// words drawn with Zipf frequencies from a vocabulary of made-up words, with
// some punctuation and capitals.  Deterministic: its own generator, no
// library distribution.
[[maybe_unused]] std::string prose(size_t size) {
  uint64_t state = 0x9e3779b97f4a7c15ull;
  auto next = [&state]() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<uint32_t>((state * 0x2545f4914f6cdd1dull) >> 32);
  };
  static const char* const kSyllables[] = {
      "ka", "to", "ri", "men", "sa", "lo", "ve", "na", "de", "pri", "stu",
      "gor", "el", "an", "qu", "is", "th", "er", "ou", "ing", "a", "e"};
  constexpr int kSyllableCount = sizeof kSyllables / sizeof kSyllables[0];
  constexpr int kVocabulary = 4000;
  std::vector<std::string> vocabulary;
  std::vector<double> cumulative;
  double total = 0;
  for (int i = 0; i < kVocabulary; ++i) {
    std::string w;
    for (int n = 1 + static_cast<int>(next() % 4); n > 0; --n)
      w += kSyllables[next() % kSyllableCount];
    vocabulary.push_back(w);
    total += 1.0 / (i + 1);
    cumulative.push_back(total);
  }
  std::string text;
  while (text.size() < size) {
    int words = 10 + static_cast<int>(next() % 131);
    bool sentence_start = true;
    for (int k = 0; k < words; ++k) {
      double u = (next() / 4294967296.0) * total;
      size_t i = std::lower_bound(cumulative.begin(), cumulative.end(), u) -
                 cumulative.begin();
      std::string w = vocabulary[std::min(i, vocabulary.size() - 1)];
      if (sentence_start) w[0] = static_cast<char>(w[0] - 'a' + 'A');
      sentence_start = false;
      text += w;
      uint32_t p = next() % 100;
      if (k + 1 == words || p < 6) {
        text += '.';
        sentence_start = true;
      } else if (p < 12) {
        text += ',';
      }
      text += k + 1 == words ? '\n' : ' ';
    }
  }
  return text;
}

const char kOutOfMemory[] = "Error: the program ran out of memory.\n\n";
const char kAddFailedStart[] = "Error: failed to add the doc (id=";
const char kAddFailedEnd[] = ")       becuse the program ran out of memory.\n\n";

// Whether `out` is the add-failure message for some document id below
// `docs`.
bool is_add_failure(const std::string& out, size_t docs) {
  const size_t head = sizeof kAddFailedStart - 1;
  const size_t tail = sizeof kAddFailedEnd - 1;
  if (out.size() <= head + tail || out.compare(0, head, kAddFailedStart) != 0 ||
      out.compare(out.size() - tail, tail, kAddFailedEnd) != 0)
    return false;
  std::string id = out.substr(head, out.size() - head - tail);
  if (id.empty() || id.size() > 5 ||
      id.find_first_not_of("0123456789") != std::string::npos)
    return false;
  return std::stoul(id) < docs;
}

class MemoryLimit : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifndef VOK_UNDER_ASAN
    std::string pattern = (fs::temp_directory_path() / "vok-memory-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = new fs::path(pattern);
    text_ = new std::string(prose(2u << 20));
    std::ofstream(*dir_ / "in.txt", std::ios::binary) << *text_;
    program_result r = run_limited({"in.txt", "full.voks"}, *dir_, 0);
    ASSERT_EQ(r.status, 0) << r.out;
    expected_ = new std::string(read_file(*dir_ / "full.voks"));
#endif
  }
  static void TearDownTestSuite() {
    if (dir_) {
      std::error_code ec;
      fs::remove_all(*dir_, ec);
    }
    delete dir_;
    delete text_;
    delete expected_;
    dir_ = nullptr;
    text_ = nullptr;
    expected_ = nullptr;
  }
  void SetUp() override {
#ifdef VOK_UNDER_ASAN
    GTEST_SKIP() << "an address-space limit cannot be combined with "
                    "AddressSanitizer's shadow memory";
#endif
    ASSERT_NE(expected_, nullptr);
  }

  // What one run under the limit did.
  enum class outcome { did_not_start, success, add_failure, out_of_memory };

  // Runs vok on the prose with its address space limited to `limit` bytes
  // and checks the run against the rules; returns what happened.
  static outcome run_at(rlim_t limit) {
    SCOPED_TRACE("limit " + std::to_string(limit >> 10) + " KiB");
    const fs::path out = *dir_ / "out.voks";
    fs::remove(out);
    program_result r = run_limited({"in.txt", "out.voks"}, *dir_, limit);
    EXPECT_EQ(read_file(*dir_ / "in.txt"), *text_) << "the input changed";
    if (!r.started) return outcome::did_not_start;
    EXPECT_NE(r.status, -1) << "vok hung";
    if (!fs::exists(out) && r.out.empty()) {
      // The dynamic loader could not map the program's libraries (status
      // 127), or, under the smallest limits, the kernel could not even set
      // up the process and killed it before the loader ran.
      if (r.status == 127) return outcome::did_not_start;
      if (r.status > 128 && r.err.empty() && limit < 4 * (1u << 20))
        return outcome::did_not_start;
    }
    EXPECT_LT(r.status, 128) << "vok was killed by signal " << r.status - 128
                             << "; standard error: " << r.err;
    if (r.status == 0) {
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(read_file(out) == *expected_)
          << "the output differs from the run without limit";
      return outcome::success;
    }
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, "");
    const size_t docs = std::count(text_->begin(), text_->end(), '\n');
    const bool add_failure = is_add_failure(r.out, docs);
    EXPECT_TRUE(add_failure || r.out == kOutOfMemory)
        << "unexpected message: " << r.out;
    EXPECT_TRUE(fs::exists(out));
    if (fs::exists(out)) {
      EXPECT_EQ(fs::file_size(out), 0u);
    }
    return add_failure ? outcome::add_failure : outcome::out_of_memory;
  }

  static fs::path* dir_;
  static std::string* text_;
  static std::string* expected_;
};

fs::path* MemoryLimit::dir_ = nullptr;
std::string* MemoryLimit::text_ = nullptr;
std::string* MemoryLimit::expected_ = nullptr;

constexpr rlim_t kMiB = 1u << 20;

TEST_F(MemoryLimit, TooLittleToStartIsNeverMistakenForSuccess) {
  for (rlim_t limit : {kMiB, 2 * kMiB, 3 * kMiB}) {
    outcome o = run_at(limit);
    EXPECT_NE(o, outcome::success);
  }
}

// Limits rising in steps of 8 MiB from where vok starts until a run
// succeeds, then in steps of 1 MiB from the last limit that failed: the
// runs on the way fail at startup or at the per-node arrays (the
// out-of-memory message) or in the first pass (the add-failure message),
// and every one of them fails cleanly.
TEST_F(MemoryLimit, EveryLimitGivesTheOutputOrAMessage) {
  std::vector<rlim_t> add_failures, out_of_memory;
  rlim_t limit = 0;
  auto run = [&](rlim_t l) {
    outcome o = run_at(l);
    if (o == outcome::add_failure) add_failures.push_back(l);
    if (o == outcome::out_of_memory) out_of_memory.push_back(l);
    return o;
  };
  for (limit = 4 * kMiB; run(limit) != outcome::success; limit += 8 * kMiB) {
    if (HasFailure()) return;
    ASSERT_LE(limit, 1024 * kMiB) << "no limit up to 1 GiB was enough";
  }
  for (rlim_t l = limit - 7 * kMiB; l < limit; l += kMiB) {
    if (run(l) == outcome::success) break;
    if (HasFailure()) return;
  }
  // A text of 2 MiB needs far more than vok's startup, so the steps must
  // have met failures in the first pass...
  ASSERT_GE(add_failures.size(), 3u);
  // ... and, since more memory never makes the first pass fail earlier,
  // the out-of-memory failures above the first add failure all lie above
  // the last one: they come from the per-node arrays, which must have been
  // met too.
  size_t at_arrays = 0;
  for (rlim_t l : out_of_memory) {
    if (l < add_failures.front()) continue;
    EXPECT_GT(l, add_failures.back());
    ++at_arrays;
  }
  EXPECT_GE(at_arrays, 1u);
  // Somewhat more than the smallest sufficient limit also succeeds.
  EXPECT_EQ(run_at(limit + 16 * kMiB), outcome::success);
  std::printf("[   INFO   ] %zu add failures, %zu at the arrays, success "
              "from %lu MiB\n",
              add_failures.size(), at_arrays,
              static_cast<unsigned long>(limit / kMiB));
}

}  // namespace
