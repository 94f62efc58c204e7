// Navigation, numbering and the traversal helpers on trees built by hand:
// the documents "ab"+"ac" and "abab" with every answer written out, random
// collections built one suffix at a time and checked against a model read
// straight from the records, and a chain 100,000 nodes deep.
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tree_builders.h"

namespace {

using namespace treetest;

class NavigateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree = stree_new_tree(128, 1);
    ASSERT_NE(tree, nullptr);
  }
  void TearDown() override { stree_delete_tree(tree); }

  struct stop {
    int32_t matched;
    stree_ref rec;
    int32_t pos;
  };
  stop match(const std::string& text) {
    stop s{-1, STREE_NONE, -1};
    s.matched = stree_match(tree, text.data(), static_cast<int32_t>(text.size()),
                            &s.rec, &s.pos);
    return s;
  }
  stop walk_to_leaf(stree_ref r, int32_t pos, const std::string& text) {
    stop s{-1, STREE_NONE, -1};
    s.matched = int_stree_walk_to_leaf(tree, r, pos, text.data(),
                                       static_cast<int32_t>(text.size()),
                                       &s.rec, &s.pos);
    return s;
  }
  stop walk(stree_ref r, int32_t pos, const std::string& text) {
    stop s{-1, STREE_NONE, -1};
    s.matched = stree_walk(tree, r, pos, text.data(),
                           static_cast<int32_t>(text.size()), &s.rec, &s.pos);
    return s;
  }
  suffix_tree* tree = nullptr;
};

#define EXPECT_STOP(s, m, r, p)   \
  do {                            \
    auto s_ = (s);                \
    EXPECT_EQ(s_.matched, (m));   \
    EXPECT_EQ(s_.rec, (r));       \
    EXPECT_EQ(s_.pos, (p));       \
  } while (0)

// ---- the documents "ab" and "ac" --------------------------------------------

TEST_F(NavigateTest, AbAcChildLookup) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'a'), x.a);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'b'), x.leaf_b);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'c'), x.leaf_c);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'd'), STREE_NONE);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 0), STREE_NONE);
  EXPECT_EQ(int_stree_find_child(tree, x.a, 'b'), x.leaf_ab);
  EXPECT_EQ(int_stree_find_child(tree, x.a, 'c'), x.leaf_ac);
  EXPECT_EQ(int_stree_find_child(tree, x.a, 'a'), STREE_NONE);
  // Only the low 8 bits are the character.
  EXPECT_EQ(int_stree_find_child(tree, x.root, 0x100 + 'a'), x.a);
  EXPECT_EQ(int_stree_find_child(tree, x.root, -256 + 'c'), x.leaf_c);
  for (int c = 0x80; c <= 0xff; ++c) {
    EXPECT_EQ(int_stree_find_child(tree, x.root, c), STREE_NONE) << c;
    // The same byte as a signed char.
    EXPECT_EQ(int_stree_find_child(tree, x.root, c - 256), STREE_NONE) << c;
  }
  // Its low 7 bits name existing children, which must not be found.
  EXPECT_EQ(int_stree_find_child(tree, x.root, 0x80 | 'a'), STREE_NONE);
  EXPECT_EQ(int_stree_find_child(tree, x.a, 0x80 | 'b'), STREE_NONE);
  for (stree_ref leaf : {x.leaf_ab, x.leaf_ac, x.leaf_b, x.leaf_c})
    for (int c = 0; c < 256; ++c)
      ASSERT_EQ(int_stree_find_child(tree, leaf, c), STREE_NONE) << c;
}

