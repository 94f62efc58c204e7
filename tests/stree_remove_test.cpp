// Removal of a string's suffixes, removal of whole strings and deletion of
// the tree: the named cases, and random collections checked against the
// brute-force model of brute_tree.h.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brute_tree.h"

namespace {

using brute::Collection;
using brute::End;
using brute::Shape;

TEST(StreeRemoveSuffixes, ZeroSuffixesChangeNothing) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "abc", 0), 1);
  ASSERT_EQ(brute::add(t.get(), c, "abd", 1), 1);
  int_stree_renumber(t.get());
  Shape before = brute::dump_tree(t.get()).shape;
  long requests = stree_pool_requests();
  stree_remove_suffixes(t.get(), 1, 0);
  stree_remove_suffixes(t.get(), 5, 0);  // an empty slot: nothing is read
  EXPECT_EQ(t->renumber_pending, 0);
  EXPECT_EQ(t->num_nodes, 9);
  EXPECT_EQ(stree_pool_requests(), requests);
  EXPECT_EQ(brute::shape_diff(before, brute::dump_tree(t.get()).shape), "");
}

TEST(StreeRemoveSuffixes, AbdAfterAbcFoldsBack) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "abc", 0), 1);
  std::vector<stree_ref> leaves = brute::children_of(t.get(), t->root);
  ASSERT_EQ(leaves.size(), 3u);
  ASSERT_EQ(brute::add(t.get(), c, "abd", 1), 1);
  ASSERT_EQ(t->num_nodes, 9);
  ASSERT_EQ(brute::check_built(t.get(), c), "");
  int_stree_renumber(t.get());

  stree_remove_suffixes(t.get(), 1, 3);
  int_stree_table_release(t.get(), 1);
  c.erase(1);
  EXPECT_EQ(t->num_nodes, 4);
  EXPECT_NE(t->renumber_pending, 0);
  // The same three leaves, in order, with their edges lengthened back.
  EXPECT_EQ(brute::children_of(t.get(), t->root), leaves);
  const char first[] = "abc";
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(int_stree_isaleaf(t.get(), leaves[i]));
    EXPECT_EQ(brute::leaf_strid(leaves[i]), 0);
    EXPECT_EQ(brute::leaf_edgepos(leaves[i]), i);
    EXPECT_EQ(int_stree_code(t.get(), leaves[i]), first[i]);
    EXPECT_EQ(int_stree_is_last(leaves[i]), i == 2);
  }
  EXPECT_EQ(int_stree_link(leaves[2]), t->root);
  EXPECT_EQ(brute::check_built(t.get(), c), "");
}

TEST(StreeRemoveSuffixes, BAfterAbKeepsConvertedNode) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "ab", 0), 1);
  ASSERT_EQ(brute::add(t.get(), c, "b", 1), 1);
  stree_remove_suffixes(t.get(), 1, 1);
  int_stree_table_release(t.get(), 1);
  c.erase(1);
  EXPECT_EQ(t->num_nodes, 3);
  stree_ref b = STREE_NONE;
  int32_t pos = 0;
  ASSERT_EQ(stree_match(t.get(), "b", 1, &b, &pos), 1);
  ASSERT_FALSE(int_stree_isaleaf(t.get(), b));
  EXPECT_EQ(brute::end_records(t.get(), b), (std::vector<End>{{0, 1}}));
  EXPECT_EQ(brute::first_child(t.get(), b), STREE_NONE);
  EXPECT_EQ(int_stree_endrec(int_stree_node(b)->children)->children,
            STREE_NONE);
  EXPECT_EQ(brute::check_built(t.get(), c, true), "");
}

