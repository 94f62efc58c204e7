// Online insertion: the named shapes, the refusals (alphabet, full table,
// node limit) and random collections checked after every insertion against
// the brute-force model of brute_tree.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "brute_tree.h"

namespace {

using brute::Collection;
using brute::End;
using brute::Shape;

// The internal node at which `label` ends exactly, or STREE_NONE.
stree_ref internal_node_at(const suffix_tree* tree, const std::string& label) {
  stree_ref r = STREE_NONE;
  int32_t pos = 0;
  const int32_t n = static_cast<int32_t>(label.size());
  if (stree_match(tree, label.data(), n, &r, &pos) != n ||
      int_stree_isaleaf(tree, r) || pos != int_stree_edge_length(tree, r))
    return STREE_NONE;
  return r;
}

// The model itself, against shapes worked out by hand.
TEST(BruteModel, MatchesHandComputedShapes) {
  Shape aa = brute::expected_shape({{0, "aa"}});
  ASSERT_EQ(aa.size(), 3u);  // root, node "a", leaf "aa"
  EXPECT_EQ(aa[""].children, "a");
  EXPECT_FALSE(aa["a"].leaf);
  EXPECT_EQ(aa["a"].children, "a");
  EXPECT_EQ(aa["a"].ends, (std::vector<End>{{0, 1}}));
  EXPECT_TRUE(aa["aa"].leaf);
  EXPECT_EQ(aa["aa"].ends, (std::vector<End>{{0, 0}}));

  Shape abac = brute::expected_shape({{0, "ab"}, {1, "ac"}});
  ASSERT_EQ(abac.size(), 6u);
  EXPECT_EQ(abac[""].children, "abc");
  EXPECT_EQ(abac["a"].children, "bc");
  EXPECT_TRUE(abac["a"].ends.empty());
  EXPECT_TRUE(abac["ab"].leaf && abac["ac"].leaf && abac["b"].leaf &&
              abac["c"].leaf);

  EXPECT_EQ(brute::expected_shape({{0, "abc"}}).size(), 4u);
  Shape abc_ab = brute::expected_shape({{0, "abc"}, {1, "ab"}});
  ASSERT_EQ(abc_ab.size(), 6u);
  EXPECT_EQ(abc_ab.count("a"), 0u);
  EXPECT_EQ(abc_ab["ab"].children, "c");
  EXPECT_EQ(abc_ab["ab"].ends, (std::vector<End>{{1, 0}}));
  EXPECT_EQ(abc_ab["b"].ends, (std::vector<End>{{1, 1}}));

  Shape xab_ab = brute::expected_shape({{0, "xab"}, {1, "ab"}});
  ASSERT_EQ(xab_ab.size(), 4u);
  EXPECT_FALSE(xab_ab["ab"].leaf);
  EXPECT_EQ(xab_ab["ab"].children, "");
  EXPECT_EQ(xab_ab["ab"].ends, (std::vector<End>{{0, 1}, {1, 0}}));
  EXPECT_EQ(xab_ab["b"].ends, (std::vector<End>{{0, 2}, {1, 1}}));

  Shape abab = brute::expected_shape({{0, "abab"}});
  ASSERT_EQ(abab.size(), 5u);
  EXPECT_EQ(abab["ab"].ends, (std::vector<End>{{0, 2}}));
  EXPECT_EQ(abab["b"].ends, (std::vector<End>{{0, 3}}));
  EXPECT_TRUE(abab["abab"].leaf && abab["bab"].leaf);

  EXPECT_EQ(brute::expected_shape({{0, ""}}).size(), 1u);
}

TEST(StreeInsertShapes, EmptyStringTakesSlotAndAddsNothing) {
  auto t = brute::new_tree();
  Collection c;
  for (const char* first : {"", "abab"}) {
    if (*first) {
      ASSERT_EQ(brute::add(t.get(), c, first, 1), 1);
    }
    Shape before = brute::dump_tree(t.get()).shape;
    int32_t nodes = t->num_nodes;
    int32_t slot = t->next_free;
    long requests = stree_pool_requests();
    int pending = t->renumber_pending;
    ASSERT_EQ(brute::add(t.get(), c, "", 7), 1);
    EXPECT_NE(t->strings[slot], nullptr);
    EXPECT_EQ(t->lengths[slot], 0);
    EXPECT_EQ(t->ids[slot], 7);
    EXPECT_EQ(t->next_free, slot + 1);
    EXPECT_EQ(t->num_nodes, nodes);
    EXPECT_EQ(stree_pool_requests(), requests);
    EXPECT_EQ(t->renumber_pending, pending);
    EXPECT_EQ(brute::shape_diff(before, brute::dump_tree(t.get()).shape), "");
    EXPECT_EQ(brute::check_built(t.get(), c), "");
  }
}

TEST(StreeInsertShapes, AaAlone) {
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), "aa", 2, 0), 1);
  EXPECT_EQ(t->num_nodes, 3);
  std::vector<stree_ref> top = brute::children_of(t.get(), t->root);
  ASSERT_EQ(top.size(), 1u);
  stree_ref a = top[0];
  ASSERT_FALSE(int_stree_isaleaf(t.get(), a));
  EXPECT_EQ(int_stree_edge_length(t.get(), a), 1);
  EXPECT_EQ(brute::end_records(t.get(), a), (std::vector<End>{{0, 1}}));
  EXPECT_EQ(int_stree_node(a)->suffix_link, t->root);
  std::vector<stree_ref> below = brute::children_of(t.get(), a);
  ASSERT_EQ(below.size(), 1u);
  ASSERT_TRUE(int_stree_isaleaf(t.get(), below[0]));
  EXPECT_EQ(brute::leaf_strid(below[0]), 0);
  EXPECT_EQ(brute::leaf_edgepos(below[0]), 1);
  EXPECT_EQ(int_stree_get_leafpos(t.get(), below[0]), 0);
  EXPECT_EQ(brute::check_built(t.get(), {{0, "aa"}}), "");
}

