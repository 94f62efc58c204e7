// Named cases of occurrence counting, feature selection and feature output,
// and the deep trees that would break any walk bounded by the call stack.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "output.h"
#include "output_index.h"
#include "reference.h"
#include "stree_internal.h"

namespace {

struct tree_deleter {
  void operator()(suffix_tree* t) const { stree_delete_tree(t); }
};
using tree_ptr = std::unique_ptr<suffix_tree, tree_deleter>;

// The tree of the documents with counts and flags filled in as the driver
// fills them.
struct extraction {
  tree_ptr tree;
  std::vector<uint32_t> freq;
  std::vector<unsigned char> selected;
};

extraction extract(const std::vector<std::string>& docs,
                   const vok_settings& settings) {
  extraction x;
  x.tree.reset(stree_new_tree(128, 1));
  if (!x.tree) return x;
  for (size_t i = 0; i < docs.size(); ++i)
    if (stree_add_string(x.tree.get(), docs[i].c_str(),
                         static_cast<int32_t>(docs[i].size()),
                         static_cast<int32_t>(i)) != 1) {
      x.tree.reset();
      return x;
    }
  owned_selection o(x.tree.get(), settings);
  x.freq = o.counts;
  x.selected = o.selected;
  return x;
}

// What write_features writes for one text, or "<refused>" when it returns
// 0; in that case it must not have written anything either.
std::string write_one(const extraction& x, const std::string& text,
                      const vok_settings& settings) {
  auto out = std::make_unique<vok_writer>();
  out->file = std::tmpfile();
  if (!out->file) return "<no temporary file>";
  // The document whose text this is, else document 0 (which the text then
  // differs from).
  const suffix_tree* tree = x.tree.get();
  int32_t doc = 0;
  for (int32_t slot = 0; slot < STREE_MAX_STRINGS; ++slot)
    if (tree->strings[slot] &&
        std::string(tree->strings[slot], static_cast<size_t>(tree->lengths[slot])) == text) {
      doc = slot;
      break;
    }
  owned_selection o(x.tree.get(), settings);
  if (o.selected != x.selected) return "<selection differs>";
  const int ok = write_features(tree, doc, text.data(),
                                static_cast<int32_t>(text.size()), settings,
                                o.sel, out.get());
  const size_t buffered = out->used;
  vok_writer_flush(out.get());
  std::rewind(out->file);
  std::string got;
  for (int c; (c = std::fgetc(out->file)) != EOF;) got += static_cast<char>(c);
  std::fclose(out->file);
  if (!ok) return buffered == 0 && got.empty() ? "<refused>" : "<refused+>";
  return got;
}

// Node number of the record at which `label` ends exactly; -1 if none.
long id_of(const extraction& x, const std::string& label) {
  stree_ref r;
  int32_t pos;
  const int32_t n = static_cast<int32_t>(label.size());
  if (stree_match(x.tree.get(), label.data(), n, &r, &pos) != n ||
      pos != int_stree_edge_length(x.tree.get(), r))
    return -1;
  return stree_node_id(x.tree.get(), r);
}

std::string hex_token(long id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%lx ", id);
  return buf;
}

long count_selected(const extraction& x) {
  long n = 0;
  for (unsigned char s : x.selected) n += s;
  return n;
}

vok_settings settings_with(long word_delimited) {
  vok_settings s;
  s.word_delimited = word_delimited;
  return s;
}

TEST(SelectionTest, TwoDocumentsSharingAFirstCharacter) {
  const vok_settings s;
  extraction x = extract({"ab", "ac"}, s);
  ASSERT_TRUE(x.tree);
  ASSERT_EQ(x.tree->num_nodes, 6);
  EXPECT_EQ(x.freq[0], 4u);  // the root counts every position
  EXPECT_EQ(id_of(x, "a"), 1);
  EXPECT_EQ(x.freq[1], 2u);
  const std::vector<unsigned char> want = {0, 1, 0, 0, 0, 0};
  EXPECT_EQ(x.selected, want);
  EXPECT_EQ(write_one(x, "ab", s), "1 ");
  EXPECT_EQ(write_one(x, "ac", s), "1 ");
}

TEST(SelectionTest, SingleChildNodesAreRefused) {
  extraction x = extract({"abab"}, vok_settings());
  ASSERT_TRUE(x.tree);
  EXPECT_EQ(x.freq[id_of(x, "ab")], 2u);
  EXPECT_EQ(x.freq[id_of(x, "b")], 2u);
  EXPECT_EQ(count_selected(x), 0);
  EXPECT_EQ(write_one(x, "abab", vok_settings()), "");
}

TEST(SelectionTest, MaxFreqEqualToMinFreqRefusesEverything) {
  vok_settings s;
  s.max_freq = 2;
  extraction x = extract({"ab", "ac", "ab ac", "a b c"}, s);
  ASSERT_TRUE(x.tree);
  EXPECT_EQ(count_selected(x), 0);
  // The same collection selects something under the defaults.
  EXPECT_GT(count_selected(extract({"ab", "ac", "ab ac", "a b c"}, {})), 0);
}

TEST(SelectionTest, ParentBoundRefusesOnlyAboveHalf) {
  vok_settings half;
  half.max_parent_prob = 0.5;
  // Node a: count 2, each child carries exactly half.
  extraction even = extract({"ab", "ac"}, half);
  ASSERT_TRUE(even.tree);
  EXPECT_EQ(even.selected[id_of(even, "a")], 1);
  // Node a: count 3, the child ab carries two thirds.
  extraction uneven = extract({"ab", "ab", "ac"}, half);
  ASSERT_TRUE(uneven.tree);
  EXPECT_EQ(uneven.freq[id_of(uneven, "a")], 3u);
  EXPECT_EQ(uneven.freq[id_of(uneven, "ab")], 2u);
  EXPECT_EQ(uneven.selected[id_of(uneven, "a")], 0);
  // Without the bound the same node is a feature.
  extraction loose = extract({"ab", "ab", "ac"}, vok_settings());
  EXPECT_EQ(loose.selected[id_of(loose, "a")], 1);
}

TEST(SelectionTest, LinkBoundRefusesTheLinkTarget) {
  // xa links to a and carries 2 of its 4 occurrences.
  const std::vector<std::string> docs = {"ab", "ac", "xab", "xac"};
  vok_settings half;
  half.max_link_prob = 0.5;
  extraction at_half = extract(docs, half);
  ASSERT_TRUE(at_half.tree);
  EXPECT_EQ(at_half.freq[id_of(at_half, "a")], 4u);
  EXPECT_EQ(at_half.freq[id_of(at_half, "xa")], 2u);
  EXPECT_EQ(at_half.selected[id_of(at_half, "a")], 1);
  EXPECT_EQ(at_half.selected[id_of(at_half, "xa")], 1);
  vok_settings below;
  below.max_link_prob = 0.4;
  extraction refused = extract(docs, below);
  EXPECT_EQ(refused.selected[id_of(refused, "a")], 0);
  EXPECT_EQ(refused.selected[id_of(refused, "xa")], 1);
}

TEST(SelectionTest, EmptyDocumentsOnly) {
  extraction x = extract({"", "", ""}, vok_settings());
  ASSERT_TRUE(x.tree);
  ASSERT_EQ(x.tree->num_nodes, 1);
  EXPECT_EQ(x.freq[0], 0u);
  EXPECT_EQ(x.selected[0], 0);
  EXPECT_EQ(write_one(x, "", vok_settings()), "");
}

TEST(OutputTest, WordStartsOnly) {
  const std::vector<std::string> docs = {"x yz", "xq yq zq za"};
  extraction x = extract(docs, vok_settings());
  ASSERT_TRUE(x.tree);
  const std::string at0 = hex_token(id_of(x, "x"));
  const std::string at1 = hex_token(id_of(x, " y")) + hex_token(id_of(x, " "));
  const std::string at2 = hex_token(id_of(x, "y"));
  const std::string at3 = hex_token(id_of(x, "z"));
  for (const char* label : {"x", " y", " ", "y", "z"})
    ASSERT_EQ(x.selected[id_of(x, label)], 1) << label;
  EXPECT_EQ(write_one(x, docs[0], settings_with(1)), at0 + at2);
  EXPECT_EQ(write_one(x, docs[0], settings_with(0)), at0 + at1 + at2 + at3);
}

TEST(OutputTest, LeadingBlankAndTabStartWords) {
  // Positions 0 (a blank), 1 (after a blank) and 3 (after a tab) emit;
  // position 2 (the tab) does not.
  const std::vector<std::string> docs = {" a\tb", "\t\t a  b  a\ta \tbc b\t"};
  extraction x = extract(docs, vok_settings());
  ASSERT_TRUE(x.tree);
  const reference_tree ref = reference_build(docs);
  const auto& sel = x.selected;
  ASSERT_EQ(sel.size(), ref.records.size());
  std::string at[4];
  for (size_t j = 0; j < 4; ++j) {
    at[j] = reference_tokens_at(ref, sel, docs[0], j);
    ASSERT_NE(at[j], "") << "position " << j << " would show nothing";
  }
  EXPECT_EQ(write_one(x, docs[0], settings_with(1)), at[0] + at[1] + at[3]);
  EXPECT_EQ(write_one(x, docs[0], settings_with(0)),
            at[0] + at[1] + at[2] + at[3]);
}

TEST(OutputTest, FeatureRepeatsOncePerPosition) {
  extraction x = extract({"ab ab", "ac"}, vok_settings());
  ASSERT_TRUE(x.tree);
  const long a = id_of(x, "a");
  ASSERT_EQ(x.selected[a], 1);
  EXPECT_EQ(write_one(x, "ab ab", settings_with(1)),
            hex_token(a) + hex_token(a));
  EXPECT_EQ(write_one(x, "ac", settings_with(1)), hex_token(a));
}

TEST(OutputTest, TextsNotStoredAreRefused) {
  const vok_settings s = settings_with(0);
  extraction x = extract({"ab"}, s);
  ASSERT_TRUE(x.tree);
  EXPECT_EQ(write_one(x, "abx", s), "<refused>");  // leaves the tree
  EXPECT_EQ(write_one(x, "a", s), "<refused>");    // ends inside an edge
  EXPECT_EQ(write_one(x, "ba", s), "<refused>");
  // Outside the alphabet, although its low seven bits spell "ab".
  EXPECT_EQ(write_one(x, std::string("a") + static_cast<char>(0x80 | 'b'), s),
            "<refused>");
  EXPECT_EQ(write_one(x, "ab", s), "");
  extraction y = extract({"abab"}, s);
  ASSERT_TRUE(y.tree);
  EXPECT_EQ(write_one(y, "aba", s), "<refused>");  // ends inside a leaf edge
  EXPECT_EQ(write_one(y, "ababab", s), "<refused>");
}

// One document of the longest possible length gives a tree as deep as the
// document is long.  Counting and selection must not use the call stack.
// (The output pass is only run where a single position emits: its climb to
// the root at every position would make the run quadratic.)
class DeepTreeTest : public ::testing::TestWithParam<long> {};

TEST_P(DeepTreeTest, OneRepeatedByte) {
  const int32_t n = STREE_MAX_POSITION;
  vok_settings s = settings_with(GetParam());
  extraction x = extract({std::string(n, 'a')}, s);
  ASSERT_TRUE(x.tree);
  // Root, the nodes a^1..a^(n-1) in a chain, and the leaf a^n, numbered
  // down the chain; a^k occurs n-k+1 times.
  ASSERT_EQ(x.tree->num_nodes, n + 1);
  for (int32_t k = 0; k <= n; ++k)
    ASSERT_EQ(x.freq[k], static_cast<uint32_t>(k == 0 ? n : n - k + 1)) << k;
  EXPECT_EQ(count_selected(x), 0);  // every node has a single child
  if (s.word_delimited) {
    EXPECT_EQ(write_one(x, std::string(n, 'a'), s), "");
  }
}

TEST_P(DeepTreeTest, TwoAlternatingBytes) {
  const int32_t n = STREE_MAX_POSITION;
  std::string doc(n, 'a');
  for (int32_t i = 1; i < n; i += 2) doc[i] = 'b';
  vok_settings s = settings_with(GetParam());
  s.max_freq = 1L << 40;
  extraction x = extract({doc, "ac"}, s);
  ASSERT_TRUE(x.tree);
  EXPECT_EQ(x.freq[0], static_cast<uint32_t>(n + 2));
  // Only "a" branches (to b and c); it occurs at every even position of the
  // long document and once in "ac".
  const long a = id_of(x, "a");
  EXPECT_EQ(x.freq[a], static_cast<uint32_t>((n + 1) / 2 + 1));
  EXPECT_EQ(count_selected(x), 1);
  EXPECT_EQ(x.selected[a], 1);
  if (s.word_delimited) {
    EXPECT_EQ(write_one(x, doc, s), hex_token(a));
    EXPECT_EQ(write_one(x, "ac", s), hex_token(a));
  }
}

INSTANTIATE_TEST_SUITE_P(WordDelimiting, DeepTreeTest,
                         ::testing::Values(0L, 1L));

}  // namespace