TEST_F(NavigateTest, AbAcParentsPositionsAndCounts) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_EQ(tree->num_nodes, 6);
  EXPECT_EQ(int_stree_get_parent(tree, x.leaf_ab), x.a);
  EXPECT_EQ(int_stree_get_parent(tree, x.leaf_ac), x.a);
  EXPECT_EQ(int_stree_get_parent(tree, x.a), x.root);
  EXPECT_EQ(int_stree_get_parent(tree, x.leaf_b), x.root);
  EXPECT_EQ(int_stree_get_parent(tree, x.leaf_c), x.root);
  EXPECT_EQ(int_stree_get_parent(tree, x.root), STREE_NONE);

  EXPECT_EQ(int_stree_get_leafpos(tree, x.leaf_ab), 0);
  EXPECT_EQ(int_stree_get_leafpos(tree, x.leaf_ac), 0);
  EXPECT_EQ(int_stree_get_leafpos(tree, x.leaf_b), 1);
  EXPECT_EQ(int_stree_get_leafpos(tree, x.leaf_c), 1);

  EXPECT_EQ(int_stree_num_children(tree, x.root), 3);
  EXPECT_EQ(int_stree_num_children(tree, x.a), 2);
  EXPECT_EQ(int_stree_num_children(tree, x.leaf_ab), 0);
  EXPECT_EQ(int_stree_num_ends(tree, x.root), 0);
  EXPECT_EQ(int_stree_num_ends(tree, x.a), 0);
  for (stree_ref leaf : {x.leaf_ab, x.leaf_ac, x.leaf_b, x.leaf_c}) {
    EXPECT_EQ(int_stree_num_children(tree, leaf), 0);
    EXPECT_EQ(int_stree_num_ends(tree, leaf), 1);
  }
}

TEST_F(NavigateTest, AbAcEdgeAccessors) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_TRUE(int_stree_isaleaf(tree, x.leaf_ab));
  EXPECT_FALSE(int_stree_isaleaf(tree, x.a));
  EXPECT_FALSE(int_stree_isaleaf(tree, x.root));
  EXPECT_EQ(int_stree_edge_string(tree, x.a), tree->strings[0]);
  EXPECT_EQ(int_stree_edge_length(tree, x.a), 1);
  EXPECT_EQ(int_stree_edge_string(tree, x.leaf_ac), tree->strings[1] + 1);
  EXPECT_EQ(int_stree_edge_length(tree, x.leaf_ac), 1);
  EXPECT_EQ(int_stree_edge_length(tree, x.root), 0);
  // The root's edge is empty and has no string, even when slot 0 is used.
  EXPECT_EQ(int_stree_edge_string(tree, x.root), nullptr);
}

TEST_F(NavigateTest, AbAcSuffixLinks) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.leaf_ab), x.leaf_b);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.leaf_ac), x.leaf_c);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.leaf_b), x.root);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.leaf_c), x.root);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.a), x.root);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.root), STREE_NONE);
}

TEST_F(NavigateTest, AbAcMatch) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_STOP(match("ab"), 2, x.leaf_ab, 1);
  EXPECT_STOP(match("ac"), 2, x.leaf_ac, 1);
  EXPECT_STOP(match("a"), 1, x.a, 1);
  EXPECT_STOP(match("ad"), 1, x.a, 1);
  EXPECT_STOP(match("bc"), 1, x.leaf_b, 1);
  EXPECT_STOP(match("x"), 0, x.root, 0);
  EXPECT_STOP(match(""), 0, x.root, 0);
  EXPECT_STOP(match("abc"), 2, x.leaf_ab, 1);   // past the leaf's end
  EXPECT_STOP(match("c"), 1, x.leaf_c, 1);
  // Refused characters: at the root and after a node.
  EXPECT_STOP(match("\x80"), 0, x.root, 0);
  EXPECT_STOP(match("\xe1"), 0, x.root, 0);      // 0xe1 & 0x7f == 'a'
  EXPECT_STOP(match("a\xe2"), 1, x.a, 1);        // 0xe2 & 0x7f == 'b'
  // The text is a pointer and a length: no terminator is needed or read.
  const char buf[] = {'a', 'b', 'a'};
  stree_ref r = STREE_NONE;
  int32_t pos = -1;
  EXPECT_EQ(stree_match(tree, buf, 2, &r, &pos), 2);
  EXPECT_EQ(r, x.leaf_ab);
}

TEST_F(NavigateTest, AbAcInnerWalk) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "ab"), 1, x.leaf_ab, 0);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "ac"), 1, x.leaf_ac, 0);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "a"), 1, x.a, 1);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "ad"), 1, x.a, 1);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "b"), 0, x.leaf_b, 0);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "x"), 0, x.root, 0);
  EXPECT_STOP(walk_to_leaf(x.root, 0, ""), 0, x.root, 0);
  // From a point other than the root.
  EXPECT_STOP(walk_to_leaf(x.a, 1, "c"), 0, x.leaf_ac, 0);
  EXPECT_STOP(walk_to_leaf(x.a, 0, "ab"), 1, x.leaf_ab, 0);
  EXPECT_STOP(walk_to_leaf(x.a, 0, "x"), 0, x.a, 0);
  // Starting on a leaf stops at once.
  EXPECT_STOP(walk_to_leaf(x.leaf_b, 0, "b"), 0, x.leaf_b, 0);
  // The outer walk goes on along the leaf.
  EXPECT_STOP(walk(x.leaf_b, 0, "b"), 1, x.leaf_b, 1);
  EXPECT_STOP(walk(x.a, 1, "cc"), 1, x.leaf_ac, 1);
  EXPECT_STOP(walk(x.a, 0, "ab"), 2, x.leaf_ab, 1);
}

