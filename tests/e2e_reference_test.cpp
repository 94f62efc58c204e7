// Counting, selection and output on random small collections, checked
// against the brute-force model in reference.h: the node count, every
// record's count and flag by node number, and every output line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "output.h"
#include "output_index.h"
#include "run.h"
#include "reference.h"
#include "stree_internal.h"

namespace {

struct tree_deleter {
  void operator()(suffix_tree* t) const { stree_delete_tree(t); }
};
using tree_ptr = std::unique_ptr<suffix_tree, tree_deleter>;

tree_ptr build_tree(const std::vector<std::string>& docs) {
  tree_ptr tree(stree_new_tree(128, 1));
  if (!tree) return tree;
  for (size_t i = 0; i < docs.size(); ++i)
    if (stree_add_string(tree.get(), docs[i].c_str(),
                         static_cast<int32_t>(docs[i].size()),
                         static_cast<int32_t>(i)) != 1)
      return nullptr;
  return tree;
}

// Runs write_features on every document through a writer on a temporary
// file and returns the lines (without line ends); a document refused by
// write_features yields "<refused>".
std::vector<std::string> write_all(suffix_tree* tree,
                                   const std::vector<std::string>& docs,
                                   const vok_settings& settings,
                                   const unsigned char* selected) {
  auto out = std::make_unique<vok_writer>();
  out->file = std::tmpfile();
  std::vector<std::string> lines;
  if (!out->file) return lines;
  owned_selection o(tree, settings);
  if (!std::equal(o.selected.begin(), o.selected.end(), selected)) {
    lines.push_back("<selection differs>");
    std::fclose(out->file);
    return lines;
  }
  for (size_t i = 0; i < docs.size(); ++i) {
    const std::string& d = docs[i];
    if (!write_features(tree, static_cast<int32_t>(i), d.c_str(),
                        static_cast<int32_t>(d.size()), settings, o.sel,
                        out.get()))
      for (char c : std::string("<refused>")) vok_writer_put(out.get(), c);
    vok_writer_put(out.get(), '\n');
  }
  vok_writer_flush(out.get());
  std::rewind(out->file);
  std::string line;
  for (int c; (c = std::fgetc(out->file)) != EOF;) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  std::fclose(out->file);
  return lines;
}

std::string describe(const std::vector<std::string>& docs,
                     const vok_settings& s) {
  std::string d = "docs:";
  for (const std::string& doc : docs) d += " \"" + doc + "\"";
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "  -s %ld -l %ld -h %ld -b %ld -p %.10g -q %.10g",
                s.word_delimited, s.min_freq, s.max_freq, s.min_branches,
                s.max_parent_prob, s.max_link_prob);
  return d + buf;
}

std::vector<std::string> random_docs(std::mt19937& rng,
                                     const std::string& alphabet) {
  std::uniform_int_distribution<int> ndocs(1, 8), len(0, 14),
      pick(0, static_cast<int>(alphabet.size()) - 1), coin(0, 5);
  std::vector<std::string> docs(ndocs(rng));
  for (size_t i = 0; i < docs.size(); ++i) {
    if (i > 0 && coin(rng) == 0) {  // now and then a repeated document
      docs[i] = docs[i - 1];
      continue;
    }
    int n = len(rng);
    for (int k = 0; k < n; ++k) docs[i] += alphabet[pick(rng)];
  }
  return docs;
}

vok_settings random_settings(std::mt19937& rng) {
  static const double probs[] = {1.0,  0.5,       0.3333333333, 0.25,
                                 0.75, 2.0 / 3.0, 5.0};
  std::uniform_int_distribution<int> bit(0, 1), low(2, 5), branches(2, 4),
      prob(0, 6), high_kind(0, 3);
  vok_settings s;
  s.word_delimited = bit(rng);
  s.min_freq = low(rng);
  s.max_freq = high_kind(rng) == 0
                   ? 8000
                   : std::uniform_int_distribution<long>(s.min_freq, 20)(rng);
  s.min_branches = branches(rng);
  s.max_parent_prob = probs[prob(rng)];
  s.max_link_prob = probs[prob(rng)];
  return s;
}

