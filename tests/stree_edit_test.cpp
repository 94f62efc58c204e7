// The structural edits: what each writes on success, that each refusal or
// failure leaves the tree as it was, which counters move, and which pool
// records come and go.  Pool records are followed through page release: a
// record placed in the last slot of an otherwise returned page releases that
// page when it comes back.
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tree_builders.h"

namespace {

using namespace treetest;

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree = stree_new_tree(128, 1);
    ASSERT_NE(tree, nullptr);
  }
  void TearDown() override {
    stree_pool_fail_at(0);
    stree_delete_tree(tree);
  }
  // Clears renumber_pending so that the tests can see who sets it.
  void settle() {
    int_stree_renumber(tree);
    ASSERT_FALSE(tree->renumber_pending);
  }
  suffix_tree* tree = nullptr;
};

// Records that are never linked into the tree and must be given back by hand.
struct loose {
  suffix_tree* tree;
  std::vector<stree_ref> refs;
  ~loose() {
    for (stree_ref r : refs) int_stree_free_record(tree, r);
  }
};

// ---- int_stree_add_child ----------------------------------------------------

TEST_F(EditTest, AddChildKeepsCodeOrder) {
  add_text(tree, "cab");
  stree_ref root = tree->root;
  stree_ref c = int_stree_new_leaf(tree, 0, 0);
  stree_ref a = int_stree_new_leaf(tree, 0, 1);
  stree_ref b = int_stree_new_leaf(tree, 0, 2);
  // A number already in the child's header survives.
  int_stree_header(b) |= 5;
  for (stree_ref x : {c, a, b}) {
    settle();
    EXPECT_EQ(int_stree_add_child(tree, root, x), root);
    EXPECT_TRUE(tree->renumber_pending);
    EXPECT_EQ(tree->num_nodes, 1) << "the caller counts new children";
  }
  tree->num_nodes += 3;
  EXPECT_EQ(node(root)->children, a);
  EXPECT_FALSE(is_last(a));
  EXPECT_EQ(link_of(a), b);
  EXPECT_FALSE(is_last(b));
  EXPECT_EQ(link_of(b), c);
  EXPECT_TRUE(is_last(c));
  EXPECT_EQ(link_of(c), root);
  EXPECT_EQ(int_stree_id(b), 5u);
  EXPECT_EQ(first_char(b), 'b');
  EXPECT_TRUE(is_leaf(b));
  EXPECT_TRUE(is_last(root));
  EXPECT_EQ(link_of(root), STREE_NONE);
}

TEST_F(EditTest, AddChildInsertsAtFrontMiddleAndEnd) {
  add_text(tree, "bdf");
  add_text(tree, "aceg");
  stree_ref root = tree->root;
  stree_ref b = hang_leaf(tree, root, 0, 0);
  stree_ref d = hang_node(tree, root, 0, 1, 1);  // an internal node, code 'd'
  stree_ref f = hang_leaf(tree, root, 0, 2);
  stree_ref a = hang_leaf(tree, root, 1, 0);     // front
  stree_ref c = hang_leaf(tree, root, 1, 1);     // after the first
  stree_ref e = hang_node(tree, root, 1, 2, 1);  // before the last
  stree_ref g = hang_leaf(tree, root, 1, 3);     // end
  std::vector<stree_ref> want = {a, b, c, d, e, f, g};
  EXPECT_EQ(raw_children(root), want);
  for (size_t i = 0; i + 1 < want.size(); ++i) {
    EXPECT_FALSE(is_last(want[i])) << i;
    EXPECT_EQ(link_of(want[i]), want[i + 1]) << i;
  }
  EXPECT_TRUE(is_last(g));
  EXPECT_EQ(link_of(g), root);
  // Children of a new internal node start their own list.
  stree_ref under_d = hang_leaf(tree, d, 1, 0);
  EXPECT_EQ(node(d)->children, under_d);
  EXPECT_TRUE(is_last(under_d));
  EXPECT_EQ(link_of(under_d), d);
}

TEST_F(EditTest, AddChildRefusesAnExistingCode) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "bcd", 12);
  settle();
  std::string before = dump(tree);
  loose extra{tree, {}};
  // A leaf whose code 'b' the root already has.
  stree_ref leaf = int_stree_new_leaf(tree, 2, 0);
  extra.refs.push_back(leaf);
  EXPECT_EQ(int_stree_add_child(tree, x.root, leaf), STREE_NONE);
  // An internal node with code 'c', and a leaf with code 'b' under A.
  stree_ref n = int_stree_new_node(tree, stree_pack_pos(2, 1), 2);
  extra.refs.push_back(n);
  EXPECT_EQ(int_stree_add_child(tree, x.root, n), STREE_NONE);
  EXPECT_EQ(int_stree_add_child(tree, x.a, leaf), STREE_NONE);
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
  // The refused records are untouched as well.
  EXPECT_EQ(link_of(leaf), STREE_NONE);
  EXPECT_FALSE(is_last(leaf));
  EXPECT_EQ(link_of(n), STREE_NONE);
  EXPECT_EQ(node(n)->children, STREE_NONE);
}