TEST(StreeInsertShapes, AbThenAc) {
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), "ab", 2, 0), 1);
  ASSERT_EQ(stree_add_string(t.get(), "ac", 2, 1), 1);
  EXPECT_EQ(t->num_nodes, 6);
  std::vector<stree_ref> top = brute::children_of(t.get(), t->root);
  ASSERT_EQ(top.size(), 3u);
  stree_ref a = top[0];
  ASSERT_FALSE(int_stree_isaleaf(t.get(), a));
  EXPECT_EQ(int_stree_edge_length(t.get(), a), 1);
  EXPECT_EQ(*int_stree_edge_string(t.get(), a), 'a');
  EXPECT_FALSE(int_stree_has_endrecs(a));
  EXPECT_EQ(int_stree_node(a)->suffix_link, t->root);
  std::vector<stree_ref> under = brute::children_of(t.get(), a);
  ASSERT_EQ(under.size(), 2u);
  for (stree_ref leaf : {under[0], under[1], top[1], top[2]}) {
    ASSERT_TRUE(int_stree_isaleaf(t.get(), leaf));
    EXPECT_EQ(brute::leaf_edgepos(leaf), 1);
  }
  EXPECT_EQ(brute::leaf_strid(under[0]), 0);  // "ab", edge "b"
  EXPECT_EQ(brute::leaf_strid(under[1]), 1);  // "ac", edge "c"
  EXPECT_EQ(brute::leaf_strid(top[1]), 0);    // "b"
  EXPECT_EQ(brute::leaf_strid(top[2]), 1);    // "c"
  EXPECT_TRUE(int_stree_is_last(under[1]));
  EXPECT_EQ(int_stree_link(under[1]), a);
  EXPECT_TRUE(int_stree_is_last(top[2]));
  EXPECT_EQ(int_stree_link(top[2]), t->root);
  EXPECT_EQ(brute::check_built(t.get(), {{0, "ab"}, {1, "ac"}}), "");
}

