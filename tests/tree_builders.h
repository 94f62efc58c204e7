// Helpers for the tree tests.
//
// Trees here are assembled by hand from the pool and the structural edits,
// never through stree_add_string, so that navigation, edits and the checker
// can be tested before (and independently of) insertion.  Besides the two
// small fixed trees (the documents "ab"+"ac", and "abab") there is a naive
// builder that puts in one suffix at a time with the edits, and a reference
// model that reads the records directly (explicit stack, no navigation
// calls) to give the answers the library must match.
#ifndef VOK_TESTS_TREE_BUILDERS_H
#define VOK_TESTS_TREE_BUILDERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "stree_internal.h"

namespace treetest {

// ---- raw record access (reads words, calls no navigation) -----------------

inline uint32_t header(stree_ref r) { return int_stree_words(r)[0]; }
inline bool is_leaf(stree_ref r) { return (header(r) & STREE_LEAF_BIT) != 0; }
inline bool is_last(stree_ref r) { return (header(r) & STREE_LAST_BIT) != 0; }
inline stree_ref link_of(stree_ref r) { return int_stree_words(r)[1]; }
inline int first_char(stree_ref r) {
  return static_cast<int>(header(r) >> STREE_FIRST_CHAR_SHIFT);
}
inline int32_t leaf_strid(stree_ref r) {
  return stree_pos_strid(int_stree_leaf(r)->strpos);
}
inline int32_t leaf_edgepos(stree_ref r) {
  return stree_pos_offset(int_stree_leaf(r)->strpos);
}
inline stree_node* node(stree_ref r) { return int_stree_node(r); }
inline stree_endrec* endrec(stree_ref r) { return int_stree_endrec(r); }

// Edge label of a record, straight from its words.
inline std::string raw_edge(const suffix_tree* t, stree_ref r) {
  if (r == t->root) return std::string();
  if (is_leaf(r)) {
    int32_t s = leaf_strid(r);
    return std::string(t->strings[s] + leaf_edgepos(r),
                       t->lengths[s] - leaf_edgepos(r));
  }
  uint32_t p = node(r)->edgestr;
  return std::string(t->strings[stree_pos_strid(p)] + stree_pos_offset(p),
                     node(r)->edgelen);
}

// Head end record of a node, or none.
inline stree_ref raw_head(stree_ref r) {
  if (is_leaf(r) || !(header(r) & STREE_ENDRECS_BIT)) return STREE_NONE;
  return node(r)->children;
}
// First child through the first-child word.
inline stree_ref raw_first_child(stree_ref r) {
  if (is_leaf(r)) return STREE_NONE;
  stree_ref head = raw_head(r);
  return head ? endrec(head)->children : node(r)->children;
}
// Children in list order.
inline std::vector<stree_ref> raw_children(stree_ref r) {
  std::vector<stree_ref> out;
  for (stree_ref c = raw_first_child(r); c != STREE_NONE;
       c = is_last(c) ? STREE_NONE : link_of(c))
    out.push_back(c);
  return out;
}
// End records from the head on.
inline std::vector<stree_ref> raw_endrecs(stree_ref r) {
  std::vector<stree_ref> out;
  for (stree_ref e = raw_head(r); e != STREE_NONE; e = endrec(e)->next)
    out.push_back(e);
  return out;
}

// ---- building by hand -----------------------------------------------------

// Stores a NUL-terminated text; returns its slot.
inline int32_t add_text(suffix_tree* t, const std::string& s, int32_t id = 0) {
  int32_t slot = int_stree_table_add(t, s.c_str(),
                                     static_cast<int32_t>(s.size()), id);
  EXPECT_GE(slot, 0) << "table refused \"" << s << "\"";
  return slot;
}

// A new leaf (slot, edgepos) added under an internal parent and counted.
inline stree_ref hang_leaf(suffix_tree* t, stree_ref parent, int32_t slot,
                           int32_t edgepos) {
  stree_ref leaf = int_stree_new_leaf(t, slot, edgepos);
  EXPECT_NE(leaf, STREE_NONE);
  EXPECT_EQ(int_stree_add_child(t, parent, leaf), parent);
  ++t->num_nodes;
  return leaf;
}

// A new internal node with edge (slot, start, len) added under parent and
// counted.
inline stree_ref hang_node(suffix_tree* t, stree_ref parent, int32_t slot,
                           int32_t start, int32_t len) {
  stree_ref n = int_stree_new_node(t, stree_pack_pos(slot, start), len);
  EXPECT_NE(n, STREE_NONE);
  EXPECT_EQ(int_stree_add_child(t, parent, n), parent);
  ++t->num_nodes;
  return n;
}

// The documents "ab" (slot 0, id 10) and "ac" (slot 1, id 11):
//   root -> A "a" -> leaf "b" of slot 0, leaf "c" of slot 1
//        -> leaf "b" of slot 0,  leaf "c" of slot 1
struct ab_ac_tree {
  stree_ref root, a, leaf_ab, leaf_ac, leaf_b, leaf_c;
};
inline ab_ac_tree build_ab_ac(suffix_tree* t) {
  ab_ac_tree x;
  add_text(t, "ab", 10);
  add_text(t, "ac", 11);
  x.root = t->root;
  // Added out of code order on purpose: add_child sorts.
  x.leaf_c = hang_leaf(t, x.root, 1, 1);
  x.a = hang_node(t, x.root, 0, 0, 1);
  x.leaf_b = hang_leaf(t, x.root, 0, 1);
  x.leaf_ac = hang_leaf(t, x.a, 1, 1);
  x.leaf_ab = hang_leaf(t, x.a, 0, 1);
  node(x.a)->suffix_link = x.root;
  return x;
}

// The document "abab" (slot 0, id 7):
//   root -> AB "ab" [end (0,2)] -> leaf "ab" (edgepos 2)
//        -> B "b" at 1 [end (0,3)] -> leaf "ab" (edgepos 2)
struct abab_tree {
  stree_ref root, ab, ab_leaf, b, b_leaf;
};
inline abab_tree build_abab(suffix_tree* t) {
  abab_tree x;
  add_text(t, "abab", 7);
  x.root = t->root;
  x.b = hang_node(t, x.root, 0, 1, 1);
  x.ab = hang_node(t, x.root, 0, 0, 2);
  EXPECT_EQ(int_stree_add_endrec(t, x.ab, 0, 2), 1);
  EXPECT_EQ(int_stree_add_endrec(t, x.b, 0, 3), 1);
  x.ab_leaf = hang_leaf(t, x.ab, 0, 2);
  x.b_leaf = hang_leaf(t, x.b, 0, 2);
  node(x.ab)->suffix_link = x.b;
  node(x.b)->suffix_link = x.root;
  return x;
}

// ---- naive suffix-tree builder --------------------------------------------

// Where a text leaves the tree, found by comparing characters on every edge:
// the highest record whose path label covers text[0..matched), and how far
// down its edge the match ends.
struct locus {
  stree_ref rec;
  int32_t pos;
  int32_t matched;
};
inline stree_ref raw_child(const suffix_tree* t, stree_ref r, char c) {
  for (stree_ref ch : raw_children(r))
    if (raw_edge(t, ch)[0] == c) return ch;
  return STREE_NONE;
}
inline locus raw_walk(const suffix_tree* t, const std::string& text) {
  locus l{t->root, 0, 0};
  int32_t len = static_cast<int32_t>(text.size());
  for (;;) {
    std::string e = raw_edge(t, l.rec);
    int32_t el = static_cast<int32_t>(e.size());
    while (l.matched < len && l.pos < el && e[l.pos] == text[l.matched]) {
      ++l.pos;
      ++l.matched;
    }
    if (l.matched == len || l.pos < el) return l;
    stree_ref c = raw_child(t, l.rec, text[l.matched]);
    if (c == STREE_NONE) return l;
    l.rec = c;
    l.pos = 0;
  }
}

// Puts the suffix of `slot` starting at i into the tree with the edits, as a
// leaf, or as an end record where it ends inside the tree.
inline void naive_insert_suffix(suffix_tree* t, int32_t slot, int32_t i) {
  std::string text(t->strings[slot] + i, t->lengths[slot] - i);
  locus l = raw_walk(t, text);
  stree_ref at = l.rec;
  if (l.pos < static_cast<int32_t>(raw_edge(t, at).size())) {
    at = int_stree_split_edge(t, at, l.pos);
    ASSERT_NE(at, STREE_NONE) << "split at " << l.pos;
  }
  if (l.matched == static_cast<int32_t>(text.size())) {
    at = int_stree_leaf_to_node(t, at);
    ASSERT_NE(at, STREE_NONE);
    ASSERT_EQ(int_stree_add_endrec(t, at, slot, i), 1);
    return;
  }
  stree_ref leaf = int_stree_new_leaf(t, slot, i + l.matched);
  ASSERT_NE(leaf, STREE_NONE);
  ASSERT_NE(int_stree_add_child(t, at, leaf), STREE_NONE);
  ++t->num_nodes;
}

// Path labels of every record, with parents, in preorder (children in list
// order).  Explicit stack.
struct model_rec {
  stree_ref rec;
  stree_ref parent;
  std::string label;
};
inline std::vector<model_rec> collect(const suffix_tree* t) {
  std::vector<model_rec> out;
  std::vector<model_rec> stack{{t->root, STREE_NONE, std::string()}};
  while (!stack.empty()) {
    model_rec m = stack.back();
    stack.pop_back();
    out.push_back(m);
    std::vector<stree_ref> kids = raw_children(m.rec);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it)
      stack.push_back({*it, m.rec, m.label + raw_edge(t, *it)});
  }
  return out;
}