// A leaf parent becomes an internal node that keeps the leaf's number, place
// and suffix (as an end record) and holds the new child.
TEST_F(EditTest, AddChildToALeafConvertsIt) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "bz", 12);
  settle();
  ASSERT_EQ(int_stree_id(x.leaf_b), 4u);
  stree_ref child = int_stree_new_leaf(tree, 2, 1);  // "z"
  stree_ref n = int_stree_add_child(tree, x.leaf_b, child);
  ++tree->num_nodes;
  ASSERT_NE(n, STREE_NONE);
  ASSERT_NE(n, x.leaf_b);
  EXPECT_TRUE(tree->renumber_pending);
  EXPECT_EQ(tree->num_nodes, 7) << "one leaf added; conversion counts nothing";
  EXPECT_FALSE(is_leaf(n));
  EXPECT_EQ(int_stree_id(n), 4u);
  EXPECT_FALSE(is_last(n));
  EXPECT_EQ(link_of(n), x.leaf_c);
  EXPECT_EQ(link_of(x.a), n);
  EXPECT_EQ(node(n)->edgestr, stree_pack_pos(0, 1));
  EXPECT_EQ(node(n)->edgelen, 1);
  EXPECT_EQ(node(n)->suffix_link, STREE_NONE);
  ASSERT_TRUE(int_stree_has_endrecs(n));
  EXPECT_EQ(header(n) >> 26, 0u) << "bits 26..31 of a node stay 0";
  std::vector<stree_ref> ends = raw_endrecs(n);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(endrec(ends[0])->strpos, stree_pack_pos(0, 1));
  EXPECT_EQ(endrec(ends[0])->children, child);
  EXPECT_EQ(raw_children(n), std::vector<stree_ref>{child});
  EXPECT_TRUE(is_last(child));
  EXPECT_EQ(link_of(child), n);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'b'), n);
}

// A node carrying end records keeps its first child in the head record.
TEST_F(EditTest, AddChildToANodeWithEndRecords) {
  add_text(tree, "abxy");
  stree_ref n = hang_node(tree, tree->root, 0, 0, 2);
  ASSERT_EQ(int_stree_add_endrec(tree, n, 0, 0), 1);
  stree_ref first_end = node(n)->children;
  ASSERT_EQ(int_stree_add_endrec(tree, n, 0, 0), 1);
  stree_ref head = node(n)->children;
  ASSERT_NE(head, first_end);
  stree_ref y = hang_leaf(tree, n, 0, 3);
  EXPECT_EQ(node(n)->children, head) << "the node's word keeps the end record";
  EXPECT_EQ(endrec(head)->children, y);
  EXPECT_EQ(endrec(first_end)->children, STREE_NONE);
  EXPECT_EQ(endrec(head)->next, first_end);
  EXPECT_EQ(int_stree_find_child(tree, n, 'y'), y);
  // A new first child goes into the head record too.
  stree_ref xl = hang_leaf(tree, n, 0, 2);
  EXPECT_EQ(node(n)->children, head);
  EXPECT_EQ(endrec(head)->children, xl);
  EXPECT_EQ(link_of(xl), y);
  EXPECT_EQ(int_stree_num_children(tree, n), 2);
  EXPECT_EQ(int_stree_num_ends(tree, n), 2);
}

// ---- int_stree_replace_child ------------------------------------------------