TEST(StreeInsertShapes, AbcThenAbSplitsTwoLeafEdges) {
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), "abc", 3, 0), 1);
  ASSERT_EQ(t->num_nodes, 4);
  ASSERT_EQ(stree_add_string(t.get(), "ab", 2, 1), 1);
  EXPECT_EQ(t->num_nodes, 6);
  const stree_ref ab = internal_node_at(t.get(), "ab");
  const stree_ref b = internal_node_at(t.get(), "b");
  ASSERT_NE(ab, STREE_NONE);
  ASSERT_NE(b, STREE_NONE);
  EXPECT_EQ(brute::end_records(t.get(), ab), (std::vector<End>{{1, 0}}));
  EXPECT_EQ(brute::end_records(t.get(), b), (std::vector<End>{{1, 1}}));
  EXPECT_EQ(int_stree_node(ab)->suffix_link, b);
  EXPECT_EQ(int_stree_node(b)->suffix_link, t->root);
  EXPECT_EQ(brute::check_built(t.get(), {{0, "abc"}, {1, "ab"}}), "");
}

TEST(StreeInsertShapes, XabThenAbConvertsLeaves) {
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), "xab", 3, 0), 1);
  ASSERT_EQ(t->num_nodes, 4);
  ASSERT_EQ(stree_add_string(t.get(), "ab", 2, 1), 1);
  EXPECT_EQ(t->num_nodes, 4);
  const stree_ref ab = internal_node_at(t.get(), "ab");
  const stree_ref b = internal_node_at(t.get(), "b");
  ASSERT_NE(ab, STREE_NONE);
  ASSERT_NE(b, STREE_NONE);
  // The new string's record is the head of each list.
  EXPECT_EQ(brute::end_records(t.get(), ab), (std::vector<End>{{1, 0}, {0, 1}}));
  EXPECT_EQ(brute::end_records(t.get(), b), (std::vector<End>{{1, 1}, {0, 2}}));
  EXPECT_EQ(brute::first_child(t.get(), ab), STREE_NONE);
  EXPECT_EQ(int_stree_node(ab)->suffix_link, b);
  EXPECT_EQ(int_stree_node(b)->suffix_link, t->root);
  EXPECT_EQ(brute::check_built(t.get(), {{0, "xab"}, {1, "ab"}}), "");
}

// Adding only end records keeps the numbering valid; a split does not.
TEST(StreeInsertShapes, EndRecordsAloneLeaveNumberingValid) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "xab", 0), 1);
  ASSERT_EQ(brute::add(t.get(), c, "ab", 1), 1);
  int_stree_renumber(t.get());
  ASSERT_EQ(t->renumber_pending, 0);
  ASSERT_EQ(brute::add(t.get(), c, "ab", 2), 1);
  EXPECT_EQ(t->renumber_pending, 0);
  ASSERT_EQ(brute::add(t.get(), c, "x", 3), 1);  // splits the edge of "xab"
  EXPECT_NE(t->renumber_pending, 0);
  EXPECT_EQ(brute::check_built(t.get(), c), "");
}

TEST(StreeInsertShapes, EqualStringAddsNoNode) {
  for (const char* s : {"abab", "aaaa", "abcab", "a", "abcabcab"}) {
    auto t = brute::new_tree();
    Collection c;
    ASSERT_EQ(brute::add(t.get(), c, s, 0), 1);
    int32_t nodes = t->num_nodes;
    ASSERT_EQ(brute::add(t.get(), c, s, 1), 1);
    EXPECT_EQ(t->num_nodes, nodes) << s;
    ASSERT_EQ(brute::add(t.get(), c, s, 2), 1);
    EXPECT_EQ(t->num_nodes, nodes) << s;
    EXPECT_EQ(brute::check_built(t.get(), c), "") << s;
  }
}