TEST_F(NavigateTest, AbAcRenumbering) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_TRUE(tree->renumber_pending);
  int_stree_renumber(tree);
  EXPECT_FALSE(tree->renumber_pending);
  const std::vector<stree_ref> order = {x.root,   x.a,      x.leaf_ab,
                                        x.leaf_ac, x.leaf_b, x.leaf_c};
  for (size_t i = 0; i < order.size(); ++i)
    EXPECT_EQ(int_stree_id(order[i]), i);
  // The other header bits are untouched.
  EXPECT_TRUE(is_last(x.root));
  EXPECT_TRUE(is_last(x.leaf_ac));
  EXPECT_FALSE(is_last(x.leaf_ab));
  EXPECT_TRUE(is_last(x.leaf_c));
  EXPECT_EQ(first_char(x.leaf_b), 'b');
  EXPECT_TRUE(is_leaf(x.leaf_c));

  // With the flag clear a second call touches nothing.
  int_stree_header(x.a) = (int_stree_header(x.a) & ~STREE_ID_MASK) | 77;
  int_stree_renumber(tree);
  EXPECT_EQ(int_stree_id(x.a), 77u);
  EXPECT_EQ(stree_node_id(tree, x.a), 77u);

  // After a structural change the next call numbers the tree again.
  add_text(tree, "d", 12);
  stree_ref leaf_d = hang_leaf(tree, x.root, 2, 0);
  EXPECT_TRUE(tree->renumber_pending);
  EXPECT_EQ(stree_node_id(tree, leaf_d), 6u);
  EXPECT_EQ(int_stree_id(x.a), 1u);
  EXPECT_FALSE(tree->renumber_pending);
  // A new first child moves every number after it.
  add_text(tree, "0", 13);
  stree_ref leaf_0 = hang_leaf(tree, x.root, 3, 0);
  int_stree_renumber(tree);
  EXPECT_EQ(int_stree_id(leaf_0), 1u);
  EXPECT_EQ(int_stree_id(x.a), 2u);
  EXPECT_EQ(int_stree_id(x.leaf_c), 6u);
  EXPECT_EQ(int_stree_id(leaf_d), 7u);
}

// Callbacks record the order of entering and leaving.
struct visit_log {
  suffix_tree* tree;
  std::vector<std::pair<char, stree_ref>> events;
};
void log_enter(suffix_tree* t, stree_ref r, void* data) {
  auto* log = static_cast<visit_log*>(data);
  EXPECT_EQ(t, log->tree);
  log->events.push_back({'+', r});
}
void log_leave(suffix_tree* t, stree_ref r, void* data) {
  auto* log = static_cast<visit_log*>(data);
  EXPECT_EQ(t, log->tree);
  log->events.push_back({'-', r});
}

TEST_F(NavigateTest, AbAcTraverse) {
  ab_ac_tree x = build_ab_ac(tree);
  visit_log log{tree, {}};
  stree_traverse(tree, log_enter, log_leave, &log);
  std::vector<std::pair<char, stree_ref>> want = {
      {'+', x.root},    {'+', x.a},       {'+', x.leaf_ab}, {'-', x.leaf_ab},
      {'+', x.leaf_ac}, {'-', x.leaf_ac}, {'-', x.a},       {'+', x.leaf_b},
      {'-', x.leaf_b},  {'+', x.leaf_c},  {'-', x.leaf_c},  {'-', x.root}};
  EXPECT_EQ(log.events, want);

  // A subtree walk stays inside the subtree (A has siblings after it).
  log.events.clear();
  stree_traverse_subtree(tree, x.a, log_enter, log_leave, &log);
  want = {{'+', x.a},       {'+', x.leaf_ab}, {'-', x.leaf_ab},
          {'+', x.leaf_ac}, {'-', x.leaf_ac}, {'-', x.a}};
  EXPECT_EQ(log.events, want);
  log.events.clear();
  stree_traverse_subtree(tree, x.leaf_b, log_enter, log_leave, &log);
  want = {{'+', x.leaf_b}, {'-', x.leaf_b}};
  EXPECT_EQ(log.events, want);

  // Either callback may be missing.
  log.events.clear();
  stree_traverse(tree, nullptr, log_leave, &log);
  EXPECT_EQ(log.events.size(), 6u);
  EXPECT_EQ(log.events.back().second, x.root);
  log.events.clear();
  stree_traverse(tree, log_enter, nullptr, &log);
  EXPECT_EQ(log.events.size(), 6u);
  EXPECT_EQ(log.events.front().second, x.root);
}