TEST_F(EditTest, ReplaceChildAtEveryPlace) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "abc", 12);
  settle();
  // Middle: a leaf for 'b' that believes it is a last child, numbered 9.
  stree_ref rb = int_stree_new_leaf(tree, 2, 1);
  int_stree_header(rb) |= STREE_LAST_BIT | 9;
  uint32_t old_b_words[3] = {int_stree_words(x.leaf_b)[0],
                             int_stree_words(x.leaf_b)[1],
                             int_stree_words(x.leaf_b)[2]};
  EXPECT_EQ(int_stree_replace_child(tree, x.root, x.leaf_b, rb), 1);
  EXPECT_TRUE(tree->renumber_pending);
  EXPECT_EQ(tree->num_nodes, 6);
  EXPECT_EQ(link_of(x.a), rb);
  EXPECT_EQ(link_of(rb), x.leaf_c);
  EXPECT_FALSE(is_last(rb));
  EXPECT_EQ(int_stree_id(rb), 9u);
  EXPECT_EQ(first_char(rb), 'b');
  EXPECT_TRUE(is_leaf(rb));
  for (int w = 0; w < 3; ++w)
    EXPECT_EQ(int_stree_words(x.leaf_b)[w], old_b_words[w]) << "old left alone";

  // First: a node for 'a' in A's place.
  settle();
  stree_ref ra = int_stree_new_node(tree, stree_pack_pos(2, 0), 1);
  node(ra)->children = x.leaf_ab;  // takes over A's children
  EXPECT_EQ(int_stree_replace_child(tree, x.root, x.a, ra), 1);
  EXPECT_TRUE(tree->renumber_pending);
  EXPECT_EQ(node(x.root)->children, ra);
  EXPECT_EQ(link_of(ra), rb);
  EXPECT_FALSE(is_last(ra));

  // Last: takes the last-sibling bit and the parent link.
  stree_ref rc = int_stree_new_leaf(tree, 1, 1);
  EXPECT_EQ(int_stree_replace_child(tree, x.root, x.leaf_c, rc), 1);
  EXPECT_TRUE(is_last(rc));
  EXPECT_EQ(link_of(rc), x.root);
  EXPECT_EQ(link_of(rb), rc);
  EXPECT_EQ(raw_children(x.root), (std::vector<stree_ref>{ra, rb, rc}));

  // Put the originals back so that the tree owns exactly its records.
  ASSERT_EQ(int_stree_replace_child(tree, x.root, ra, x.a), 1);
  ASSERT_EQ(int_stree_replace_child(tree, x.root, rb, x.leaf_b), 1);
  ASSERT_EQ(int_stree_replace_child(tree, x.root, rc, x.leaf_c), 1);
  EXPECT_EQ(raw_children(x.root),
            (std::vector<stree_ref>{x.a, x.leaf_b, x.leaf_c}));
  EXPECT_TRUE(is_last(x.leaf_c));
  EXPECT_FALSE(is_last(x.leaf_b));
  for (stree_ref r : {ra, rb, rc}) int_stree_free_record(tree, r);
}

TEST_F(EditTest, ReplaceChildBehindEndRecords) {
  abab_tree x = build_abab(tree);
  settle();
  stree_ref head = node(x.ab)->children;
  stree_ref r = int_stree_new_leaf(tree, 0, 2);
  EXPECT_EQ(int_stree_replace_child(tree, x.ab, x.ab_leaf, r), 1);
  EXPECT_EQ(node(x.ab)->children, head);
  EXPECT_EQ(endrec(head)->children, r);
  EXPECT_TRUE(is_last(r));
  EXPECT_EQ(link_of(r), x.ab);
  ASSERT_EQ(int_stree_replace_child(tree, x.ab, r, x.ab_leaf), 1);
  int_stree_free_record(tree, r);
}

TEST_F(EditTest, ReplaceChildRefusesWhatIsNotAChild) {
  ab_ac_tree x = build_ab_ac(tree);
  settle();
  loose extra{tree, {int_stree_new_leaf(tree, 0, 1),
                     int_stree_new_node(tree, stree_pack_pos(0, 0), 1)}};
  stree_ref r = extra.refs[0];
  stree_ref childless = extra.refs[1];
  std::string before = dump(tree);
  EXPECT_EQ(int_stree_replace_child(tree, x.root, x.leaf_ab, r), 0)
      << "a grandchild";
  EXPECT_EQ(int_stree_replace_child(tree, x.a, x.leaf_b, r), 0)
      << "a child of another node";
  EXPECT_EQ(int_stree_replace_child(tree, x.leaf_b, x.leaf_c, r), 0)
      << "a leaf parent";
  EXPECT_EQ(int_stree_replace_child(tree, childless, x.leaf_c, r), 0)
      << "a parent without children";
  EXPECT_EQ(int_stree_replace_child(tree, x.root, x.root, r), 0);
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
  EXPECT_EQ(link_of(r), STREE_NONE);
  EXPECT_FALSE(is_last(r));
}

// ---- int_stree_split_edge ---------------------------------------------------