TEST(StreeInsertRefusals, ByteOutsideAlphabet) {
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, "abab", 0), 1);
  Shape before = brute::dump_tree(t.get()).shape;
  long requests = stree_pool_requests();
  for (const char* bad : {"a\x80" "b", "\xff", "ab\xc3\xa9"}) {
    EXPECT_EQ(brute::add(t.get(), c, bad, 1), 0);
    EXPECT_EQ(t->next_free, 1);
    EXPECT_EQ(t->strings[1], nullptr);
  }
  EXPECT_EQ(stree_pool_requests(), requests);
  EXPECT_EQ(t->num_nodes, 5);
  EXPECT_EQ(brute::shape_diff(before, brute::dump_tree(t.get()).shape), "");
  EXPECT_EQ(brute::check_built(t.get(), c), "");
}

TEST(StreeInsertRefusals, FullTableLeavesTreeUntouched) {
  auto t = brute::new_tree();
  Collection c;
  brute::Gen gen(11, "ab");
  for (int i = 0; i < STREE_MAX_STRINGS; ++i) {
    ASSERT_EQ(brute::add(t.get(), c, gen.random(gen.below(5)), i), 1) << i;
  }
  ASSERT_EQ(t->next_free, STREE_MAX_STRINGS);
  ASSERT_EQ(brute::check_built(t.get(), c), "");
  Shape before = brute::dump_tree(t.get()).shape;
  int32_t nodes = t->num_nodes;
  long requests = stree_pool_requests();
  EXPECT_EQ(stree_add_string(t.get(), "abba", 4, 99999), 0);
  EXPECT_EQ(stree_add_string(t.get(), "", 0, 99999), 0);
  EXPECT_EQ(t->next_free, STREE_MAX_STRINGS);
  EXPECT_EQ(t->num_nodes, nodes);
  EXPECT_EQ(stree_pool_requests(), requests);
  EXPECT_EQ(brute::shape_diff(before, brute::dump_tree(t.get()).shape), "");
}

// Adds s with num_nodes raised so that exactly `room` more nodes or leaves
// fit below the limit; num_nodes is lowered back by the same amount after.
int add_with_room(suffix_tree* t, Collection& c, const std::string& s,
                  int32_t room) {
  int32_t offset = STREE_MAX_NODES - room - t->num_nodes;
  t->num_nodes += offset;
  int r = brute::add(t, c, s, 77);
  t->num_nodes -= offset;
  return r;
}

TEST(StreeInsertRefusals, NodeLimitNamedCases) {
  // A failed add leaves a tree that is not added to again, so each case
  // starts from a fresh tree holding "ab".
  auto fresh = [](Collection& c) {
    auto t = brute::new_tree();
    EXPECT_EQ(brute::add(t.get(), c, "ab", 0), 1);
    return t;
  };
  // "ac" needs a split and two leaves.
  for (int32_t room : {0, 1, 2}) {
    Collection c;
    auto t = fresh(c);
    Shape before = brute::dump_tree(t.get()).shape;
    EXPECT_EQ(add_with_room(t.get(), c, "ac", room), 0) << room;
    EXPECT_EQ(brute::check_rolled_back(t.get(), c, 1, 1, before), "") << room;
  }
  // Suffixes that end at a leaf's end or at a node take no new record.
  {
    Collection c;
    auto t = fresh(c);
    EXPECT_EQ(add_with_room(t.get(), c, "b", 0), 1);
    EXPECT_EQ(add_with_room(t.get(), c, "ab", 0), 1);
    EXPECT_EQ(add_with_room(t.get(), c, "", 0), 1);
    EXPECT_EQ(brute::check_built(t.get(), c), "");
    EXPECT_EQ(add_with_room(t.get(), c, "ac", 3), 1);
    EXPECT_EQ(brute::check_built(t.get(), c), "");
  }
  // "bab" needs a leaf for its suffix 0 although "ab" and "b" are there.
  {
    Collection c;
    auto t = fresh(c);
    EXPECT_EQ(add_with_room(t.get(), c, "b", 0), 1);
    Shape before = brute::dump_tree(t.get()).shape;
    EXPECT_EQ(add_with_room(t.get(), c, "bab", 0), 0);
    EXPECT_EQ(brute::check_rolled_back(t.get(), c, 2, 2, before), "");
  }
}

