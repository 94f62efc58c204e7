// The consistency checker: silent on sound trees, and naming a fault for
// each kind of damage done by hand to an otherwise sound tree.  Every
// damage is undone before the tree is deleted.
#include <random>
#include <string>
#include <vector>

#include "tree_builders.h"

namespace {

using namespace treetest;

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree = stree_new_tree(128, 1);
    ASSERT_NE(tree, nullptr);
  }
  void TearDown() override { stree_delete_tree(tree); }

  // Changes one word, expects a fault, and puts the word back.
  void expect_fault(uint32_t* word, uint32_t value, const char* what,
                    int tidy = 1) {
    uint32_t saved = *word;
    *word = value;
    const char* fault = stree_check(tree, tidy);
    EXPECT_NE(fault, nullptr) << what;
    *word = saved;
    ASSERT_EQ(stree_check(tree, tidy), nullptr) << "after restoring " << what;
  }
  suffix_tree* tree = nullptr;
};

uint32_t* word(stree_ref r, int w) { return &int_stree_words(r)[w]; }

TEST_F(CheckTest, SoundTreesPass) {
  EXPECT_EQ(stree_check(tree, 1), nullptr) << "the empty tree";
  EXPECT_EQ(stree_check(tree), nullptr);
  build_ab_ac(tree);
  EXPECT_EQ(stree_check(tree, 1), nullptr);
  EXPECT_EQ(stree_check(tree, 0), nullptr);
  suffix_tree* other = stree_new_tree(128, 1);
  ASSERT_NE(other, nullptr);
  build_abab(other);
  EXPECT_EQ(stree_check(other, 1), nullptr);
  stree_delete_tree(other);
}

TEST_F(CheckTest, RandomSoundTreesPass) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    suffix_tree* t = stree_new_tree(128, 1);
    ASSERT_NE(t, nullptr);
    std::vector<std::string> docs;
    for (size_t d = 0, n = 1 + rng() % 5; d < n; ++d) {
      std::string s;
      for (size_t k = 0, len = rng() % 16; k < len; ++k)
        s += "abcx"[rng() % (round % 2 ? 2 : 4)];
      docs.push_back(s);
    }
    naive_build(t, docs);
    const char* fault = stree_check(t, 1);
    EXPECT_EQ(fault, nullptr) << "round " << round << ": " << fault;
    stree_delete_tree(t);
    if (HasFailure()) return;
  }
}

TEST_F(CheckTest, UnsortedSiblings) {
  ab_ac_tree x = build_ab_ac(tree);
  ASSERT_EQ(stree_check(tree), nullptr);
  // Root's children A, b, c become A, c, b: the chain is intact, the order
  // is not.
  uint32_t saved[3] = {link_of(x.a), header(x.leaf_b), header(x.leaf_c)};
  uint32_t saved_links[2] = {link_of(x.leaf_b), link_of(x.leaf_c)};
  int_stree_link(x.a) = x.leaf_c;
  int_stree_set_last(x.leaf_c, false);
  int_stree_link(x.leaf_c) = x.leaf_b;
  int_stree_set_last(x.leaf_b, true);
  int_stree_link(x.leaf_b) = x.root;
  EXPECT_NE(stree_check(tree), nullptr);
  // The first two children swapped under A.
  int_stree_link(x.a) = saved[0];
  int_stree_header(x.leaf_b) = saved[1];
  int_stree_header(x.leaf_c) = saved[2];
  int_stree_link(x.leaf_b) = saved_links[0];
  int_stree_link(x.leaf_c) = saved_links[1];
  ASSERT_EQ(stree_check(tree), nullptr);
  node(x.a)->children = x.leaf_ac;
  int_stree_set_last(x.leaf_ac, false);
  int_stree_link(x.leaf_ac) = x.leaf_ab;
  int_stree_set_last(x.leaf_ab, true);
  int_stree_link(x.leaf_ab) = x.a;
  EXPECT_NE(stree_check(tree), nullptr);
  node(x.a)->children = x.leaf_ab;
  int_stree_set_last(x.leaf_ab, false);
  int_stree_link(x.leaf_ab) = x.leaf_ac;
  int_stree_set_last(x.leaf_ac, true);
  int_stree_link(x.leaf_ac) = x.a;
  EXPECT_EQ(stree_check(tree), nullptr);
}

// Two children with the same code, each with a correct first_char.
TEST_F(CheckTest, DuplicateCodes) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "xb", 12);
  stree_ref dup = int_stree_new_leaf(tree, 2, 1);  // 'b', like leaf_b
  // Linked in by hand after leaf_b; num_nodes counts it.
  int_stree_link(dup) = x.leaf_c;
  int_stree_link(x.leaf_b) = dup;
  ++tree->num_nodes;
  EXPECT_NE(stree_check(tree), nullptr);
  int_stree_link(x.leaf_b) = x.leaf_c;
  --tree->num_nodes;
  int_stree_free_record(tree, dup);
  EXPECT_EQ(stree_check(tree), nullptr);
}