TEST_F(EditTest, SplitALeaf) {
  add_text(tree, "xyzwabc");
  stree_ref leaf = hang_leaf(tree, tree->root, 0, 4);  // edge "abc"
  settle();
  long requests = stree_pool_requests();
  stree_ref n = int_stree_split_edge(tree, leaf, 1);
  ASSERT_NE(n, STREE_NONE);
  EXPECT_EQ(stree_pool_requests(), requests + 1);
  EXPECT_EQ(tree->num_nodes, 3);
  EXPECT_TRUE(tree->renumber_pending);
  EXPECT_EQ(node(n)->edgestr, stree_pack_pos(0, 4));
  EXPECT_EQ(node(n)->edgelen, 1);
  EXPECT_EQ(node(n)->suffix_link, STREE_NONE);
  EXPECT_FALSE(is_leaf(n));
  EXPECT_FALSE(int_stree_has_endrecs(n));
  EXPECT_EQ(int_stree_id(n), 0u);
  EXPECT_EQ(node(tree->root)->children, n);
  EXPECT_TRUE(is_last(n));
  EXPECT_EQ(link_of(n), tree->root);
  EXPECT_EQ(node(n)->children, leaf);
  EXPECT_EQ(leaf_strid(leaf), 0);
  EXPECT_EQ(leaf_edgepos(leaf), 5);
  EXPECT_EQ(first_char(leaf), 'b');
  EXPECT_TRUE(is_last(leaf));
  EXPECT_EQ(link_of(leaf), n);
  EXPECT_EQ(raw_edge(tree, leaf), "bc");
}

TEST_F(EditTest, SplitInTheMiddleOfASiblingList) {
  add_text(tree, "abcd");
  add_text(tree, "bcxy");
  stree_ref root = tree->root;
  stree_ref la = hang_leaf(tree, root, 0, 0);
  stree_ref nb = hang_node(tree, root, 1, 0, 3);  // internal, edge "bcx"
  stree_ref lc = hang_leaf(tree, root, 0, 2);
  stree_ref below1 = hang_leaf(tree, nb, 1, 3);   // "y"
  add_text(tree, "bcxz");
  stree_ref below2 = hang_leaf(tree, nb, 2, 3);   // "z"
  ASSERT_EQ(int_stree_add_endrec(tree, nb, 1, 0), 1);
  node(nb)->suffix_link = lc;  // any value: it must survive
  stree_ref head = node(nb)->children;
  settle();
  int32_t nodes = tree->num_nodes;

  stree_ref n = int_stree_split_edge(tree, nb, 2);
  ASSERT_NE(n, STREE_NONE);
  EXPECT_EQ(tree->num_nodes, nodes + 1);
  EXPECT_EQ(link_of(la), n);
  EXPECT_FALSE(is_last(n));
  EXPECT_EQ(link_of(n), lc);
  EXPECT_EQ(node(n)->edgestr, stree_pack_pos(1, 0));
  EXPECT_EQ(node(n)->edgelen, 2);
  EXPECT_EQ(raw_children(n), std::vector<stree_ref>{nb});
  // The lower part keeps the rest of its edge and all it carried.
  EXPECT_EQ(node(nb)->edgestr, stree_pack_pos(1, 2));
  EXPECT_EQ(node(nb)->edgelen, 1);
  EXPECT_TRUE(is_last(nb));
  EXPECT_EQ(link_of(nb), n);
  EXPECT_EQ(node(nb)->children, head);
  EXPECT_EQ(node(nb)->suffix_link, lc);
  EXPECT_EQ(raw_children(nb), (std::vector<stree_ref>{below1, below2}));
  EXPECT_EQ(int_stree_find_child(tree, root, 'b'), n);
  EXPECT_EQ(int_stree_find_child(tree, n, 'x'), nb);
}

TEST_F(EditTest, SplitUnderANodeWithEndRecords) {
  abab_tree x = build_abab(tree);
  stree_ref head = node(x.ab)->children;
  stree_ref n = int_stree_split_edge(tree, x.ab_leaf, 1);
  ASSERT_NE(n, STREE_NONE);
  EXPECT_EQ(node(x.ab)->children, head);
  EXPECT_EQ(endrec(head)->children, n);
  EXPECT_EQ(raw_edge(tree, n), "a");
  EXPECT_EQ(raw_edge(tree, x.ab_leaf), "b");
  EXPECT_EQ(int_stree_get_parent(tree, x.ab_leaf), n);
  EXPECT_EQ(int_stree_get_leafpos(tree, x.ab_leaf), 0);
}