TEST_F(NavigateTest, AbAcLabelsAndSuffixes) {
  ab_ac_tree x = build_ab_ac(tree);
  EXPECT_EQ(stree_get_labellen(tree, x.root), 0);
  EXPECT_EQ(stree_get_labellen(tree, x.a), 1);
  EXPECT_EQ(stree_get_labellen(tree, x.leaf_ab), 2);
  EXPECT_EQ(stree_get_labellen(tree, x.leaf_c), 1);

  char buf[8];
  std::fill(buf, buf + 8, '#');
  EXPECT_EQ(stree_get_label(tree, x.leaf_ac, buf, 8), 2);
  EXPECT_EQ(std::string(buf, 3), "ac#");
  std::fill(buf, buf + 8, '#');
  EXPECT_EQ(stree_get_label(tree, x.leaf_ab, buf, 1), 1);
  EXPECT_EQ(std::string(buf, 2), "a#");
  EXPECT_EQ(stree_get_label(tree, x.leaf_ab, buf, 0), 0);
  EXPECT_EQ(stree_get_label(tree, x.root, buf, 8), 0);
  EXPECT_EQ(buf[1], '#');

  int32_t strid = -1, pos = -1, id = -1;
  EXPECT_EQ(stree_get_suffix(tree, x.leaf_ac, 1, &strid, &pos, &id), 1);
  EXPECT_EQ(std::make_tuple(strid, pos, id), std::make_tuple(1, 0, 11));
  EXPECT_EQ(stree_get_suffix(tree, x.leaf_b, 1, &strid, &pos, &id), 1);
  EXPECT_EQ(std::make_tuple(strid, pos, id), std::make_tuple(0, 1, 10));
  EXPECT_EQ(stree_get_suffix(tree, x.leaf_b, 2, &strid, &pos, &id), 0);
  EXPECT_EQ(stree_get_suffix(tree, x.leaf_b, 0, &strid, &pos, &id), 0);
  EXPECT_EQ(stree_get_suffix(tree, x.a, 1, &strid, &pos, &id), 0);
  EXPECT_EQ(stree_get_suffix(tree, x.root, 1, &strid, &pos, &id), 0);
}

// ---- the document "abab" ----------------------------------------------------

TEST_F(NavigateTest, AbabLookupsThroughEndRecords) {
  abab_tree x = build_abab(tree);
  EXPECT_EQ(tree->num_nodes, 5);
  // AB's own children word holds its end record; the child is found through
  // the end record's children word.
  EXPECT_TRUE(int_stree_has_endrecs(x.ab));
  EXPECT_NE(node(x.ab)->children, x.ab_leaf);
  EXPECT_EQ(int_stree_find_child(tree, x.ab, 'a'), x.ab_leaf);
  EXPECT_EQ(int_stree_find_child(tree, x.ab, 'b'), STREE_NONE);
  EXPECT_EQ(int_stree_find_child(tree, x.b, 'a'), x.b_leaf);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'a'), x.ab);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'b'), x.b);
  EXPECT_EQ(int_stree_num_children(tree, x.ab), 1);
  EXPECT_EQ(int_stree_num_ends(tree, x.ab), 1);
  EXPECT_EQ(int_stree_num_children(tree, x.b), 1);
  EXPECT_EQ(int_stree_num_ends(tree, x.b), 1);
  EXPECT_EQ(int_stree_num_children(tree, x.root), 2);
  EXPECT_EQ(int_stree_get_parent(tree, x.ab_leaf), x.ab);
  EXPECT_EQ(int_stree_get_parent(tree, x.b_leaf), x.b);
  EXPECT_EQ(int_stree_get_parent(tree, x.ab), x.root);
  EXPECT_EQ(int_stree_get_leafpos(tree, x.ab_leaf), 0);
  EXPECT_EQ(int_stree_get_leafpos(tree, x.b_leaf), 1);
}

