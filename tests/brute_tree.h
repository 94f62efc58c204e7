// A brute-force model of the generalized suffix tree, and readers that turn
// a real tree into the same form, for the tree tests.
//
// The model lists every explicit record of the tree by its path label.  For
// a collection of stored strings, a non-empty substring x is explicit when
// it is followed by two or more distinct characters somewhere (it branches)
// or when it is a suffix of a stored string (a suffix ends there).  It is a
// leaf when exactly one suffix (slot, start) spells x and x is never followed
// by a character; otherwise it is an internal node whose children begin with
// the characters that follow x and whose end records are the suffixes that
// spell x.  The root (the empty label) is always there.  The number of
// records is the tree's num_nodes.
//
// The readers (dump_tree, check_suffixes, check_links) only read the tree
// and return a description of the first fault they meet, so that a test can
// print it together with the collection that produced it.
#ifndef VOK_TESTS_BRUTE_TREE_H
#define VOK_TESTS_BRUTE_TREE_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "stree_internal.h"

namespace brute {

using End = std::pair<int32_t, int32_t>;  // (slot, start) of one suffix

// One explicit record, keyed by its path label in a Shape.
struct Record {
  bool leaf = false;
  std::string children;   // first characters of the children, in list order
  std::vector<End> ends;  // suffixes ending here, sorted
  bool operator==(const Record&) const = default;
};
using Shape = std::map<std::string, Record>;

// Stored strings by slot.
using Collection = std::map<int32_t, std::string>;

// ---- printing -------------------------------------------------------------

// A C-style literal for s (octal escapes, so it can be pasted into a test).
inline std::string quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char ch : s) {
    if (ch >= 32 && ch < 127 && ch != '"' && ch != '\\') {
      out += static_cast<char>(ch);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", ch);
      out += buf;
    }
  }
  return out + "\"";
}

inline std::string describe(const Collection& c) {
  std::string out = "{";
  for (const auto& [slot, s] : c) {
    if (out.size() > 1) out += ", ";
    out += std::to_string(slot) + ": " + quote(s);
  }
  return out + "}";
}

inline std::string describe(const std::vector<std::string>& v) {
  std::string out = "[";
  for (const auto& s : v) out += (out.size() > 1 ? ", " : "") + quote(s);
  return out + "]";
}

inline std::string describe(const Record& r) {
  std::string out = r.leaf ? "leaf" : "node children " + quote(r.children);
  out += " ends {";
  for (size_t i = 0; i < r.ends.size(); ++i) {
    out += (i ? " (" : "(") + std::to_string(r.ends[i].first) + "," +
           std::to_string(r.ends[i].second) + ")";
  }
  return out + "}";
}

// The first few differences between two shapes; empty when they are equal.
inline std::string shape_diff(const Shape& want, const Shape& got) {
  std::string out;
  int shown = 0;
  auto note = [&](const std::string& line) {
    if (shown++ < 6) out += "\n  " + line;
  };
  for (const auto& [label, rec] : want) {
    auto it = got.find(label);
    if (it == got.end()) {
      note(quote(label) + ": want " + describe(rec) + ", missing");
    } else if (!(it->second == rec)) {
      note(quote(label) + ": want " + describe(rec) + ", got " +
           describe(it->second));
    }
  }
  for (const auto& [label, rec] : got) {
    if (!want.count(label)) {
      note(quote(label) + ": not expected, got " + describe(rec));
    }
  }
  if (shown > 6) out += "\n  ... " + std::to_string(shown - 6) + " more";
  return out;
}

// ---- the model ------------------------------------------------------------