TEST_F(EditTest, SplitRefusals) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "dex", 12);
  stree_ref n = hang_node(tree, x.root, 2, 0, 2);  // edge "de"
  settle();
  std::string before = dump(tree);
  long requests = stree_pool_requests();
  // Leaf edge "b" and node edge "a" have length 1, node edge "de" length 2;
  // the root's edge is empty.
  for (auto [rec, len] : std::vector<std::pair<stree_ref, int32_t>>{
           {x.leaf_ab, 0}, {x.leaf_ab, 1}, {x.leaf_ab, 2}, {x.a, 0},
           {x.a, 1},       {n, 0},         {n, 2},         {n, 3},
           {n, -1},        {x.root, 0},    {x.root, 1}}) {
    EXPECT_EQ(int_stree_split_edge(tree, rec, len), STREE_NONE)
        << rec << " at " << len;
  }
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
  EXPECT_EQ(stree_pool_requests(), requests) << "refusals take no record";
}

TEST_F(EditTest, SplitRefusedAtTheNodeLimit) {
  add_text(tree, "abcdef");
  stree_ref leaf = hang_leaf(tree, tree->root, 0, 0);
  settle();
  int32_t real = tree->num_nodes;
  tree->num_nodes = STREE_MAX_NODES;
  std::string before = dump(tree);
  long requests = stree_pool_requests();
  EXPECT_EQ(int_stree_split_edge(tree, leaf, 3), STREE_NONE);
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
  EXPECT_EQ(stree_pool_requests(), requests);
  // One below the limit a split still works and reaches it.
  tree->num_nodes = STREE_MAX_NODES - 1;
  EXPECT_NE(int_stree_split_edge(tree, leaf, 3), STREE_NONE);
  EXPECT_EQ(tree->num_nodes, STREE_MAX_NODES);
  tree->num_nodes = real + 1;
}

// The pool refusing the new node: the first failure row of a split.  (The
// other failure row, the split record not going back under the new node,
// cannot be reached: the new node has no children and is not a leaf, so
// adding the record under it can neither meet an equal code nor need a
// conversion.)
TEST_F(EditTest, SplitWithoutMemoryChangesNothing) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "cdefg", 12);
  stree_ref n = hang_node(tree, x.a, 2, 1, 2);  // edge "de" under A
  stree_ref leaf = hang_leaf(tree, n, 2, 3);    // edge "fg" under it
  settle();
  std::string before = dump(tree);
  for (stree_ref rec : {leaf, n}) {
    long requests = stree_pool_requests();
    stree_pool_fail_at(1);
    EXPECT_EQ(int_stree_split_edge(tree, rec, 1), STREE_NONE);
    EXPECT_EQ(stree_pool_requests(), requests + 1);
    EXPECT_EQ(dump(tree), before);
    EXPECT_FALSE(tree->renumber_pending);
  }
  EXPECT_NE(int_stree_split_edge(tree, leaf, 1), STREE_NONE);
  EXPECT_NE(int_stree_split_edge(tree, n, 1), STREE_NONE);
}

// ---- int_stree_leaf_to_node ---------------------------------------------------

TEST_F(EditTest, LeafToNodeOnANodeChangesNothing) {
  ab_ac_tree x = build_ab_ac(tree);
  settle();
  std::string before = dump(tree);
  long requests = stree_pool_requests();
  EXPECT_EQ(int_stree_leaf_to_node(tree, x.a), x.a);
  EXPECT_EQ(int_stree_leaf_to_node(tree, x.root), x.root);
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
  EXPECT_EQ(stree_pool_requests(), requests);
}

// The tree of "ab" and "ac" with the leaf of "ab" (the leaf to convert)
// taken as the last unit of a page whose other records have come back.
struct convert_case {
  stree_ref a, leaf, other;
};
convert_case build_convert_case(suffix_tree* tree) {
  convert_case c;
  add_text(tree, "ab", 10);
  add_text(tree, "ac", 11);
  c.a = hang_node(tree, tree->root, 0, 0, 1);
  hang_leaf(tree, tree->root, 0, 1);
  prime_room(tree, 1);
  c.leaf = hang_leaf(tree, c.a, 0, 1);
  c.other = hang_leaf(tree, c.a, 1, 1);
  node(c.a)->suffix_link = tree->root;
  return c;
}

