// The child index: it must never change what the tree holds, whatever it
// indexes, whenever its memory fails, and whatever leaves the tree.  Every
// check_built runs stree_check, which compares each node's index block with
// its sibling list and each indexed bit with the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brute_tree.h"

namespace {

using brute::Collection;

// Strings over `alphabet` built so that nodes get many children.
std::vector<std::string> wide_collection(uint32_t seed,
                                         const std::string& alphabet,
                                         int count, int maxlen) {
  brute::Gen gen(seed, alphabet);
  return gen.collection(count, maxlen);
}

// Nodes with up to 127 children: blocks of every size are taken, and a
// block that is full moves to the next size.
TEST(StreeIndex, WideNodesGrowThroughEveryBlockSize) {
  brute::IndexEverything index;
  std::string all;
  for (int c = 1; c < 128; ++c) all += static_cast<char>(c);
  auto t = brute::new_tree();
  Collection c;
  // The first string alone gives the root its 127 children one at a time,
  // so that the root's block fills and grows; the others rotate them.
  for (int i = 0; i < 20; ++i) {
    std::string s = all.substr(static_cast<size_t>(i)) + all.substr(0, 5);
    ASSERT_EQ(brute::add(t.get(), c, s, i), 1) << i;
    ASSERT_EQ(brute::check_built(t.get(), c), "") << "after string " << i;
  }
  EXPECT_TRUE(int_stree_is_indexed(t->root));
  EXPECT_EQ(int_stree_num_children(t.get(), t->root), 127);
  for (int code = 1; code < 128; ++code) {
    stree_ref pred = 7;
    stree_ref child = int_stree_index_child(t.get(), t->root, code, &pred);
    ASSERT_NE(child, STREE_NONE) << code;
    EXPECT_EQ(int_stree_code(t.get(), child), code);
    if (code == 1)
      EXPECT_EQ(pred, STREE_NONE);
    else
      EXPECT_EQ(int_stree_next_sibling(pred), child) << code;
  }
}

// Every allocation the index makes while a collection goes in fails in
// turn: no insertion fails, and the tree and the index stay sound.
TEST(StreeIndex, FailureAtEveryIndexAllocation) {
  brute::IndexEverything index;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::vector<std::string> texts =
        wide_collection(seed, "abcdefghijklmnopqrstu", 12, 40);
    for (long n = 1; n <= 12; ++n) {
      auto t = brute::new_tree();
      Collection c;
      stree_index_fail_at(t.get(), n);
      for (size_t i = 0; i < texts.size(); ++i) {
        std::string where = brute::describe(texts) + ", allocation " +
                            std::to_string(n) + " failing, string " +
                            std::to_string(i);
        ASSERT_EQ(brute::add(t.get(), c, texts[i], static_cast<int32_t>(i)), 1)
            << where;
        ASSERT_EQ(brute::check_built(t.get(), c), "") << where;
      }
    }
  }
}

// Thousands of indexed nodes leave the tree as strings are removed: the
// table must keep every remaining node reachable, and a deleted tree must
// leave nothing indexed.
TEST(StreeIndex, RemovalsKeepTheTableSound) {
  brute::IndexEverything index;
  for (uint32_t seed = 100; seed < 106; ++seed) {
    brute::Gen gen(seed, "abcdef");
    auto t = brute::new_tree();
    Collection c;
    for (int i = 0; i < 60; ++i)
      ASSERT_EQ(brute::add(t.get(), c, gen.random(40 + gen.below(80)), i), 1);
    ASSERT_GT(stree_index_nodes(t.get()), 600);  // the table has grown
    ASSERT_EQ(brute::check_built(t.get(), c), "");
    while (!c.empty()) {
      auto it = c.begin();
      std::advance(it, gen.below(static_cast<int>(c.size())));
      const int32_t slot = it->first;
      ASSERT_EQ(stree_remove_string(t.get(), t->ids[slot]), 1);
      c.erase(it);
      const char* fault = stree_check(t.get());
      ASSERT_EQ(fault, nullptr)
          << fault << "; seed " << seed << ", slot " << slot << " removed";
      if (c.size() % 20 == 0) {
        ASSERT_EQ(brute::check_built(t.get(), c, true), "") << "seed " << seed;
      }
    }
    EXPECT_LE(stree_index_nodes(t.get()), 1);  // the root at most
  }
}

// Releasing the index between insertions changes nothing but speed: the
// tree is the same as one built without any index.
TEST(StreeIndex, ReleaseBetweenInsertions) {
  for (uint32_t seed = 200; seed < 260; ++seed) {
    std::vector<std::string> texts = wide_collection(seed, "abcdefgh", 10, 30);
    auto plain = brute::new_tree();
    Collection pc;
    stree_index_set_threshold(plain.get(), 0);
    for (size_t i = 0; i < texts.size(); ++i) {
      const int32_t id = static_cast<int32_t>(i);
      ASSERT_EQ(brute::add(plain.get(), pc, texts[i], id), 1);
    }
    ASSERT_EQ(stree_index_nodes(plain.get()), 0);
    brute::IndexEverything index;
    auto t = brute::new_tree();
    Collection c;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i % 3 == 2) {
        stree_index_release(t.get());
        ASSERT_EQ(stree_check(t.get()), nullptr);
      }
      ASSERT_EQ(brute::add(t.get(), c, texts[i], static_cast<int32_t>(i)), 1);
    }
    ASSERT_EQ(brute::check_built(t.get(), c), "") << brute::describe(texts);
    EXPECT_EQ(brute::shape_diff(brute::dump_tree(plain.get()).shape,
                                brute::dump_tree(t.get()).shape),
              "")
        << brute::describe(texts);
  }
}

// When the system refuses the pool a page, the index gives its memory back
// and the pool asks again: an insertion that would fail without the index's
// memory succeeds.  Without an index the same refusal fails the insertion,
// which is rolled back.
TEST(StreeIndex, GivesWayWhenPagesRunOut) {
  for (int threshold : {1, 0}) {
    SCOPED_TRACE(threshold);
    brute::Gen gen(300, "abcdefghijklmnop");
    auto t = brute::new_tree();
    stree_index_set_threshold(t.get(), threshold);
    Collection c;
    for (int i = 0; i < 20; ++i)
      ASSERT_EQ(brute::add(t.get(), c, gen.random(100), i), 1);
    ASSERT_EQ(stree_index_nodes(t.get()) > 0, threshold > 0);
    brute::Shape before = brute::dump_tree(t.get()).shape;
    const int32_t slot = t->next_free;
    stree_pool_fail_body_at(1);  // the long string needs new pages
    const int r = brute::add(t.get(), c, gen.random(1500), 20);
    stree_pool_fail_body_at(0);
    if (threshold > 0) {
      ASSERT_EQ(r, 1);
      ASSERT_EQ(brute::check_built(t.get(), c), "");
    } else {
      ASSERT_EQ(r, 0);
      ASSERT_EQ(brute::check_rolled_back(t.get(), c, slot, slot, before), "");
    }
  }
}

}  // namespace