inline Shape expected_shape(const Collection& c) {
  std::map<std::string, std::set<char>> follow;
  std::map<std::string, std::vector<End>> ends;
  follow[""];
  for (const auto& [slot, s] : c) {
    for (size_t a = 0; a < s.size(); ++a) {
      std::string x;
      for (size_t b = a; b <= s.size(); ++b) {
        if (b < s.size()) {
          follow[x].insert(s[b]);
          x += s[b];
        } else {
          follow[x];
          ends[x].push_back({slot, static_cast<int32_t>(a)});
        }
      }
    }
  }
  Shape shape;
  for (const auto& [x, f] : follow) {
    auto e = ends.find(x);
    bool has_ends = e != ends.end();
    if (!x.empty() && f.size() < 2 && !has_ends) continue;  // implicit
    Record r;
    if (has_ends) {
      r.ends = e->second;
      std::sort(r.ends.begin(), r.ends.end());
    }
    r.leaf = !x.empty() && f.empty() && r.ends.size() == 1;
    if (!r.leaf) r.children.assign(f.begin(), f.end());
    shape[x] = r;
  }
  return shape;
}

// Makes shapes that differ only in what removal may leave behind compare
// equal: a childless internal node with one end record counts as a leaf (a
// leaf that an insertion turned into a node stays a node after that
// insertion is taken back), and with drop_unary an internal node with one
// child and no end record is dropped (its label is implicit).
inline Shape normalise(Shape s, bool drop_unary) {
  for (auto it = s.begin(); it != s.end();) {
    Record& r = it->second;
    if (!it->first.empty() && !r.leaf) {
      if (r.children.empty() && r.ends.size() == 1) r.leaf = true;
      if (drop_unary && r.ends.empty() && r.children.size() == 1) {
        it = s.erase(it);
        continue;
      }
    }
    ++it;
  }
  return s;
}

inline size_t count_ends(const Shape& s) {
  size_t n = 0;
  for (const auto& [label, r] : s) n += r.ends.size();
  return n;
}

inline size_t count_suffixes(const Collection& c) {
  size_t n = 0;
  for (const auto& [slot, s] : c) n += s.size();
  return n;
}

// ---- reading the tree -----------------------------------------------------

struct TreeDeleter {
  void operator()(suffix_tree* t) const { stree_delete_tree(t); }
};
using TreePtr = std::unique_ptr<suffix_tree, TreeDeleter>;

// The child-index threshold that new_tree() gives its trees.
inline int& test_index_threshold() {
  static int threshold = STREE_INDEX_THRESHOLD;
  return threshold;
}

inline TreePtr new_tree() {
  TreePtr t(stree_new_tree(128, 1));
  if (t) stree_index_set_threshold(t.get(), test_index_threshold());
  return t;
}

// While it lives, the trees of new_tree() index every node a lookup walks
// past one sibling of, so that the child index takes part in every edit.
struct IndexEverything {
  int saved = test_index_threshold();
  IndexEverything() { test_index_threshold() = 1; }
  ~IndexEverything() { test_index_threshold() = saved; }
};

inline stree_ref first_child(const suffix_tree* t, stree_ref r) {
  if (int_stree_isaleaf(t, r)) return STREE_NONE;
  const stree_node* n = int_stree_node(r);
  if (int_stree_has_endrecs(r)) return int_stree_endrec(n->children)->children;
  return n->children;
}

inline std::vector<stree_ref> children_of(const suffix_tree* t, stree_ref r) {
  std::vector<stree_ref> out;
  for (stree_ref c = first_child(t, r); c != STREE_NONE && out.size() <= 128;
       c = int_stree_next_sibling(c)) {
    out.push_back(c);
  }
  return out;
}

// The end records of an internal node, head first.
inline std::vector<End> end_records(const suffix_tree* t, stree_ref node) {
  std::vector<End> out;
  if (int_stree_isaleaf(t, node) || !int_stree_has_endrecs(node)) return out;
  for (stree_ref e = int_stree_node(node)->children;
       e != STREE_NONE && out.size() <= STREE_MAX_STRINGS;
       e = int_stree_endrec(e)->next) {
    uint32_t packed = int_stree_endrec(e)->strpos;
    out.push_back({stree_pos_strid(packed), stree_pos_offset(packed)});
  }
  return out;
}