TEST_F(CheckTest, BrokenSiblingChains) {
  ab_ac_tree x = build_ab_ac(tree);
  ASSERT_EQ(stree_check(tree), nullptr);
  // The last child's link does not lead to its parent.
  expect_fault(word(x.leaf_ac, 1), x.root, "last child linked to root");
  expect_fault(word(x.leaf_c, 1), x.a, "last child linked to A");
  // A middle child claims to be the last: the rest is cut off.
  expect_fault(word(x.leaf_b, 0), header(x.leaf_b) | STREE_LAST_BIT,
               "early last_sibling");
  // The last child lost its last_sibling bit.
  expect_fault(word(x.leaf_ac, 0), header(x.leaf_ac) & ~STREE_LAST_BIT,
               "missing last_sibling");
  // A sibling link skips a record.
  expect_fault(word(x.a, 1), x.leaf_c, "link skips leaf_b");
  // The root must be last with no link.
  expect_fault(word(x.root, 0), header(x.root) & ~STREE_LAST_BIT,
               "root without last_sibling");
  expect_fault(word(x.root, 1), x.a, "root with a link");
}

TEST_F(CheckTest, NumNodesOffByOne) {
  build_ab_ac(tree);
  ASSERT_EQ(tree->num_nodes, 6);
  tree->num_nodes = 7;
  EXPECT_NE(stree_check(tree), nullptr);
  tree->num_nodes = 5;
  EXPECT_NE(stree_check(tree), nullptr);
  tree->num_nodes = 6;
  EXPECT_EQ(stree_check(tree), nullptr);
  // On the empty tree as well.
  suffix_tree* empty = stree_new_tree(128, 1);
  ASSERT_NE(empty, nullptr);
  empty->num_nodes = 2;
  EXPECT_NE(stree_check(empty), nullptr);
  empty->num_nodes = 1;
  stree_delete_tree(empty);
}

// A leaf's first_char that disagrees with its label, chosen so that the
// sibling order stays ascending and unique.
TEST_F(CheckTest, WrongLeafFirstChar) {
  ab_ac_tree x = build_ab_ac(tree);
  uint32_t keep = header(x.leaf_c) & ((1u << STREE_FIRST_CHAR_SHIFT) - 1);
  expect_fault(word(x.leaf_c, 0),
               keep | (uint32_t{'z'} << STREE_FIRST_CHAR_SHIFT),
               "leaf of 'c' claiming 'z'");
  keep = header(x.leaf_ac) & ((1u << STREE_FIRST_CHAR_SHIFT) - 1);
  expect_fault(word(x.leaf_ac, 0),
               keep | (uint32_t{'d'} << STREE_FIRST_CHAR_SHIFT),
               "leaf of 'c' under A claiming 'd'");
}

// A node below the root with one child and no end record is accepted only
// when the tidy rule is off.
TEST_F(CheckTest, UntidyNode) {
  add_text(tree, "ab", 3);
  stree_ref a = hang_node(tree, tree->root, 0, 0, 1);
  hang_leaf(tree, a, 0, 1);
  hang_leaf(tree, tree->root, 0, 1);
  node(a)->suffix_link = tree->root;
  EXPECT_NE(stree_check(tree, 1), nullptr);
  EXPECT_EQ(stree_check(tree, 0), nullptr);
  // An end record makes it tidy; so does a second child.
  ASSERT_EQ(int_stree_add_endrec(tree, a, 0, 0), 1);
  EXPECT_EQ(stree_check(tree, 1), nullptr);
  // A childless node with no end record is untidy as well.
  add_text(tree, "c", 4);
  hang_node(tree, tree->root, 1, 0, 1);
  EXPECT_NE(stree_check(tree, 1), nullptr);
  EXPECT_EQ(stree_check(tree, 0), nullptr);
}

// The head end record must carry the first child.
TEST_F(CheckTest, HeadEndRecordWithoutTheFirstChild) {
  abab_tree x = build_abab(tree);
  ASSERT_EQ(stree_check(tree), nullptr);
  stree_ref head = node(x.ab)->children;
  expect_fault(word(head, 2), STREE_NONE, "head carries no child");
  // Two end records: only the newest (head) counts.
  add_text(tree, "ab", 8);
  ASSERT_EQ(int_stree_add_endrec(tree, x.ab, 1, 0), 1);
  ASSERT_EQ(stree_check(tree), nullptr);
  stree_ref new_head = node(x.ab)->children;
  ASSERT_EQ(endrec(new_head)->next, head);
  expect_fault(word(new_head, 2), STREE_NONE,
               "older record has the child, head does not");
}

}  // namespace