TEST_F(EditTest, LeafToNodeReplacesTheLeafAndGivesItBack) {
  convert_case c = build_convert_case(tree);
  settle();
  ASSERT_EQ(int_stree_id(c.leaf), 2u);
  // The node and end record fill the last three units of a page, so that
  // no page opens.
  prime_room(tree, 3);
  long pages = stree_pool_pages_in_use();
  long requests = stree_pool_requests();
  int32_t nodes = tree->num_nodes;

  stree_ref n = int_stree_leaf_to_node(tree, c.leaf);
  ASSERT_NE(n, STREE_NONE);
  ASSERT_NE(n, c.leaf);
  EXPECT_EQ(stree_pool_requests(), requests + 2);
  EXPECT_EQ(stree_pool_pages_in_use(), pages - 1) << "the leaf came back";
  EXPECT_EQ(tree->num_nodes, nodes);
  EXPECT_TRUE(tree->renumber_pending);
  EXPECT_EQ(node(c.a)->children, n);
  EXPECT_FALSE(is_last(n));
  EXPECT_EQ(link_of(n), c.other);
  EXPECT_EQ(header(n), 2u | STREE_ENDRECS_BIT);
  EXPECT_EQ(node(n)->edgestr, stree_pack_pos(0, 1));
  EXPECT_EQ(node(n)->edgelen, 1);
  EXPECT_EQ(node(n)->suffix_link, STREE_NONE);
  std::vector<stree_ref> ends = raw_endrecs(n);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(node(n)->children, ends[0]);
  EXPECT_EQ(endrec(ends[0])->strpos, stree_pack_pos(0, 0))
      << "the suffix start, not the edge start";
  EXPECT_EQ(endrec(ends[0])->next, STREE_NONE);
  EXPECT_EQ(endrec(ends[0])->children, STREE_NONE);
  EXPECT_EQ(int_stree_num_children(tree, n), 0);
  EXPECT_EQ(int_stree_find_child(tree, c.a, 'b'), n);
}

TEST_F(EditTest, LeafToNodeWithoutANodeLeavesTheLeaf) {
  convert_case c = build_convert_case(tree);
  settle();
  std::string before = dump(tree);
  long requests = stree_pool_requests();
  stree_pool_fail_at(1);
  EXPECT_EQ(int_stree_leaf_to_node(tree, c.leaf), STREE_NONE);
  EXPECT_EQ(stree_pool_requests(), requests + 1);
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
}

// The node taken before the end record fails must come back: it is the
// last slot of its page, so the page goes away.
TEST_F(EditTest, LeafToNodeWithoutAnEndRecordGivesTheNodeBack) {
  convert_case c = build_convert_case(tree);
  settle();
  prime_room(tree, 2);
  std::string before = dump(tree);
  long pages = stree_pool_pages_in_use();
  long requests = stree_pool_requests();
  stree_pool_fail_at(2);
  EXPECT_EQ(int_stree_leaf_to_node(tree, c.leaf), STREE_NONE);
  EXPECT_EQ(stree_pool_requests(), requests + 2);
  EXPECT_EQ(stree_pool_pages_in_use(), pages - 1) << "the node came back";
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(tree->renumber_pending);
  EXPECT_NE(int_stree_leaf_to_node(tree, c.leaf), STREE_NONE);
}

// The same two failures met through int_stree_add_child on a leaf parent.
TEST_F(EditTest, AddChildToALeafWithoutMemory) {
  convert_case c = build_convert_case(tree);
  add_text(tree, "abz", 12);
  loose extra{tree, {int_stree_new_leaf(tree, 2, 2)}};
  stree_ref child = extra.refs[0];
  settle();
  std::string before = dump(tree);
  for (long k : {1L, 2L}) {
    prime_room(tree, 2);
    long pages = stree_pool_pages_in_use();
    stree_pool_fail_at(k);
    EXPECT_EQ(int_stree_add_child(tree, c.leaf, child), STREE_NONE) << k;
    EXPECT_EQ(dump(tree), before) << k;
    EXPECT_FALSE(tree->renumber_pending) << k;
    EXPECT_EQ(link_of(child), STREE_NONE) << k;
    EXPECT_FALSE(is_last(child)) << k;
    if (k == 2) {
      EXPECT_EQ(stree_pool_pages_in_use(), pages - 1) << "node given back";
    } else {
      EXPECT_EQ(stree_pool_pages_in_use(), pages);
    }
    stree_pool_fail_at(0);
  }
}

// ---- int_stree_add_endrec -----------------------------------------------------

TEST_F(EditTest, AddEndrecOnALeafIsRefused) {
  ab_ac_tree x = build_ab_ac(tree);
  settle();
  std::string before = dump(tree);
  long requests = stree_pool_requests();
  EXPECT_EQ(int_stree_add_endrec(tree, x.leaf_b, 0, 1), 0);
  EXPECT_EQ(stree_pool_requests(), requests);
  EXPECT_EQ(dump(tree), before);
}