// Sets the suffix link of every internal node below the root to the record
// spelling its path label without the first character.
inline void naive_set_links(suffix_tree* t) {
  for (const model_rec& m : collect(t)) {
    if (m.rec == t->root || is_leaf(m.rec)) continue;
    locus l = raw_walk(t, m.label.substr(1));
    ASSERT_EQ(l.matched, static_cast<int32_t>(m.label.size()) - 1);
    ASSERT_EQ(l.pos, static_cast<int32_t>(raw_edge(t, l.rec).size()))
        << "suffix link target of \"" << m.label << "\" is not a record";
    ASSERT_FALSE(is_leaf(l.rec));
    node(m.rec)->suffix_link = l.rec;
  }
}

// Stores the strings and builds their suffix tree one suffix at a time.
inline void naive_build(suffix_tree* t, const std::vector<std::string>& docs) {
  for (size_t d = 0; d < docs.size(); ++d) {
    int32_t slot = add_text(t, docs[d], static_cast<int32_t>(100 + d));
    ASSERT_GE(slot, 0);
    for (int32_t i = 0; i < static_cast<int32_t>(docs[d].size()); ++i) {
      naive_insert_suffix(t, slot, i);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  naive_set_links(t);
}

// ---- snapshots --------------------------------------------------------------

// Every word of every reachable record (end records included) in preorder,
// plus num_nodes: equal dumps mean nothing in the tree changed.
inline std::string dump(const suffix_tree* t) {
  std::string out = "n=" + std::to_string(t->num_nodes) + "\n";
  std::vector<stree_ref> stack{t->root};
  while (!stack.empty()) {
    stree_ref r = stack.back();
    stack.pop_back();
    int words = is_leaf(r) ? 3 : 6;
    out += std::to_string(r) + ":";
    for (int w = 0; w < words; ++w)
      out += " " + std::to_string(int_stree_words(r)[w]);
    for (stree_ref e : raw_endrecs(r)) {
      out += " [";
      for (int w = 0; w < 3; ++w)
        out += " " + std::to_string(int_stree_words(e)[w]);
      out += "]";
    }
    out += "\n";
    std::vector<stree_ref> kids = raw_children(r);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(*it);
  }
  return out;
}

// ---- pool page control --------------------------------------------------------

enum class kind { node, leaf, endrec };
inline int capacity(kind k) { return k == kind::node ? 1152 : 2304; }
// One record of a kind; leaves need a stored string in slot 0.
inline stree_ref take(suffix_tree* t, kind k) {
  switch (k) {
    case kind::node: return int_stree_new_node(t, stree_pack_pos(0, 0), 1);
    case kind::leaf: return int_stree_new_leaf(t, 0, 0);
    default: return int_stree_new_endrec(t, 0, 0);
  }
}

// Takes records until one opens a new page and returns that record, slot 0
// of a fresh page.  The records taken on the way are given back.
inline stree_ref take_fresh(suffix_tree* t, kind k) {
  std::vector<stree_ref> stale;
  for (int i = 0; i <= capacity(k); ++i) {
    stree_ref r = take(t, k);
    EXPECT_NE(r, STREE_NONE);
    if ((r & 0xfffu) == 0) {  // only a page's first record has offset 0
      for (stree_ref s : stale) int_stree_free_record(t, s);
      return r;
    }
    stale.push_back(r);
  }
  ADD_FAILURE() << "no new page after a page's worth of requests";
  return STREE_NONE;
}

// Leaves the current page with exactly `units` units (12 bytes each; a node
// takes two, a leaf or an end record one) not yet handed out, and every
// record it handed out so far returned: records filling those units come
// from this page, and once they fill it, giving them all back releases it
// (pages_in_use drops by one).
inline void prime_room(suffix_tree* t, int units) {
  std::vector<stree_ref> taken{take_fresh(t, kind::leaf)};
  for (int i = 1; i < capacity(kind::leaf) - units; ++i)
    taken.push_back(take(t, kind::leaf));
  for (stree_ref r : taken) int_stree_free_record(t, r);
}

}  // namespace treetest

#endif  // VOK_TESTS_TREE_BUILDERS_H