TEST_F(NavigateTest, AbabSuffixLinksOfLeaves) {
  abab_tree x = build_abab(tree);
  // From AB's suffix link B, one edge of length 2.
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.ab_leaf), x.b_leaf);
  // From the root, one edge of length 2, to the node carrying "ab".
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.b_leaf), x.ab);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.ab), x.b);
  EXPECT_EQ(int_stree_leaf_suffix_link(tree, x.b), x.root);
}

// One text for every row of the match result table.
TEST_F(NavigateTest, AbabMatchEveryKindOfStop) {
  abab_tree x = build_abab(tree);
  // The text is empty.
  EXPECT_STOP(match(""), 0, x.root, 0);
  // Ends exactly at an internal node.
  EXPECT_STOP(match("ab"), 2, x.ab, 2);
  EXPECT_STOP(match("b"), 1, x.b, 1);
  // Ends inside an internal node's edge.
  EXPECT_STOP(match("a"), 1, x.ab, 1);
  // Ends on a leaf's edge: inside, and exactly at the leaf.
  EXPECT_STOP(match("aba"), 3, x.ab_leaf, 1);
  EXPECT_STOP(match("ba"), 2, x.b_leaf, 1);
  EXPECT_STOP(match("abab"), 4, x.ab_leaf, 2);
  EXPECT_STOP(match("bab"), 3, x.b_leaf, 2);
  // At a node no child begins with the next character, or it is refused.
  EXPECT_STOP(match("abb"), 2, x.ab, 2);
  EXPECT_STOP(match("bb"), 1, x.b, 1);
  EXPECT_STOP(match("c"), 0, x.root, 0);
  EXPECT_STOP(match("ab\xe1"), 2, x.ab, 2);
  // A mismatch inside an internal node's edge.
  EXPECT_STOP(match("aa"), 1, x.ab, 1);
  EXPECT_STOP(match("bab" "x"), 3, x.b_leaf, 2);
  // A mismatch inside a leaf's edge, and text going past the leaf's end.
  EXPECT_STOP(match("abaa"), 3, x.ab_leaf, 1);
  EXPECT_STOP(match("babb"), 3, x.b_leaf, 2);
  EXPECT_STOP(match("ababa"), 4, x.ab_leaf, 2);
  EXPECT_STOP(match("baba"), 3, x.b_leaf, 2);
}

TEST_F(NavigateTest, AbabInnerWalkNeverFollowsALeaf) {
  abab_tree x = build_abab(tree);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "abab"), 2, x.ab_leaf, 0);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "bab"), 1, x.b_leaf, 0);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "ab"), 2, x.ab, 2);
  EXPECT_STOP(walk_to_leaf(x.root, 0, "aa"), 1, x.ab, 1);
  EXPECT_STOP(walk_to_leaf(x.ab, 1, "bab"), 1, x.ab_leaf, 0);
  EXPECT_STOP(walk(x.ab, 1, "bab"), 3, x.ab_leaf, 2);
  EXPECT_STOP(walk(x.ab, 1, "bb"), 1, x.ab, 2);
}