TEST(StreeRemoveSuffixes, OnlyStringLeavesBareRoot) {
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), "a", 1, 0), 1);
  stree_remove_suffixes(t.get(), 0, 1);
  int_stree_table_release(t.get(), 0);
  EXPECT_EQ(t->num_nodes, 1);
  EXPECT_EQ(int_stree_node(t->root)->children, STREE_NONE);
  EXPECT_FALSE(int_stree_has_endrecs(t->root));
  EXPECT_TRUE(int_stree_is_last(t->root));
  EXPECT_EQ(brute::check_built(t.get(), {}), "");
  // The tree takes strings again.
  ASSERT_EQ(stree_add_string(t.get(), "aa", 2, 1), 1);
  EXPECT_EQ(brute::check_built(t.get(), {{0, "aa"}}), "");
}

// Removing every suffix of the string added last gives back the tree as it
// was before that add, apart from leaves the add turned into nodes.
void run_remove_last(const std::string& alphabet, uint32_t first_seed,
                     int count) {
  for (uint32_t seed = first_seed; seed < first_seed + count; ++seed) {
    brute::Gen gen(seed, alphabet);
    std::vector<std::string> texts = gen.collection(1 + gen.below(7), 25);
    auto t = brute::new_tree();
    Collection c;
    for (size_t i = 0; i + 1 < texts.size(); ++i)
      ASSERT_EQ(brute::add(t.get(), c, texts[i], static_cast<int32_t>(i)), 1);
    Shape before = brute::dump_tree(t.get()).shape;
    int32_t nodes = t->num_nodes;
    int32_t slot = t->next_free;
    const std::string& last = texts.back();
    ASSERT_EQ(stree_add_string(t.get(), last.c_str(),
                               static_cast<int32_t>(last.size()), 9),
              1);
    stree_remove_suffixes(t.get(), slot, static_cast<int32_t>(last.size()));
    int_stree_table_release(t.get(), slot);
    std::string where = brute::describe(texts) + ", last one removed";
    EXPECT_EQ(t->num_nodes, nodes) << where;
    brute::Dump after = brute::dump_tree(t.get());
    ASSERT_EQ(after.error, "") << where;
    ASSERT_EQ(brute::shape_diff(brute::normalise(before, false),
                                brute::normalise(after.shape, false)),
              "")
        << where;
    ASSERT_EQ(brute::check_built(t.get(), c, true), "") << where;
  }
}

TEST(StreeRemoveSuffixes, LastStringRandomAb) { run_remove_last("ab", 100, 600); }
TEST(StreeRemoveSuffixes, LastStringRandomAbc) { run_remove_last("abc", 1000, 600); }
TEST(StreeRemoveSuffixes, LastStringRandomIndexed) {
  brute::IndexEverything index;
  run_remove_last("abcd", 2000, 300);
}

TEST(StreeRemoveString, UnknownIdChangesNothing) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "abab", 3), 1);
  EXPECT_EQ(stree_remove_string(t.get(), 4), 0);
  EXPECT_EQ(t->strings[0] != nullptr, true);
  EXPECT_EQ(brute::check_built(t.get(), c), "");
}

// Of two strings with the same caller id, the lower slot goes.
TEST(StreeRemoveString, LowestSlotOfAnIdGoes) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "abab", 1), 1);
  ASSERT_EQ(brute::add(t.get(), c, "ba", 7), 1);
  ASSERT_EQ(brute::add(t.get(), c, "aba", 7), 1);
  EXPECT_EQ(stree_remove_string(t.get(), 7), 1);
  c.erase(1);
  EXPECT_EQ(t->strings[1], nullptr);
  EXPECT_EQ(t->next_free, 1);
  EXPECT_EQ(brute::check_built(t.get(), c, true), "");
  EXPECT_EQ(stree_remove_string(t.get(), 7), 1);
  c.erase(2);
  EXPECT_EQ(brute::check_built(t.get(), c, true), "");
  EXPECT_EQ(stree_remove_string(t.get(), 7), 0);
}