// With room for k records, an add succeeds exactly when the model says it
// needs at most k; a refused add is rolled back.
TEST(StreeInsertRefusals, NodeLimitRandom) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    brute::Gen gen(seed, seed % 2 ? "ab" : "abc");
    std::vector<std::string> prior = gen.collection(1 + gen.below(5), 12);
    std::string last = gen.next(16, prior);
    Collection base;
    for (size_t i = 0; i < prior.size(); ++i) base[static_cast<int32_t>(i)] = prior[i];
    Collection all = base;
    all[static_cast<int32_t>(prior.size())] = last;
    int32_t need = static_cast<int32_t>(brute::expected_shape(all).size() -
                                        brute::expected_shape(base).size());
    for (int32_t room : {need - 2, need - 1, need, need + 1}) {
      if (room < 0) continue;
      auto t = brute::new_tree();
      Collection c;
      for (size_t i = 0; i < prior.size(); ++i)
        ASSERT_EQ(brute::add(t.get(), c, prior[i], static_cast<int32_t>(i)), 1);
      Shape before = brute::dump_tree(t.get()).shape;
      int32_t slot = t->next_free;
      int r = add_with_room(t.get(), c, last, room);
      std::string where = "prior " + brute::describe(prior) + " then " +
                          brute::quote(last) + ", room " +
                          std::to_string(room) + ", needs " +
                          std::to_string(need);
      ASSERT_EQ(r, room >= need ? 1 : 0) << where;
      std::string fault = r ? brute::check_built(t.get(), c)
                            : brute::check_rolled_back(t.get(), c, slot, slot,
                                                       before);
      ASSERT_EQ(fault, "") << where;
    }
  }
}

// Random collections over small alphabets, checked after every insertion.
void run_random(const std::string& alphabet, uint32_t first_seed, int count,
                int max_strings, int maxlen) {
  for (uint32_t seed = first_seed; seed < first_seed + count; ++seed) {
    brute::Gen gen(seed, alphabet);
    std::vector<std::string> texts =
        gen.collection(1 + gen.below(max_strings), maxlen);
    auto t = brute::new_tree();
    Collection c;
    for (size_t i = 0; i < texts.size(); ++i) {
      std::vector<std::string> prefix(texts.begin(), texts.begin() + i + 1);
      ASSERT_EQ(brute::add(t.get(), c, texts[i], static_cast<int32_t>(i)), 1)
          << brute::describe(prefix);
      ASSERT_EQ(brute::check_built(t.get(), c), "") << brute::describe(prefix);
    }
  }
}

TEST(StreeInsertRandom, AlphabetAb) { run_random("ab", 1000, 600, 8, 30); }
TEST(StreeInsertRandom, AlphabetAbc) { run_random("abc", 2000, 600, 8, 30); }
// Extreme codes: 1 and 127 must survive the 7-bit first_char.
TEST(StreeInsertRandom, ExtremeCodes) { run_random("\001a\177", 3000, 100, 6, 20); }
TEST(StreeInsertRandom, WiderAlphabet) { run_random("abcdefgh", 4000, 60, 6, 30); }
TEST(StreeInsertRandom, LongerStrings) { run_random("ab", 5000, 15, 4, 70); }
// The same checks (stree_check compares every index block with its list)
// with the child index serving every node it can.
TEST(StreeInsertRandom, IndexedAbc) {
  brute::IndexEverything index;
  run_random("abc", 6000, 400, 8, 30);
}
TEST(StreeInsertRandom, IndexedWiderAlphabet) {
  brute::IndexEverything index;
  run_random("abcdefgh", 7000, 100, 6, 30);
}