TEST_F(EditTest, AddEndrecOnAChildlessNode) {
  ab_ac_tree x = build_ab_ac(tree);
  add_text(tree, "d", 12);
  stree_ref n = hang_node(tree, x.root, 2, 0, 1);  // last child of the root
  settle();
  uint32_t id = int_stree_id(n);
  ASSERT_NE(id, 0u);
  int32_t nodes = tree->num_nodes;
  EXPECT_EQ(int_stree_add_endrec(tree, n, 2, 0), 1);
  EXPECT_FALSE(tree->renumber_pending) << "end records do not renumber";
  EXPECT_EQ(tree->num_nodes, nodes);
  EXPECT_EQ(header(n), id | STREE_LAST_BIT | STREE_ENDRECS_BIT);
  EXPECT_EQ(link_of(n), x.root);
  stree_ref e = node(n)->children;
  ASSERT_NE(e, STREE_NONE);
  EXPECT_EQ(endrec(e)->strpos, stree_pack_pos(2, 0));
  EXPECT_EQ(endrec(e)->next, STREE_NONE);
  EXPECT_EQ(endrec(e)->children, STREE_NONE);
  EXPECT_EQ(int_stree_num_ends(tree, n), 1);
  EXPECT_EQ(int_stree_num_children(tree, n), 0);
}

TEST_F(EditTest, AddEndrecKeepsTheChildrenReachable) {
  ab_ac_tree x = build_ab_ac(tree);
  settle();
  EXPECT_EQ(int_stree_add_endrec(tree, x.a, 0, 0), 1);
  stree_ref first = node(x.a)->children;
  EXPECT_EQ(endrec(first)->children, x.leaf_ab);
  EXPECT_EQ(int_stree_add_endrec(tree, x.a, 1, 0), 1);
  stree_ref head = node(x.a)->children;
  EXPECT_EQ(endrec(head)->next, first);
  EXPECT_EQ(endrec(head)->children, x.leaf_ab);
  EXPECT_EQ(int_stree_num_children(tree, x.a), 2);
  EXPECT_EQ(int_stree_num_ends(tree, x.a), 2);
  EXPECT_EQ(int_stree_find_child(tree, x.a, 'c'), x.leaf_ac);
  EXPECT_EQ(int_stree_get_parent(tree, x.leaf_ac), x.a);
  EXPECT_FALSE(tree->renumber_pending);
  // The root may carry end records too (nothing forbids it here).
  EXPECT_EQ(int_stree_add_endrec(tree, x.root, 0, 2), 1);
  EXPECT_EQ(int_stree_find_child(tree, x.root, 'b'), x.leaf_b);
}

TEST_F(EditTest, AddEndrecWithoutMemoryChangesNothing) {
  ab_ac_tree x = build_ab_ac(tree);
  settle();
  std::string before = dump(tree);
  stree_pool_fail_at(1);
  EXPECT_EQ(int_stree_add_endrec(tree, x.a, 0, 0), 0);
  EXPECT_EQ(dump(tree), before);
  EXPECT_FALSE(int_stree_has_endrecs(x.a));
  EXPECT_FALSE(tree->renumber_pending);
}

// ---- random: suffix trees built edit by edit, with injected failures -------------

// Runs an edit, first with the pool set to refuse one of its next requests
// at random.  A failed edit must leave the tree exactly as it was, flag
// included; it is then run again until it succeeds.
template <class Edit>
stree_ref retry(suffix_tree* tree, std::mt19937& rng, int* failures,
                Edit edit) {
  for (int attempt = 0;; ++attempt) {
    int_stree_renumber(tree);
    std::string before = dump(tree);
    bool armed = attempt < 4 && rng() % 2 == 0;
    if (armed) stree_pool_fail_at(1 + rng() % 3);
    stree_ref r = edit();
    stree_pool_fail_at(0);
    if (r != STREE_NONE) return r;
    EXPECT_TRUE(armed) << "an edit failed with memory to spare";
    EXPECT_EQ(dump(tree), before);
    EXPECT_FALSE(tree->renumber_pending);
    ++*failures;
    if (!armed || ::testing::Test::HasFailure()) return STREE_NONE;
  }
}

void insert_suffix_under_failures(suffix_tree* tree, int32_t slot, int32_t i,
                                  std::mt19937& rng, int* failures) {
  std::string text(tree->strings[slot] + i, tree->lengths[slot] - i);
  locus l = raw_walk(tree, text);
  stree_ref at = l.rec;
  if (l.pos < static_cast<int32_t>(raw_edge(tree, at).size())) {
    at = retry(tree, rng, failures,
               [&] { return int_stree_split_edge(tree, at, l.pos); });
    ASSERT_NE(at, STREE_NONE);
  }
  if (l.matched == static_cast<int32_t>(text.size())) {
    at = retry(tree, rng, failures,
               [&] { return int_stree_leaf_to_node(tree, at); });
    ASSERT_NE(at, STREE_NONE);
    ASSERT_NE(retry(tree, rng, failures,
                    [&] {
                      return static_cast<stree_ref>(
                          int_stree_add_endrec(tree, at, slot, i));
                    }),
              STREE_NONE);
    return;
  }
  stree_ref leaf = int_stree_new_leaf(tree, slot, i + l.matched);
  ASSERT_NE(leaf, STREE_NONE);
  ASSERT_NE(retry(tree, rng, failures,
                  [&] { return int_stree_add_child(tree, at, leaf); }),
            STREE_NONE);
  ++tree->num_nodes;
}