// Checks one collection under several settings; returns false after the
// first mismatch so that the caller can stop.
bool check_collection(const std::vector<std::string>& docs, std::mt19937& rng) {
  tree_ptr tree = build_tree(docs);
  EXPECT_TRUE(tree) << describe(docs, vok_settings());
  if (!tree) return false;
  const reference_tree ref = reference_build(docs);
  const size_t n = ref.records.size();
  EXPECT_EQ(static_cast<size_t>(tree->num_nodes), n) << describe(docs, {});
  if (static_cast<size_t>(tree->num_nodes) != n) return false;

  const std::vector<uint32_t> freq = owned_selection(tree.get(), {}).counts;
  for (size_t id = 0; id < n; ++id) {
    EXPECT_EQ(freq[id], ref.records[id].freq)
        << "count of \"" << ref.records[id].label << "\" (node " << id << ")  "
        << describe(docs, {});
    if (freq[id] != ref.records[id].freq) return false;
  }

  for (int round = 0; round < 3; ++round) {
    const vok_settings s = random_settings(rng);
    const std::vector<unsigned char> selected =
        owned_selection(tree.get(), s).selected;
    const std::vector<unsigned char> want = reference_select(ref, s);
    for (size_t id = 0; id < n; ++id) {
      EXPECT_EQ(selected[id], want[id])
          << "flag of \"" << ref.records[id].label << "\" (node " << id << ")  "
          << describe(docs, s);
      if (selected[id] != want[id]) return false;
    }
    const std::vector<std::string> lines =
        write_all(tree.get(), docs, s, selected.data());
    EXPECT_EQ(lines.size(), docs.size()) << describe(docs, s);
    if (lines.size() != docs.size()) return false;
    for (size_t i = 0; i < docs.size(); ++i) {
      EXPECT_EQ(lines[i], reference_line(ref, want, docs[i], s.word_delimited))
          << "line " << i << "  " << describe(docs, s);
      if (lines[i] != reference_line(ref, want, docs[i], s.word_delimited))
        return false;
    }
  }
  return true;
}


const char* const kAlphabets[] = {"ab", "ab ", "abc\t ", "a", "a b\tc"};

TEST(ReferenceTest, RandomCollectionsMatchTheModel) {
  std::mt19937 rng(20240601);
  for (int i = 0; i < 1500; ++i) {
    const std::vector<std::string> docs =
        random_docs(rng, kAlphabets[i % std::size(kAlphabets)]);
    ASSERT_TRUE(check_collection(docs, rng)) << "collection " << i;
  }
}

TEST(ReferenceTest, EmptyAndIdenticalDocumentsMatchTheModel) {
  std::mt19937 rng(7);
  const std::vector<std::vector<std::string>> cases = {
      {""},
      {"", "", ""},
      {"", "ab", ""},
      {"ab", "ab"},
      {"abab", "abab", "abab"},
      {"a", "a", "aa", "aaa"},
      {"ab", "ac"},
      {"ab", "ab", "ac"},
      {"x yz", "xq yq zq za"},
      {" a\tb", "\t\t a  b  a\ta \tbc b\t"},
      {"ab ab", "ac", "ab ab"},
  };
  for (const auto& docs : cases)
    for (int round = 0; round < 20; ++round)
      ASSERT_TRUE(check_collection(docs, rng));
}

// The whole run through the driver: documents written as lines of a file,
// one output line per document, equal to the model's.
TEST(ReferenceTest, DriverRunsMatchTheModel) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("vok_e2e_reference_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "docs.txt").string();
  const std::string out = (dir / "voks.txt").string();
  std::mt19937 rng(4242);
  for (int i = 0; i < 150; ++i) {
    const std::vector<std::string> docs =
        random_docs(rng, kAlphabets[i % std::size(kAlphabets)]);
    const vok_settings s = random_settings(rng);
    {
      std::ofstream f(in, std::ios::binary | std::ios::trunc);
      for (const std::string& d : docs) f << d << '\n';
    }
    ASSERT_EQ(vok_run(s, in.c_str(), out.c_str()), 0) << describe(docs, s);
    std::ifstream f(out, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(f)),
                          std::istreambuf_iterator<char>());
    const reference_tree ref = reference_build(docs);
    const std::vector<unsigned char> sel = reference_select(ref, s);
    std::string want;
    for (const std::string& d : docs)
      want += reference_line(ref, sel, d, s.word_delimited) + "\n";
    ASSERT_EQ(got, want) << describe(docs, s);
  }
  fs::remove_all(dir);
}

}  // namespace
