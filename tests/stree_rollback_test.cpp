// Rollback of a failed insertion: the pool is made to fail at every record
// request an insertion makes, and the tree left behind is checked against
// the tree before the add (brute_tree.h, check_rolled_back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brute_tree.h"

namespace {

using brute::Collection;
using brute::End;
using brute::Shape;

// A fresh tree holding `prior` in slots 0, 1, ...
brute::TreePtr build(const std::vector<std::string>& prior, Collection& c) {
  auto t = brute::new_tree();
  for (size_t i = 0; i < prior.size(); ++i) {
    EXPECT_EQ(brute::add(t.get(), c, prior[i], static_cast<int32_t>(i)), 1);
  }
  return t;
}

// Record requests a successful add of `last` after `prior` makes.
long requests_for(const std::vector<std::string>& prior,
                  const std::string& last) {
  Collection c;
  auto t = build(prior, c);
  long before = stree_pool_requests();
  EXPECT_EQ(brute::add(t.get(), c, last, 99), 1);
  return stree_pool_requests() - before;
}

// Fails the n-th request of adding `last` after `prior`, for every n the
// add makes, and checks each rollback.  `inspect`, when given, looks at the
// tree left by each failure.
template <typename Inspect>
void fail_every_request(const std::vector<std::string>& prior,
                        const std::string& last, Inspect inspect) {
  long total = requests_for(prior, last);
  for (long n = 1; n <= total; ++n) {
    Collection c;
    auto t = build(prior, c);
    Shape before = brute::dump_tree(t.get()).shape;
    int32_t slot = t->next_free;
    stree_pool_fail_at(n);
    int r = brute::add(t.get(), c, last, 99);
    stree_pool_fail_at(0);
    std::string where = "prior " + brute::describe(prior) + ", then " +
                        brute::quote(last) + " failing at request " +
                        std::to_string(n) + " of " + std::to_string(total);
    ASSERT_EQ(r, 0) << where;
    ASSERT_EQ(brute::check_rolled_back(t.get(), c, slot, slot, before), "")
        << where;
    inspect(t.get(), n);
  }
}

void fail_every_request(const std::vector<std::string>& prior,
                        const std::string& last) {
  fail_every_request(prior, last, [](suffix_tree*, long) {});
}

TEST(StreeRollback, FailuresInTheNamedShapes) {
  fail_every_request({}, "aa");
  fail_every_request({"ab"}, "ac");
  fail_every_request({"abc"}, "ab");
  fail_every_request({"xab"}, "ab");
  fail_every_request({"abab"}, "abab");
  fail_every_request({"abc"}, "abd");
  fail_every_request({"ab"}, "b");
}

// "aaaaaab" after "a": the leaf of "a" becomes a node with the end record
// (0, 0) and the leaf of suffix 0 below it (requests 1 to 3); the edge of
// that leaf is split for "aaaaa" (4) and the leaf of suffix 1 hangs below
// the new node (5), whose suffix link is not set yet; request 6 is the next
// split.  Whatever fails, only "a" is left: as its leaf when the conversion
// failed, else as a childless node carrying (0, 0).
TEST(StreeRollback, AaaaaabAfterA) {
  long total = requests_for({"a"}, "aaaaaab");
  ASSERT_GE(total, 6);
  fail_every_request({"a"}, "aaaaaab", [](suffix_tree* t, long n) {
    std::string where = "failing at request " + std::to_string(n);
    EXPECT_EQ(t->num_nodes, 2) << where;
    std::vector<stree_ref> top = brute::children_of(t, t->root);
    ASSERT_EQ(top.size(), 1u) << where;
    stree_ref a = top[0];
    if (n <= 3) {
      ASSERT_TRUE(int_stree_isaleaf(t, a)) << where;
      EXPECT_EQ(brute::leaf_strid(a), 0) << where;
      EXPECT_EQ(brute::leaf_edgepos(a), 0) << where;
    } else {
      ASSERT_FALSE(int_stree_isaleaf(t, a)) << where;
      EXPECT_EQ(int_stree_edge_length(t, a), 1) << where;
      EXPECT_EQ(brute::end_records(t, a), (std::vector<End>{{0, 0}})) << where;
      EXPECT_EQ(brute::first_child(t, a), STREE_NONE) << where;
    }
  });
}

// Every request of every add in random collections over small alphabets.
void run_random(const std::string& alphabet, uint32_t first_seed, int count,
                int max_prior, int maxlen) {
  for (uint32_t seed = first_seed; seed < first_seed + count; ++seed) {
    brute::Gen gen(seed, alphabet);
    std::vector<std::string> prior = gen.collection(gen.below(max_prior + 1), maxlen);
    std::string last = gen.next(maxlen + 10, prior);
    fail_every_request(prior, last);
    if (testing::Test::HasFatalFailure()) return;
  }
}

TEST(StreeRollback, RandomAb) { run_random("ab", 1, 700, 5, 16); }
TEST(StreeRollback, RandomAbc) { run_random("abc", 1000, 700, 5, 16); }
TEST(StreeRollback, RandomLongRepeats) { run_random("ab", 2000, 100, 3, 40); }
TEST(StreeRollback, RandomIndexed) {
  brute::IndexEverything index;
  run_random("abcd", 3000, 300, 5, 16);
}

}  // namespace
