// The tree's public operations refuse what they can check (a null tree or
// output pointer, a negative length, STREE_NONE, a position off the edge)
// with their documented failure value, on a sound tree, an empty one and
// one whose build in one go failed; the sanitized build catches the
// caller's breaches of what cannot be checked.
#include <gtest/gtest.h>

#include "stree_internal.h"

namespace {

void count(suffix_tree*, stree_ref, void* n) { ++*static_cast<int*>(n); }

// Every refusal of every operation, on `t` (which may hold no root).
void expect_refusals(suffix_tree* t) {
  const stree_ref root = stree_root(t);
  stree_ref r = 7;
  int32_t p = 7, slot, pos, id;
  char buf[8];
  const struct {
    const char* what;
    long got, want;
  } rows[] = {
      {"match, null tree", stree_match(nullptr, "a", 1, &r, &p), -1},
      {"match, negative length", stree_match(t, "a", -1, &r, &p), -1},
      {"match, null text", stree_match(t, nullptr, 1, &r, &p), -1},
      {"match, null record out", stree_match(t, "a", 1, nullptr, &p), -1},
      {"match, null position out", stree_match(t, "a", 1, &r, nullptr), -1},
      {"walk, STREE_NONE", stree_walk(t, STREE_NONE, 0, "a", 1, &r, &p), -1},
      {"walk, position below the edge", stree_walk(t, root, -1, "a", 1, &r, &p), -1},
      {"walk, position past the edge", stree_walk(t, root, 1, "a", 1, &r, &p), -1},
      {"add, null tree", stree_add_string(nullptr, "a", 1, 0), 0},
      {"add, null text", stree_add_string(t, nullptr, 0, 0), 0},
      {"add, negative length", stree_add_string(t, "a", -1, 0), 0},
      {"remove, null tree", stree_remove_string(nullptr, 0), 0},
      {"node id, null tree", stree_node_id(nullptr, root), STREE_NO_ID},
      {"node id, STREE_NONE", stree_node_id(t, STREE_NONE), STREE_NO_ID},
      {"label length, STREE_NONE", stree_get_labellen(t, STREE_NONE), -1},
      {"label, null tree", stree_get_label(nullptr, root, buf, 8), -1},
      {"label, null buffer", stree_get_label(t, root, nullptr, 8), -1},
      {"label, negative room", stree_get_label(t, root, buf, -1), -1},
      {"suffix, STREE_NONE", stree_get_suffix(t, STREE_NONE, 1, &slot, &pos, &id), 0},
      {"suffix, null out", stree_get_suffix(t, root, 1, nullptr, &pos, &id), 0},
      {"nodes, null tree", stree_num_nodes(nullptr), 0},
      {"root, null tree", stree_root(nullptr), STREE_NONE},
      {"index release, null tree", stree_index_release(nullptr), 0},
  };
  for (const auto& row : rows) EXPECT_EQ(row.got, row.want) << row.what;
  EXPECT_EQ(r, 7u) << "a refused walk wrote its output";
  EXPECT_EQ(p, 7);
  int visits = 0;
  stree_traverse(nullptr, count, count, &visits);
  stree_traverse_subtree(t, STREE_NONE, count, count, &visits);
  EXPECT_EQ(visits, 0);
  EXPECT_NE(stree_check(nullptr), nullptr);
  stree_delete_tree(nullptr);
}

TEST(Api, RefusesWhatItCanCheck) {
  suffix_tree* empty = stree_new_tree(128, 1);
  suffix_tree* sound = stree_new_tree(128, 1);
  suffix_tree* failed = stree_new_tree(128, 1);
  ASSERT_TRUE(empty && sound && failed);
  EXPECT_EQ(stree_new_tree(0, 1), nullptr);
  EXPECT_EQ(stree_new_tree(STREE_MAX_ALPHABET + 1, 1), nullptr);
  ASSERT_EQ(stree_add_string(sound, "abab", 4, 0), 1);
  for (suffix_tree* t : {empty, sound}) expect_refusals(t);
  // A build in one go that failed leaves a tree with no root, which every
  // operation refuses but deletion.
  ASSERT_EQ(int_stree_table_append(failed, "abab", 4, 0), 0);
  stree_pool_fail_at(1);
  ASSERT_EQ(int_stree_build_stored(failed), 0);
  stree_pool_fail_at(0);
  stree_ref r;
  int32_t p;
  EXPECT_EQ(stree_match(failed, "ab", 2, &r, &p), -1);
  EXPECT_EQ(stree_add_string(failed, "ab", 2, 1), 0);
  EXPECT_EQ(stree_remove_string(failed, 0), 0);
  EXPECT_NE(stree_check(failed), nullptr);
  for (suffix_tree* t : {empty, sound, failed}) stree_delete_tree(t);
}

// Reads of a deleted tree and a second deletion are caught in the
// sanitized build, as reads through stale references are (tree_test).
TEST(Api, BreachesAreCaughtWhenSanitized) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "only the sanitized build catches them";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto deleted = [] {
    suffix_tree* t = stree_new_tree(128, 1);
    stree_add_string(t, "abab", 4, 0);
    stree_delete_tree(t);
    return t;
  };
  stree_ref r;
  int32_t p;
  EXPECT_DEATH(stree_match(deleted(), "ab", 2, &r, &p), "use-after-free");
  EXPECT_DEATH(stree_delete_tree(deleted()), "use-after-free|double-free");
#endif
}

}  // namespace
