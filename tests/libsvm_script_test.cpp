// examples/to_libsvm.sh, run through /bin/sh, against a re-computation of
// the LIBSVM lines from the voks file and the labels: indices are feature
// numbers plus one in ascending decimal, counts sum repeated features, and
// names become class numbers in order of first appearance.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

const std::string kScript =
    (fs::path(VOK_SOURCE_DIR) / "examples" / "to_libsvm.sh").string();

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool is_number(const std::string& s) {
  if (s.empty()) return false;
  size_t used = 0;
  try {
    std::stod(s, &used);
  } catch (...) {
    return false;
  }
  return used == s.size() && s.find_first_of("xXnNiI") == std::string::npos;
}

std::string trim(std::string s) {
  if (!s.empty() && s.back() == '\r') s.pop_back();
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// What the script must print for the voks text and the labels; `classes`
// receives the names in order of their class numbers.
std::string expected_output(const std::string& voks, const std::string& labels,
                            std::vector<std::string>* classes) {
  std::vector<std::string> docs = lines_of(voks), names = lines_of(labels);
  std::map<std::string, int> class_of;
  std::string out;
  for (size_t k = 0; k < docs.size(); ++k) {
    std::string label = trim(names.at(k));
    if (!is_number(label)) {
      if (!class_of.count(label)) {
        classes->push_back(label);
        class_of[label] = static_cast<int>(classes->size());
      }
      label = std::to_string(class_of[label]);
    }
    std::map<unsigned long, int> counts;  // ordered by index
    std::istringstream tokens(docs[k]);
    for (std::string t; tokens >> t;) ++counts[std::stoul(t, nullptr, 16) + 1];
    out += label;
    for (const auto& [index, count] : counts)
      out += " " + std::to_string(index) + ":" + std::to_string(count);
    out += "\n";
  }
  return out;
}

std::string class_report(const std::vector<std::string>& classes) {
  std::string s;
  for (size_t i = 0; i < classes.size(); ++i)
    s += "to_libsvm.sh: class " + std::to_string(i + 1) + " = " + classes[i] +
         "\n";
  return s;
}

class LibsvmScript : public ::testing::Test {
 protected:
  program_result convert(const std::string& voks, const std::string& labels) {
    write_file(dir_ / "in.voks", voks);
    write_file(dir_ / "labels.txt", labels);
    return run_program({"/bin/sh", kScript, "in.voks", "labels.txt"},
                       {.dir = dir_.path().string()});
  }
  // Runs the script and checks its output and class report.
  void check(const std::string& voks, const std::string& labels) {
    std::vector<std::string> classes;
    const std::string want = expected_output(voks, labels, &classes);
    program_result r = convert(voks, labels);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, class_report(classes));
  }

  temp_dir dir_;
};

TEST_F(LibsvmScript, HandmadeFile) {
  const std::string voks = "a 3 a \n\n0 ff 10 3 \n7fffff \n";
  const std::string labels = "+1\n-1\r\n 2 \nspam\n\n";
  program_result r = convert(voks, labels);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "+1 4:1 11:2\n"
            "-1\n"
            "2 1:1 4:1 17:1 256:1\n"
            "1 8388608:1\n");
  EXPECT_EQ(r.err, "to_libsvm.sh: class 1 = spam\n");
  check(voks, labels);
}

TEST_F(LibsvmScript, RandomFiles) {
  std::mt19937 rng(17);
  const std::vector<std::string> label_pool = {
      "1", "-1", "+1", "0", "2.5", "3e2", "sports", "tech", "news item", "x1"};
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE(round);
    std::string voks, labels;
    int lines = static_cast<int>(rng() % 20);
    for (int k = 0; k < lines; ++k) {
      // Few distinct numbers on some lines (many repeats), many on others
      // (a long sort).
      uint32_t range = rng() % 2 ? 8 : 0x7fffff;
      int tokens = static_cast<int>(rng() % (rng() % 5 == 0 ? 3000 : 30));
      for (int t = 0; t < tokens; ++t) {
        std::ostringstream hex;
        hex << std::hex << rng() % range;
        voks += hex.str() + " ";
      }
      voks += "\n";
      labels += label_pool[rng() % label_pool.size()] + "\n";
    }
    check(voks, labels);
    if (HasFailure()) return;
  }
}

TEST_F(LibsvmScript, SampleCorpus) {
  const fs::path examples = fs::path(VOK_SOURCE_DIR) / "examples";
  program_result v = run_program({VOK_BINARY, (examples / "sample.txt").string(),
                                  (dir_ / "sample.voks").string()});
  ASSERT_EQ(v.status, 0) << v.out;
  const std::string voks = read_file(dir_ / "sample.voks");
  const std::string labels = read_file(examples / "labels.txt");
  ASSERT_EQ(lines_of(labels).size(), lines_of(voks).size());
  std::vector<std::string> classes;
  const std::string want = expected_output(voks, labels, &classes);
  EXPECT_EQ(classes.size(), 8u);

  program_result r = run_program({"/bin/sh", kScript,
                                  (dir_ / "sample.voks").string(),
                                  (examples / "labels.txt").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.err, class_report(classes));
}

TEST_F(LibsvmScript, RefusesMismatchedOrBrokenInput) {
  struct refusal {
    std::string voks, labels, message;
  };
  const std::vector<refusal> cases = {
      {"1 \n2 \n", "1\n", "labels.txt ends before line 2 of the voks file"},
      {"1 \n", "1\n2\n", "labels.txt has more lines than the voks file (1)"},
      {"1 \n2 \n", "1\n \n", "empty label on line 2 of labels.txt"},
      {"1 G \n", "1\n", "line 1 of the voks file: \"G\" is not a feature"},
      {"0x1 \n", "1\n", "\"0x1\" is not a feature number"},
  };
  for (const refusal& c : cases) {
    SCOPED_TRACE(c.message);
    program_result r = convert(c.voks, c.labels);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("to_libsvm.sh: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }

  program_result r = run_program({"/bin/sh", kScript, "in.voks"},
                                 {.dir = dir_.path().string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "usage: to_libsvm.sh voks_file labels_file\n");
  write_file(dir_ / "labels.txt", "1\n");
  r = run_program({"/bin/sh", kScript, "missing.voks", "labels.txt"},
                  {.dir = dir_.path().string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "to_libsvm.sh: cannot read missing.voks\n");
}

}  // namespace