inline int32_t leaf_strid(stree_ref leaf) {
  return stree_pos_strid(int_stree_leaf(leaf)->strpos);
}
inline int32_t leaf_edgepos(stree_ref leaf) {
  return stree_pos_offset(int_stree_leaf(leaf)->strpos);
}

struct Dump {
  Shape shape;
  std::map<stree_ref, std::string> labels;  // path label of every record
  std::string error;                        // first fault met, or empty
};

// Reads every node and leaf reachable from the root.  Besides building the
// shape it checks that each record is reached once, that no two records
// spell the same label, that every edge label lies inside an occupied slot's
// string, and that each leaf spells the suffix its start position names.
inline Dump dump_tree(const suffix_tree* t) {
  Dump d;
  std::vector<std::pair<stree_ref, std::string>> todo{{t->root, ""}};
  auto fail = [&](const std::string& what) {
    if (d.error.empty()) d.error = what;
  };
  while (!todo.empty() && d.error.empty()) {
    auto [r, label] = todo.back();
    todo.pop_back();
    if (!d.labels.emplace(r, label).second) {
      fail("record " + std::to_string(r) + " reached twice");
      break;
    }
    if (d.shape.count(label)) fail("two records spell " + quote(label));
    Record rec;
    if (int_stree_isaleaf(t, r)) {
      int32_t strid = leaf_strid(r);
      if (!t->strings[strid]) {
        fail("leaf " + quote(label) + " belongs to free slot " +
             std::to_string(strid));
        break;
      }
      int32_t start = int_stree_get_leafpos(t, r);
      int32_t len = t->lengths[strid];
      rec.leaf = true;
      rec.ends = {{strid, start}};
      if (start < 0 || start >= len ||
          std::string(t->strings[strid] + start, len - start) != label) {
        fail("leaf " + quote(label) + " of slot " + std::to_string(strid) +
             " has start " + std::to_string(start) +
             ", which does not spell its path");
      }
    } else {
      rec.ends = end_records(t, r);
      std::sort(rec.ends.begin(), rec.ends.end());
      if (r == t->root && !rec.ends.empty()) fail("the root has end records");
      for (stree_ref c : children_of(t, r)) {
        int32_t n = int_stree_edge_length(t, c);
        const char* e = int_stree_edge_string(t, c);
        if (!int_stree_isaleaf(t, c)) {
          uint32_t packed = int_stree_node(c)->edgestr;
          int32_t strid = stree_pos_strid(packed);
          if (!t->strings[strid]) {
            fail("the edge of node " + quote(label) + "+... lies in free slot " +
                 std::to_string(strid));
            break;
          }
          if (stree_pos_offset(packed) + n > t->lengths[strid]) {
            fail("the edge of a child of " + quote(label) +
                 " runs past the end of slot " + std::to_string(strid));
            break;
          }
        }
        if (!e || n <= 0) {
          fail("a child of " + quote(label) + " has an empty edge");
          break;
        }
        rec.children += e[0];
        todo.push_back({c, label + std::string(e, static_cast<size_t>(n))});
      }
    }
    d.shape[label] = rec;
  }
  return d;
}