// A string that later strings split the leaves of: the nodes made by those
// splits outlive it, and their edge labels must not point into its text.
TEST(StreeRemoveString, EarlierStringWithSplitLeaves) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "xaby", 0), 1);
  ASSERT_EQ(brute::add(t.get(), c, "zabw", 1), 1);
  ASSERT_EQ(brute::add(t.get(), c, "qabv", 2), 1);
  ASSERT_EQ(stree_remove_string(t.get(), 0), 1);
  c.erase(0);
  EXPECT_EQ(brute::check_built(t.get(), c, true), "");
  // The freed slot is reused; the old labels must not read the new text.
  ASSERT_EQ(brute::add(t.get(), c, "abab", 3), 1);
  EXPECT_EQ(brute::check_built(t.get(), c, true), "");
}

// Random collections: any stored string is removed soundly, and the tree
// goes on taking strings afterwards.
void run_remove_string(const std::string& alphabet, uint32_t first_seed,
                       int count) {
  for (uint32_t seed = first_seed; seed < first_seed + count; ++seed) {
    brute::Gen gen(seed, alphabet);
    std::vector<std::string> texts = gen.collection(2 + gen.below(6), 20);
    auto t = brute::new_tree();
    Collection c;
    for (size_t i = 0; i < texts.size(); ++i)
      ASSERT_EQ(brute::add(t.get(), c, texts[i], static_cast<int32_t>(i)), 1);
    std::string where = brute::describe(texts);
    // Remove a few strings, adding a new one after each removal.
    for (int round = 0; round < 3; ++round) {
      std::vector<int32_t> slots;
      for (const auto& [slot, s] : c) slots.push_back(slot);
      int32_t slot = slots[static_cast<size_t>(gen.below(static_cast<int>(slots.size())))];
      int32_t id = t->ids[slot];
      where += ", remove slot " + std::to_string(slot);
      ASSERT_EQ(stree_remove_string(t.get(), id), 1) << where;
      c.erase(slot);
      ASSERT_EQ(t->strings[slot], nullptr) << where;
      ASSERT_EQ(brute::check_built(t.get(), c, true), "") << where;
      std::vector<std::string> earlier;
      for (const auto& [s2, s] : c) earlier.push_back(s);
      std::string more = gen.next(20, earlier);
      int32_t next = t->next_free;
      where += ", add " + brute::quote(more) + " (slot " + std::to_string(next) + ")";
      ASSERT_EQ(brute::add(t.get(), c, more, 100 + round), 1) << where;
      ASSERT_EQ(brute::check_built(t.get(), c, true), "") << where;
    }
  }
}

TEST(StreeRemoveString, RandomAb) { run_remove_string("ab", 7000, 400); }
TEST(StreeRemoveString, RandomAbc) { run_remove_string("abc", 8000, 400); }
TEST(StreeRemoveString, RandomIndexed) {
  brute::IndexEverything index;
  run_remove_string("abcd", 9000, 300);
}

// Deleting a tree gives every record back: building and deleting the same
// large tree again and again does not keep pages.
TEST(StreeDeleteTree, GivesEveryRecordBack) {
  brute::Gen gen(42, "abc");
  std::vector<std::string> texts;
  // About 8000 characters; every fourth string repeats an earlier one so
  // that end records are given back too.
  for (int i = 0; i < 80; ++i) {
    texts.push_back(i % 4 == 3 ? texts[static_cast<size_t>(i - 2)]
                               : gen.random(130));
  }
  long base = stree_pool_pages_in_use();
  std::vector<long> after;
  for (int round = 0; round < 3; ++round) {
    suffix_tree* t = stree_new_tree(128, 1);
    ASSERT_NE(t, nullptr);
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(stree_add_string(t, texts[i].c_str(),
                                 static_cast<int32_t>(texts[i].size()),
                                 static_cast<int32_t>(i)),
                1);
    }
    long built = stree_pool_pages_in_use();
    EXPECT_GE(built, base + 8) << "the tree should span several pages";
    stree_delete_tree(t);
    after.push_back(stree_pool_pages_in_use());
    EXPECT_LT(after.back(), built);
  }
  EXPECT_LE(after[0], base + 3);
  EXPECT_EQ(after[2], after[0]);
}

}  // namespace
