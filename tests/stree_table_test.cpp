// The string table (slots, refusals, private copies) and tree creation.
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tree_builders.h"

namespace {

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree = stree_new_tree(128, 1);
    ASSERT_NE(tree, nullptr);
  }
  void TearDown() override { stree_delete_tree(tree); }
  int32_t add(const std::string& s, int32_t id = 0) {
    return int_stree_table_add(tree, s.c_str(),
                               static_cast<int32_t>(s.size()), id);
  }
  suffix_tree* tree = nullptr;
};

TEST_F(TableTest, NewTreeIsEmpty) {
  EXPECT_EQ(tree->num_nodes, 1);
  EXPECT_EQ(tree->next_free, 0);
  EXPECT_EQ(tree->alphabet_size, 128);
  EXPECT_EQ(tree->copy_strings, 1);
  for (int c = 0; c < 128; ++c) ASSERT_EQ(tree->char_map[c], c);
  for (int s = 0; s < STREE_MAX_STRINGS; ++s)
    ASSERT_EQ(tree->strings[s], nullptr);
  stree_ref root = tree->root;
  ASSERT_NE(root, STREE_NONE);
  stree_node* r = int_stree_node(root);
  EXPECT_EQ(r->header, STREE_LAST_BIT) << "an internal node, last sibling";
  EXPECT_EQ(r->link, STREE_NONE);
  EXPECT_EQ(r->children, STREE_NONE);
  EXPECT_EQ(r->suffix_link, STREE_NONE);
  EXPECT_EQ(r->edgelen, 0);
}

TEST_F(TableTest, FillsAllSlotsThenRefusesAndReusesTheReleasedOne) {
  for (int32_t i = 0; i < STREE_MAX_STRINGS; ++i) {
    std::string s = "d" + std::to_string(i);
    ASSERT_EQ(add(s, 1000 + i), i);
    ASSERT_EQ(tree->next_free, i + 1);
  }
  EXPECT_EQ(tree->next_free, STREE_MAX_STRINGS);
  EXPECT_EQ(add("more"), -1);
  EXPECT_EQ(tree->next_free, STREE_MAX_STRINGS);
  EXPECT_STREQ(tree->strings[8191], "d8191");
  EXPECT_EQ(tree->ids[8191], 1000 + 8191);

  int_stree_table_release(tree, 5);
  EXPECT_EQ(tree->strings[5], nullptr);
  EXPECT_EQ(tree->next_free, 5);
  EXPECT_EQ(add("five", 55), 5);
  EXPECT_STREQ(tree->strings[5], "five");
  EXPECT_EQ(tree->lengths[5], 4);
  EXPECT_EQ(tree->ids[5], 55);
  EXPECT_EQ(tree->next_free, STREE_MAX_STRINGS);

  // Two holes: the lower is used first, then the higher.
  int_stree_table_release(tree, 7000);
  int_stree_table_release(tree, 3);
  EXPECT_EQ(tree->next_free, 3);
  EXPECT_EQ(add("x"), 3);
  EXPECT_EQ(tree->next_free, 7000);
  EXPECT_EQ(add("y"), 7000);
  EXPECT_EQ(tree->next_free, STREE_MAX_STRINGS);
  EXPECT_EQ(add("z"), -1);
}

TEST_F(TableTest, ReleasingAnEmptySlotDoesNothing) {
  ASSERT_EQ(add("a"), 0);
  ASSERT_EQ(add("b"), 1);
  int_stree_table_release(tree, 4);
  EXPECT_EQ(tree->next_free, 2);
  int_stree_table_release(tree, 0);
  int_stree_table_release(tree, 0);
  EXPECT_EQ(tree->next_free, 0);
  EXPECT_STREQ(tree->strings[1], "b");
}

TEST_F(TableTest, BytesWithTheHighBitAreRefusedWithoutUsingASlot) {
  ASSERT_EQ(add("keep"), 0);
  const std::vector<std::string> bad = {
      "\x80" "abc", "ab\xff" "cd", "abc\x80", "\xc3\xa9", "\xff",
      "ab\x90"};
  for (const std::string& s : bad) {
    SCOPED_TRACE(s);
    EXPECT_EQ(add(s), -1);
    EXPECT_EQ(tree->next_free, 1);
    EXPECT_EQ(tree->strings[1], nullptr);
  }
  // Every byte from 0x80 up, alone in the middle of a string.
  for (int c = 0x80; c <= 0xff; ++c) {
    std::string s = "ab";
    s += static_cast<char>(c);
    s += "cd";
    ASSERT_EQ(add(s), -1) << c;
  }
  EXPECT_EQ(tree->next_free, 1);
  EXPECT_EQ(add("ok"), 1);
}

TEST_F(TableTest, AllSevenBitBytesAreAccepted) {
  std::string all;
  for (int c = 1; c < 128; ++c) all += static_cast<char>(c);
  ASSERT_EQ(add(all), 0);
  EXPECT_EQ(tree->lengths[0], 127);
  EXPECT_EQ(std::memcmp(tree->strings[0], all.c_str(), 128), 0);
}

TEST_F(TableTest, EmptyStringTakesASlotWithLengthZero) {
  ASSERT_EQ(add("", 42), 0);
  ASSERT_NE(tree->strings[0], nullptr);
  EXPECT_EQ(tree->strings[0][0], '\0');
  EXPECT_EQ(tree->lengths[0], 0);
  EXPECT_EQ(tree->ids[0], 42);
  EXPECT_EQ(tree->next_free, 1);
}