// Every suffix of every stored string, matched from the root, ends exactly
// at its own leaf or at a node carrying its end record; and the table holds
// each string as stored.
inline std::string check_suffixes(const suffix_tree* t, const Collection& c) {
  for (const auto& [slot, s] : c) {
    if (!t->strings[slot] || t->lengths[slot] != static_cast<int32_t>(s.size()) ||
        std::string(t->strings[slot], s.size()) != s) {
      return "slot " + std::to_string(slot) + " does not hold " + quote(s);
    }
    for (size_t start = 0; start < s.size(); ++start) {
      std::string suffix = s.substr(start);
      std::string where = "suffix " + quote(suffix) + " (slot " +
                          std::to_string(slot) + ", start " +
                          std::to_string(start) + ")";
      stree_ref r = STREE_NONE;
      int32_t pos = -1;
      int32_t m = stree_match(t, suffix.data(),
                              static_cast<int32_t>(suffix.size()), &r, &pos);
      if (m != static_cast<int32_t>(suffix.size())) {
        return where + ": matched only " + std::to_string(m);
      }
      if (pos != int_stree_edge_length(t, r)) {
        return where + " ends inside an edge (pos " + std::to_string(pos) +
               " of " + std::to_string(int_stree_edge_length(t, r)) + ")";
      }
      End want{slot, static_cast<int32_t>(start)};
      if (int_stree_isaleaf(t, r)) {
        End got{leaf_strid(r), int_stree_get_leafpos(t, r)};
        if (got != want) {
          return where + " ends at the leaf of (" + std::to_string(got.first) +
                 "," + std::to_string(got.second) + ")";
        }
      } else {
        std::vector<End> ends = end_records(t, r);
        if (std::find(ends.begin(), ends.end(), want) == ends.end()) {
          return where + " ends at a node without its end record";
        }
      }
    }
  }
  return "";
}

// Every internal node other than the root has a suffix link to a record in
// the tree whose path label is its own without the first character, and
// the derived link of every leaf leads to such a record too.
inline std::string check_links(const suffix_tree* t, const Dump& d) {
  for (const auto& [r, label] : d.labels) {
    if (r == t->root) continue;
    if (int_stree_isaleaf(t, r)) {
      auto it = d.labels.find(int_stree_leaf_suffix_link(t, r));
      if (it == d.labels.end() || it->second != label.substr(1)) {
        return "the suffix link of leaf " + quote(label) + " leads to " +
               (it == d.labels.end() ? "a record not in the tree"
                                     : quote(it->second));
      }
      continue;
    }
    stree_ref link = int_stree_node(r)->suffix_link;
    if (link == STREE_NONE) return "node " + quote(label) + " has no suffix link";
    auto it = d.labels.find(link);
    if (it == d.labels.end()) {
      return "node " + quote(label) + " links to a record not in the tree";
    }
    if (it->second != label.substr(1)) {
      return "node " + quote(label) + " links to " + quote(it->second);
    }
    std::string buf(label.size() + 1, '\0');
    int32_t n = stree_get_label(t, link, buf.data(),
                                static_cast<int32_t>(buf.size()));
    if (n < 0 || buf.substr(0, static_cast<size_t>(n)) != label.substr(1)) {
      return "stree_get_label of the link of " + quote(label) + " gives " +
             quote(buf.substr(0, n < 0 ? 0 : static_cast<size_t>(n)));
    }
  }
  return "";
}

// Everything a tree built by successful insertions (and, with `normalised`,
// by removals of whole strings) must satisfy for the collection c.  Returns
// an empty string when the tree is sound, else the first fault.
inline std::string check_built(suffix_tree* t, const Collection& c,
                               bool normalised = false) {
  if (const char* e = stree_check(t, 1)) return std::string("stree_check: ") + e;
  Dump d = dump_tree(t);
  if (!d.error.empty()) return d.error;
  Shape want = expected_shape(c);
  if (t->num_nodes != static_cast<int32_t>(want.size())) {
    return "num_nodes " + std::to_string(t->num_nodes) + ", model " +
           std::to_string(want.size());
  }
  std::string diff = normalised
                         ? shape_diff(normalise(want, false),
                                      normalise(d.shape, false))
                         : shape_diff(want, d.shape);
  if (!diff.empty()) return "shape differs from the model:" + diff;
  std::string s = check_suffixes(t, c);
  if (!s.empty()) return s;
  return check_links(t, d);
}