// Path labels in preorder, each with the suffixes ending there.
std::vector<std::string> shape(const suffix_tree* tree) {
  std::vector<std::string> out;
  for (const model_rec& m : collect(tree)) {
    std::string s = m.label + (is_leaf(m.rec) ? " leaf " : " node ");
    if (is_leaf(m.rec)) s += std::to_string(leaf_strid(m.rec));
    for (stree_ref e : raw_endrecs(m.rec))
      s += " " + std::to_string(stree_pos_strid(endrec(e)->strpos)) + "@" +
           std::to_string(stree_pos_offset(endrec(e)->strpos));
    out.push_back(s);
  }
  return out;
}

TEST_F(EditTest, RandomTreesBuiltEditByEdit) {
  std::mt19937 rng(31337);
  int failures = 0;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> docs;
    size_t n = 1 + rng() % 4;
    for (size_t d = 0; d < n; ++d) {
      std::string s;
      size_t len = rng() % 13;
      for (size_t k = 0; k < len; ++k) s += "abc"[rng() % (round % 2 ? 2 : 3)];
      docs.push_back(s);
    }
    suffix_tree* t = stree_new_tree(128, 1);
    ASSERT_NE(t, nullptr);
    for (size_t d = 0; d < docs.size(); ++d) {
      int32_t slot = add_text(t, docs[d], static_cast<int32_t>(100 + d));
      for (int32_t i = 0; i < static_cast<int32_t>(docs[d].size()); ++i) {
        insert_suffix_under_failures(t, slot, i, rng, &failures);
        if (HasFailure()) break;
      }
    }
    if (HasFailure()) {
      stree_delete_tree(t);
      return;
    }
    // Reference properties read from the records.
    std::vector<model_rec> model = collect(t);
    EXPECT_EQ(t->num_nodes, static_cast<int32_t>(model.size()));
    std::multiset<std::pair<int32_t, int32_t>> ends;
    for (const model_rec& m : model) {
      std::vector<stree_ref> kids = raw_children(m.rec);
      for (size_t k = 0; k < kids.size(); ++k) {
        if (k > 0) {
          EXPECT_LT(raw_edge(t, kids[k - 1])[0], raw_edge(t, kids[k])[0]);
        }
        EXPECT_EQ(is_last(kids[k]), k + 1 == kids.size());
      }
      if (!kids.empty()) {
        EXPECT_EQ(link_of(kids.back()), m.rec);
      }
      if (is_leaf(m.rec)) {
        EXPECT_EQ(first_char(m.rec), raw_edge(t, m.rec)[0]);
        int32_t s = leaf_strid(m.rec);
        ends.insert({s, static_cast<int32_t>(docs[s].size() - m.label.size())});
        EXPECT_EQ(docs[s].substr(docs[s].size() - m.label.size()), m.label);
      } else if (m.rec != t->root) {
        EXPECT_TRUE(kids.size() >= 2 || !raw_endrecs(m.rec).empty())
            << "untidy node \"" << m.label << "\"";
      }
      for (stree_ref e : raw_endrecs(m.rec)) {
        int32_t s = stree_pos_strid(endrec(e)->strpos);
        int32_t p = stree_pos_offset(endrec(e)->strpos);
        EXPECT_EQ(docs[s].substr(p), m.label);
        ends.insert({s, p});
      }
    }
    std::multiset<std::pair<int32_t, int32_t>> want;
    for (size_t s = 0; s < docs.size(); ++s)
      for (size_t p = 0; p < docs[s].size(); ++p)
        want.insert({static_cast<int32_t>(s), static_cast<int32_t>(p)});
    EXPECT_EQ(ends, want) << "every suffix ends exactly once";

    // The same documents built without failures give the same tree.
    suffix_tree* clean = stree_new_tree(128, 1);
    ASSERT_NE(clean, nullptr);
    naive_build(clean, docs);
    EXPECT_EQ(shape(t), shape(clean));
    stree_delete_tree(clean);
    stree_delete_tree(t);
  }
  EXPECT_GT(failures, 80) << "too few injected failures to mean anything";
}

}  // namespace