TEST_F(NavigateTest, AbabRenumberingAndSuffixes) {
  abab_tree x = build_abab(tree);
  int_stree_renumber(tree);
  EXPECT_EQ(int_stree_id(x.root), 0u);
  EXPECT_EQ(int_stree_id(x.ab), 1u);
  EXPECT_EQ(int_stree_id(x.ab_leaf), 2u);
  EXPECT_EQ(int_stree_id(x.b), 3u);
  EXPECT_EQ(int_stree_id(x.b_leaf), 4u);
  // The end-record flag survives numbering.
  EXPECT_TRUE(int_stree_has_endrecs(x.ab));

  EXPECT_EQ(stree_get_labellen(tree, x.ab), 2);
  EXPECT_EQ(stree_get_labellen(tree, x.b_leaf), 3);
  char buf[8] = {};
  EXPECT_EQ(stree_get_label(tree, x.b_leaf, buf, 8), 3);
  EXPECT_EQ(std::string(buf), "bab");
  EXPECT_EQ(stree_get_label(tree, x.ab_leaf, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "aba");

  int32_t strid = -1, pos = -1, id = -1;
  EXPECT_EQ(stree_get_suffix(tree, x.ab, 1, &strid, &pos, &id), 1);
  EXPECT_EQ(std::make_tuple(strid, pos, id), std::make_tuple(0, 2, 7));
  EXPECT_EQ(stree_get_suffix(tree, x.ab, 2, &strid, &pos, &id), 0);
  EXPECT_EQ(stree_get_suffix(tree, x.ab, 0, &strid, &pos, &id), 0);
  EXPECT_EQ(stree_get_suffix(tree, x.ab, -1, &strid, &pos, &id), 0);
  EXPECT_EQ(stree_get_suffix(tree, x.b, 1, &strid, &pos, &id), 1);
  EXPECT_EQ(pos, 3);
}

TEST_F(NavigateTest, NumEndsCountsEveryEndRecord) {
  abab_tree x = build_abab(tree);
  add_text(tree, "ab", 8);
  add_text(tree, "xab", 9);
  ASSERT_EQ(int_stree_add_endrec(tree, x.ab, 1, 0), 1);
  ASSERT_EQ(int_stree_add_endrec(tree, x.ab, 2, 1), 1);
  EXPECT_EQ(int_stree_num_ends(tree, x.ab), 3);
  EXPECT_EQ(int_stree_num_children(tree, x.ab), 1);
  EXPECT_EQ(int_stree_find_child(tree, x.ab, 'a'), x.ab_leaf);
  std::set<std::tuple<int32_t, int32_t, int32_t>> got;
  for (int k = 1; k <= 3; ++k) {
    int32_t s = -1, p = -1, i = -1;
    ASSERT_EQ(stree_get_suffix(tree, x.ab, k, &s, &p, &i), 1) << k;
    got.insert({s, p, i});
  }
  std::set<std::tuple<int32_t, int32_t, int32_t>> want = {
      {0, 2, 7}, {1, 0, 8}, {2, 1, 9}};
  EXPECT_EQ(got, want);
  int32_t s, p, i;
  EXPECT_EQ(stree_get_suffix(tree, x.ab, 4, &s, &p, &i), 0);
}

// ---- random collections against the model ---------------------------------

std::string random_text(std::mt19937& rng, const std::string& alphabet,
                        size_t max_len) {
  std::string s;
  size_t len = rng() % (max_len + 1);
  for (size_t i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
  return s;
}

// Longest prefix of text occurring in some document.
size_t longest_occurring_prefix(const std::vector<std::string>& docs,
                                const std::string& text) {
  size_t best = 0;
  for (const std::string& d : docs)
    for (size_t i = 0; i < d.size(); ++i) {
      size_t m = 0;
      while (m < text.size() && i + m < d.size() && d[i + m] == text[m]) ++m;
      best = std::max(best, m);
    }
  return best;
}

class NavigateRandomTest : public NavigateTest {
 protected:
  void build(const std::vector<std::string>& docs_in) {
    docs = docs_in;
    naive_build(tree, docs);
    model = collect(tree);
    for (size_t i = 0; i < model.size(); ++i) index[model[i].rec] = i;
  }
  const model_rec& of(stree_ref r) { return model[index.at(r)]; }
  // The highest record whose label starts with text[0..m); root for m = 0.
  const model_rec* locus_of(const std::string& text, size_t m) {
    if (m == 0) return &model[0];
    const model_rec* best = nullptr;
    for (const model_rec& r : model)
      if (r.label.size() >= m && r.label.compare(0, m, text, 0, m) == 0 &&
          (!best || r.label.size() < best->label.size()))
        best = &r;
    return best;
  }
  int32_t edge_len(stree_ref r) {
    return static_cast<int32_t>(raw_edge(tree, r).size());
  }
  void check_match(const std::string& text) {
    SCOPED_TRACE("text \"" + text + "\"");
    size_t m = longest_occurring_prefix(docs, text);
    const model_rec* want = locus_of(text, m);
    ASSERT_NE(want, nullptr);
    int32_t parent_len =
        static_cast<int32_t>(want->label.size()) - edge_len(want->rec);
    stop got = match(text);
    EXPECT_EQ(got.matched, static_cast<int32_t>(m));
    EXPECT_EQ(got.rec, want->rec);
    EXPECT_EQ(got.pos, static_cast<int32_t>(m) - parent_len);
    // The inner walk stops in front of a leaf instead of entering it.
    stop inner = walk_to_leaf(tree->root, 0, text);
    if (is_leaf(want->rec)) {
      EXPECT_EQ(inner.matched, parent_len);
      EXPECT_EQ(inner.rec, want->rec);
      EXPECT_EQ(inner.pos, 0);
    } else {
      EXPECT_EQ(inner.matched, got.matched);
      EXPECT_EQ(inner.rec, got.rec);
      EXPECT_EQ(inner.pos, got.pos);
    }
  }
  std::vector<std::string> docs;
  std::vector<model_rec> model;
  std::map<stree_ref, size_t> index;
};

TEST_F(NavigateRandomTest, EveryRecordAgainstTheModel) {
  std::mt19937 rng(2024);
  size_t records_seen = 0;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    stree_delete_tree(tree);
    tree = stree_new_tree(128, 1);
    index.clear();
    std::vector<std::string> d;
    size_t n = 1 + rng() % 5;
    for (size_t i = 0; i < n; ++i)
      d.push_back(random_text(rng, round % 2 ? "ab" : "abc", 14));
    build(d);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(tree->num_nodes, static_cast<int32_t>(model.size()));
    records_seen += model.size();

    int_stree_renumber(tree);
    std::map<std::string, stree_ref> by_label;
    for (const model_rec& m : model) by_label[m.label] = m.rec;
    for (size_t i = 0; i < model.size(); ++i) {
      const model_rec& m = model[i];
      stree_ref r = m.rec;
      SCOPED_TRACE("label \"" + m.label + "\"");
      EXPECT_EQ(int_stree_id(r), i) << "preorder number";
      EXPECT_EQ(int_stree_get_parent(tree, r), m.parent);
      int kids = static_cast<int>(raw_children(r).size());
      EXPECT_EQ(int_stree_num_children(tree, r), kids);
      EXPECT_EQ(stree_get_labellen(tree, r),
                static_cast<int32_t>(m.label.size()));
      std::string buf(m.label.size() + 1, '#');
      EXPECT_EQ(stree_get_label(tree, r, buf.data(),
                                static_cast<int32_t>(buf.size())),
                static_cast<int32_t>(m.label.size()));
      EXPECT_EQ(buf.substr(0, m.label.size()), m.label);
      for (char c = 'a'; c <= 'd'; ++c) {
        stree_ref want = STREE_NONE;
        for (stree_ref k : raw_children(r))
          if (raw_edge(tree, k)[0] == c) want = k;
        EXPECT_EQ(int_stree_find_child(tree, r, c), want);
      }
      // The suffixes ending here.
      std::set<std::pair<int32_t, int32_t>> want_ends;
      if (is_leaf(r)) {
        int32_t s = leaf_strid(r);
        int32_t start = tree->lengths[s] - static_cast<int32_t>(m.label.size());
        EXPECT_EQ(int_stree_get_leafpos(tree, r), start);
        EXPECT_EQ(docs[s].substr(start), m.label);
        want_ends.insert({s, start});
      } else {
        for (stree_ref e : raw_endrecs(r)) {
          int32_t s = stree_pos_strid(endrec(e)->strpos);
          int32_t p = stree_pos_offset(endrec(e)->strpos);
          EXPECT_EQ(docs[s].substr(p), m.label);
          want_ends.insert({s, p});
        }
      }
      EXPECT_EQ(int_stree_num_ends(tree, r),
                static_cast<int>(want_ends.size()));
      std::set<std::pair<int32_t, int32_t>> got_ends;
      for (int k = 1;; ++k) {
        int32_t s = -1, p = -1, id = -1;
        if (!stree_get_suffix(tree, r, k, &s, &p, &id)) break;
        EXPECT_EQ(id, 100 + s);
        got_ends.insert({s, p});
        ASSERT_LE(k, 64);
      }
      EXPECT_EQ(got_ends, want_ends);
      // Suffix links, derived for leaves.
      if (r == tree->root) {
        EXPECT_EQ(int_stree_leaf_suffix_link(tree, r), STREE_NONE);
      } else {
        EXPECT_EQ(int_stree_leaf_suffix_link(tree, r),
                  by_label.at(m.label.substr(1)));
      }
    }

    // Enter/leave order against an explicit-stack walk of the model.
    std::vector<std::pair<char, stree_ref>> want_events;
    std::vector<std::pair<stree_ref, bool>> stack{{tree->root, false}};
    while (!stack.empty()) {
      auto [r, done] = stack.back();
      stack.pop_back();
      if (done) {
        want_events.push_back({'-', r});
        continue;
      }
      want_events.push_back({'+', r});
      stack.push_back({r, true});
      std::vector<stree_ref> kids = raw_children(r);
      for (auto it = kids.rbegin(); it != kids.rend(); ++it)
        stack.push_back({*it, false});
    }
    visit_log log{tree, {}};
    stree_traverse(tree, log_enter, log_leave, &log);
    EXPECT_EQ(log.events, want_events);

    // Every suffix of every document ends exactly at its own record.
    for (size_t s = 0; s < docs.size(); ++s)
      for (size_t i = 0; i < docs[s].size(); ++i) {
        std::string suffix = docs[s].substr(i);
        stop got = match(suffix);
        EXPECT_EQ(got.matched, static_cast<int32_t>(suffix.size()));
        EXPECT_EQ(got.rec, by_label.at(suffix));
        EXPECT_EQ(got.pos, edge_len(got.rec));
      }
    // Random texts, most of them leaving the tree somewhere.
    for (int q = 0; q < 60; ++q) check_match(random_text(rng, "abcd", 10));
    if (HasFailure()) return;
  }
  EXPECT_GT(records_seen, 1000u) << "the collections are too small to test";
}

// ---- depth ---------------------------------------------------------------------

struct depth_count {
  long entered = 0, left = 0, depth = 0, max_depth = 0;
};
void count_enter(suffix_tree*, stree_ref, void* data) {
  auto* c = static_cast<depth_count*>(data);
  ++c->entered;
  c->max_depth = std::max(c->max_depth, ++c->depth);
}
void count_leave(suffix_tree*, stree_ref, void* data) {
  auto* c = static_cast<depth_count*>(data);
  ++c->left;
  --c->depth;
}

// A chain of 100,000 internal nodes, each with the single character edge
// 'a' of one long document, ending in a leaf.  Traversal, numbering and the
// label helpers must handle it without using the stack for depth.
TEST_F(NavigateTest, DeepChain) {
  constexpr int32_t kDepth = 100000;
  std::string doc(kDepth + 1, 'a');
  ASSERT_EQ(add_text(tree, doc, 5), 0);
  stree_ref x = tree->root;
  std::vector<stree_ref> chain;
  chain.reserve(kDepth);
  for (int32_t k = 0; k < kDepth; ++k) {
    stree_ref n = int_stree_new_node(tree, stree_pack_pos(0, k), 1);
    ASSERT_NE(n, STREE_NONE);
    ASSERT_EQ(int_stree_add_child(tree, x, n), x);
    ++tree->num_nodes;
    chain.push_back(n);
    x = n;
  }
  stree_ref leaf = hang_leaf(tree, x, 0, kDepth);
  ASSERT_EQ(tree->num_nodes, kDepth + 2);

  int_stree_renumber(tree);
  EXPECT_EQ(int_stree_id(chain[0]), 1u);
  EXPECT_EQ(int_stree_id(chain[kDepth / 2]), static_cast<uint32_t>(kDepth / 2 + 1));
  EXPECT_EQ(int_stree_id(leaf), static_cast<uint32_t>(kDepth + 1));

  depth_count c;
  stree_traverse(tree, count_enter, count_leave, &c);
  EXPECT_EQ(c.entered, kDepth + 2);
  EXPECT_EQ(c.left, kDepth + 2);
  EXPECT_EQ(c.depth, 0);
  EXPECT_EQ(c.max_depth, kDepth + 2);

  EXPECT_EQ(stree_get_labellen(tree, leaf), kDepth + 1);
  EXPECT_EQ(stree_get_labellen(tree, chain.back()), kDepth);
  EXPECT_EQ(int_stree_get_leafpos(tree, leaf), 0);
  std::string label(kDepth + 1, '#');
  EXPECT_EQ(stree_get_label(tree, leaf, label.data(), kDepth + 1), kDepth + 1);
  EXPECT_EQ(label, doc);

  stop s = match(doc);
  EXPECT_EQ(s.matched, kDepth + 1);
  EXPECT_EQ(s.rec, leaf);
  EXPECT_EQ(s.pos, 1);
  s = walk_to_leaf(tree->root, 0, doc);
  EXPECT_EQ(s.matched, kDepth);
  EXPECT_EQ(s.rec, leaf);
  EXPECT_EQ(s.pos, 0);
}

}  // namespace