// Long strings: a chain as deep as the string (nothing may recurse to the
// depth of the tree), and strings at the limit of the 19-bit positions.
TEST(StreeInsertLong, DeepChainOfOneCharacter) {
  const int32_t n = 200000;
  std::string text(static_cast<size_t>(n), 'a');
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), text.c_str(), n, 5), 1);
  // Nodes for a^1 .. a^(n-1), each with one end record, and the leaf a^n.
  // (stree_check compares every label with its parent's path, which costs
  // the square of the depth here, so the shape is checked by hand.)
  EXPECT_EQ(t->num_nodes, n + 1);
  stree_ref x = t->root;
  for (int32_t depth = 1; depth < n; ++depth) {
    std::vector<stree_ref> kids = brute::children_of(t.get(), x);
    ASSERT_EQ(kids.size(), 1u) << depth;
    ASSERT_FALSE(int_stree_isaleaf(t.get(), kids[0])) << depth;
    ASSERT_EQ(int_stree_edge_length(t.get(), kids[0]), 1) << depth;
    ASSERT_EQ(brute::end_records(t.get(), kids[0]),
              (std::vector<End>{{0, n - depth}}))
        << depth;
    ASSERT_EQ(int_stree_node(kids[0])->suffix_link, x) << depth;
    x = kids[0];
  }
  std::vector<stree_ref> last = brute::children_of(t.get(), x);
  ASSERT_EQ(last.size(), 1u);
  ASSERT_TRUE(int_stree_isaleaf(t.get(), last[0]));
  EXPECT_EQ(brute::leaf_edgepos(last[0]), n - 1);
  stree_ref r = STREE_NONE;
  int32_t pos = 0;
  ASSERT_EQ(stree_match(t.get(), text.c_str(), n, &r, &pos), n);
  ASSERT_TRUE(int_stree_isaleaf(t.get(), r));
  EXPECT_EQ(pos, int_stree_edge_length(t.get(), r));
  EXPECT_EQ(int_stree_get_leafpos(t.get(), r), 0);
  ASSERT_EQ(stree_match(t.get(), text.c_str(), 1, &r, &pos), 1);
  EXPECT_EQ(brute::end_records(t.get(), r), (std::vector<End>{{0, n - 1}}));
  ASSERT_EQ(stree_remove_string(t.get(), 5), 1);
  EXPECT_EQ(t->num_nodes, 1);
  EXPECT_EQ(brute::first_child(t.get(), t->root), STREE_NONE);
}

TEST(StreeInsertLong, LongestStrings) {
  brute::Gen gen(77, "ab");
  std::string text = gen.random(STREE_MAX_POSITION + 1);
  auto t = brute::new_tree();
  Collection c;
  ASSERT_EQ(brute::add(t.get(), c, text, 0), 1);
  std::string tail = text.substr(text.size() - 5000) + "b";
  ASSERT_EQ(brute::add(t.get(), c, tail, 1), 1);
  EXPECT_EQ(stree_check(t.get(), 1), nullptr);
  // A sample of suffixes, the last ones (largest positions) among them.
  for (int k = 0; k < 300; ++k) {
    int32_t slot = k % 2;
    const std::string& s = c[slot];
    size_t start = k < 100 ? s.size() - 1 - static_cast<size_t>(k)
                           : static_cast<size_t>(gen.below(static_cast<int>(s.size())));
    std::string suffix = s.substr(start);
    stree_ref r = STREE_NONE;
    int32_t pos = 0;
    int32_t len = static_cast<int32_t>(suffix.size());
    ASSERT_EQ(stree_match(t.get(), suffix.data(), len, &r, &pos), len);
    ASSERT_EQ(pos, int_stree_edge_length(t.get(), r));
    End want{slot, static_cast<int32_t>(start)};
    if (int_stree_isaleaf(t.get(), r)) {
      EXPECT_EQ(End(brute::leaf_strid(r), int_stree_get_leafpos(t.get(), r)), want);
    } else {
      std::vector<End> ends = brute::end_records(t.get(), r);
      EXPECT_NE(std::find(ends.begin(), ends.end(), want), ends.end());
    }
  }
  // One character more than a position can address is refused.
  std::string too_long = text + "a";
  int32_t nodes = t->num_nodes;
  EXPECT_EQ(brute::add(t.get(), c, too_long, 2), 0);
  EXPECT_EQ(t->num_nodes, nodes);
  EXPECT_EQ(t->next_free, 2);
}

}  // namespace