TEST_F(TableTest, CopiesArePrivate) {
  char buf[] = "hello";
  ASSERT_EQ(int_stree_table_add(tree, buf, 5, 9), 0);
  EXPECT_NE(tree->strings[0], buf);
  std::strcpy(buf, "jelly");
  EXPECT_STREQ(tree->strings[0], "hello");
  EXPECT_EQ(tree->lengths[0], 5);
}

TEST(TableNoCopy, StoresTheCallersTextAndNeverFreesIt) {
  suffix_tree* tree = stree_new_tree(128, 0);
  ASSERT_NE(tree, nullptr);
  char buf[] = "shared";  // on the stack: freeing it would be caught
  ASSERT_EQ(int_stree_table_add(tree, buf, 6, 1), 0);
  EXPECT_EQ(tree->strings[0], buf);
  int_stree_table_release(tree, 0);
  EXPECT_EQ(tree->strings[0], nullptr);
  ASSERT_EQ(int_stree_table_add(tree, buf, 6, 1), 0);
  stree_delete_tree(tree);
  EXPECT_STREQ(buf, "shared");
}

TEST(TreeCreation, AlphabetSizeMustBeOneTo128) {
  EXPECT_EQ(stree_new_tree(0, 1), nullptr);
  EXPECT_EQ(stree_new_tree(-1, 1), nullptr);
  EXPECT_EQ(stree_new_tree(129, 1), nullptr);
  EXPECT_EQ(stree_new_tree(256, 1), nullptr);
  for (int size : {1, 3, 127, 128}) {
    suffix_tree* t = stree_new_tree(size, 1);
    ASSERT_NE(t, nullptr) << size;
    EXPECT_EQ(t->alphabet_size, size);
    stree_delete_tree(t);
  }
}

TEST(TreeCreation, SmallAlphabetRefusesHigherCodes) {
  suffix_tree* t = stree_new_tree(3, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(int_stree_table_add(t, "\x01\x02\x01", 3, 0), 0);
  EXPECT_EQ(int_stree_table_add(t, "\x01\x03", 2, 0), -1);
  EXPECT_EQ(int_stree_table_add(t, "\x03", 1, 0), -1);
  EXPECT_EQ(int_stree_table_add(t, "a", 1, 0), -1);
  EXPECT_EQ(int_stree_table_add(t, "\x7f", 1, 0), -1);
  EXPECT_EQ(int_stree_table_add(t, "\x80", 1, 0), -1);
  EXPECT_EQ(t->next_free, 1);
  EXPECT_EQ(int_stree_table_add(t, "\x02", 1, 0), 1);
  stree_delete_tree(t);
}

// The root is the one record a new tree takes; when the pool refuses it
// nothing is left behind (the leak checker of the sanitized build watches
// the heap).
TEST(TreeCreation, RootRequestFailureGivesNoTree) {
  long pages = stree_pool_pages_in_use();
  long before = stree_pool_requests();
  stree_pool_fail_at(1);
  EXPECT_EQ(stree_new_tree(128, 1), nullptr);
  EXPECT_EQ(stree_pool_requests(), before + 1);
  EXPECT_EQ(stree_pool_pages_in_use(), pages);
  suffix_tree* t = stree_new_tree(128, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->num_nodes, 1);
  stree_delete_tree(t);
}

// Random adds and releases against a model of the slots: the slot chosen is
// always the lowest free one, refusals leave the table as it was, and the
// stored texts, lengths and ids are the ones given.
TEST_F(TableTest, RandomAddsAndReleasesAgainstAModel) {
  std::mt19937 rng(99);
  std::vector<std::string> model(STREE_MAX_STRINGS);
  std::vector<bool> used(STREE_MAX_STRINGS, false);
  std::vector<int32_t> ids(STREE_MAX_STRINGS, 0);
  std::set<int32_t> free_slots;
  for (int32_t i = 0; i < STREE_MAX_STRINGS; ++i) free_slots.insert(i);
  auto lowest_free = [&] {
    return free_slots.empty() ? STREE_MAX_STRINGS : *free_slots.begin();
  };
  for (int step = 0; step < 40000; ++step) {
    unsigned op = rng() % 10;
    if (op < 3) {
      int32_t slot = static_cast<int32_t>(rng() % STREE_MAX_STRINGS);
      int_stree_table_release(tree, slot);
      used[slot] = false;
      free_slots.insert(slot);
    } else {
      std::string s;
      size_t len = rng() % 6;
      bool bad = rng() % 8 == 0 && len > 0;
      for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + rng() % 26);
      if (bad) s[rng() % len] = static_cast<char>(0x80 + rng() % 128);
      int32_t id = static_cast<int32_t>(rng() % 100000);
      int32_t want = lowest_free();
      int32_t got = add(s, id);
      if (bad || want == STREE_MAX_STRINGS) {
        ASSERT_EQ(got, -1) << "step " << step;
      } else {
        ASSERT_EQ(got, want) << "step " << step;
        used[want] = true;
        free_slots.erase(want);
        model[want] = s;
        ids[want] = id;
      }
    }
    ASSERT_EQ(tree->next_free, lowest_free()) << "step " << step;
  }
  for (int i = 0; i < STREE_MAX_STRINGS; ++i) {
    if (!used[i]) {
      ASSERT_EQ(tree->strings[i], nullptr);
      continue;
    }
    ASSERT_NE(tree->strings[i], nullptr);
    ASSERT_EQ(std::string(tree->strings[i]), model[i]);
    ASSERT_EQ(tree->lengths[i], static_cast<int32_t>(model[i].size()));
    ASSERT_EQ(tree->ids[i], ids[i]);
  }
}

}  // namespace