// What a failed add must leave: the slot free again with next_free as
// before, no suffix of the failed string, every other suffix in place,
// num_nodes equal to the records reachable, and apart from what a rollback
// may leave behind (see normalise; at most one node with a single child) the
// shape the tree had before the add.
inline std::string check_rolled_back(suffix_tree* t, const Collection& c,
                                     int32_t slot, int32_t next_free_before,
                                     const Shape& before) {
  if (t->strings[slot]) return "slot " + std::to_string(slot) + " still taken";
  if (t->next_free != next_free_before) {
    return "next_free " + std::to_string(t->next_free) + ", was " +
           std::to_string(next_free_before);
  }
  if (const char* e = stree_check(t, 0)) return std::string("stree_check: ") + e;
  Dump d = dump_tree(t);
  if (!d.error.empty()) return d.error;
  if (t->num_nodes != static_cast<int32_t>(d.labels.size())) {
    return "num_nodes " + std::to_string(t->num_nodes) + ", records " +
           std::to_string(d.labels.size());
  }
  for (const auto& [label, r] : d.shape) {
    for (const End& e : r.ends) {
      if (e.first == slot) {
        return quote(label) + " still carries a suffix of the failed slot";
      }
    }
  }
  // Only the node split off in the failing extension may be left with one
  // child and no end record; every other node was tidied by the removal.
  Shape after = normalise(d.shape, true);
  if (d.shape.size() - after.size() > 1) {
    return std::to_string(d.shape.size() - after.size()) +
           " nodes left with one child and no end record";
  }
  std::string diff = shape_diff(normalise(before, true), after);
  if (!diff.empty()) return "shape differs from before the add:" + diff;
  if (count_ends(d.shape) != count_suffixes(c)) {
    return std::to_string(count_ends(d.shape)) + " leaves and end records for " +
           std::to_string(count_suffixes(c)) + " suffixes";
  }
  return check_suffixes(t, c);
}

// ---- building ---------------------------------------------------------------

// stree_add_string, recording the string in c under its slot on success.
inline int add(suffix_tree* t, Collection& c, const std::string& s,
               int32_t id) {
  int32_t slot = t->next_free;
  int r = stree_add_string(t, s.c_str(), static_cast<int32_t>(s.size()), id);
  if (r == 1) c[slot] = s;
  return r;
}

// Random strings that make repeats, shared suffixes and leaf conversions
// frequent: empty strings, copies and pieces of earlier strings, periodic
// strings and plain random ones over a small alphabet.
struct Gen {
  std::mt19937 rng;
  std::string alphabet;

  Gen(uint32_t seed, std::string alpha) : rng(seed), alphabet(std::move(alpha)) {}

  int below(int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }

  std::string random(int len) {
    std::string s;
    for (int i = 0; i < len; ++i) s += alphabet[below(static_cast<int>(alphabet.size()))];
    return s;
  }

  std::string next(int maxlen, const std::vector<std::string>& earlier) {
    int kind = below(100);
    if (kind < 6) return "";
    if (!earlier.empty() && kind < 18) return earlier[below(static_cast<int>(earlier.size()))];
    if (!earlier.empty() && kind < 34) {
      const std::string& e = earlier[below(static_cast<int>(earlier.size()))];
      if (e.empty()) return random(1 + below(maxlen));
      size_t a = below(static_cast<int>(e.size()));
      size_t b = a + 1 + below(static_cast<int>(e.size() - a));
      std::string piece = e.substr(a, b - a);
      if (below(2)) piece += random(below(4));
      return piece.substr(0, static_cast<size_t>(maxlen));
    }
    if (kind < 48) {
      std::string unit = random(1 + below(3));
      std::string s;
      int len = 1 + below(maxlen);
      while (static_cast<int>(s.size()) < len) s += unit;
      s.resize(static_cast<size_t>(len));
      if (below(2)) s.back() = alphabet[below(static_cast<int>(alphabet.size()))];
      return s;
    }
    return random(below(maxlen + 1));
  }

  std::vector<std::string> collection(int count, int maxlen) {
    std::vector<std::string> v;
    for (int i = 0; i < count; ++i) v.push_back(next(maxlen, v));
    return v;
  }
};

}  // namespace brute

#endif  // VOK_TESTS_BRUTE_TREE_H
