// Histories of one tree checked against the model after every step: texts
// are added (also with the pool, the child index or the node limit made to
// fail at each request in turn) and removed, and the tree is read back
// through its own operations and compared record by record.  Shared by the
// tree tests and the fuzz target; every check returns "" or what is wrong.
#ifndef VOK_TESTS_HISTORY_H
#define VOK_TESTS_HISTORY_H

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "model.h"
#include "stree_internal.h"

#if defined(STREE_WIDE)
using namespace stree_wide;
#endif

namespace history {

// The tree read into the model's form, parent and link as the tree's own
// numbers (-1: none).  A node with one child and no end record, which a
// failed insertion may leave, is kept and counted in `unary`.
struct Seen {
  model::Tree tree;
  int unary = 0;
  std::string error;
};

inline void collect(suffix_tree*, stree_ref r, void* refs) {
  static_cast<std::vector<stree_ref>*>(refs)->push_back(r);
}

// Reads every record: preorder number, label, children, suffixes, parent,
// link; checks that matching each label stops at its record, that the label
// with its last byte moved above 127 matches one byte less, and that every
// child is found by its code.
inline Seen read(suffix_tree* t) {
  Seen g;
  std::vector<stree_ref> refs;
  stree_traverse(t, collect, nullptr, &refs);
  std::map<stree_ref, int> num;
  for (size_t i = 0; i < refs.size(); ++i) num[refs[i]] = static_cast<int>(i);
  auto fail = [&](const std::string& what, const std::string& label) {
    if (g.error.empty()) g.error = what + " at \"" + label + "\"";
  };
  for (size_t i = 0; i < refs.size(); ++i) {
    stree_ref r = refs[i];
    model::Rec rec;
    rec.label.resize(static_cast<size_t>(stree_get_labellen(t, r)));
    stree_get_label(t, r, rec.label.data(), static_cast<int32_t>(rec.label.size()));
    const int32_t len = static_cast<int32_t>(rec.label.size());
    if (stree_node_id(t, r) != i) fail("preorder number", rec.label);
    for (stree_ref c = int_stree_first_child(t, r); c != STREE_NONE && rec.next.size() < 129;
         c = int_stree_next_sibling(c)) {
      rec.next += static_cast<char>(int_stree_code(t, c));
      if (int_stree_find_child(t, r, int_stree_code(t, c)) != c) fail("find_child", rec.label);
    }
    int32_t slot, pos, id;
    for (int k = 1; stree_get_suffix(t, r, k, &slot, &pos, &id) && k <= STREE_MAX_STRINGS; ++k)
      rec.ends.push_back({slot, pos});
    std::sort(rec.ends.begin(), rec.ends.end());
    rec.leaf = int_stree_isaleaf(t, r);
    stree_ref parent = int_stree_get_parent(t, r);
    rec.parent = parent == STREE_NONE ? -1 : num.at(parent);
    // A leaf's link is found from its parent's, which a failure may lack.
    bool linkable = !rec.leaf || parent == t->root || int_stree_node(parent)->suffix_link;
    stree_ref link = r == t->root || !linkable ? STREE_NONE : int_stree_leaf_suffix_link(t, r);
    rec.link = link == STREE_NONE ? -1 : num.at(link);
    if (r != t->root) {
      stree_ref at;
      int32_t p;
      if (stree_match(t, rec.label.data(), len, &at, &p) != len || at != r ||
          p != int_stree_edge_length(t, r))
        fail("matching the label", rec.label);
      std::string twin = rec.label;
      twin.back() = static_cast<char>(twin.back() | 0x80);
      if (STREE_MAX_ALPHABET == 128 && stree_match(t, twin.data(), len, &at, &p) != len - 1)
        fail("byte above 127 matched", rec.label);
      g.unary += rec.next.size() == 1 && rec.ends.empty();
    }
    g.tree.number[rec.label] = static_cast<int>(i);
    g.tree.recs.push_back(rec);
  }
  return g;
}

// The tree against the model.  A childless node with one suffix counts as a
// leaf (removal and rollback leave converted leaves as nodes); unary nodes
// are skipped, and only outside strict mode may links be missing.
inline std::string compare(const model::Tree& m, const Seen& g, bool strict,
                           int unary_allowed) {
  if (!g.error.empty()) return g.error;
  if (g.unary > unary_allowed) return std::to_string(g.unary) + " unary nodes";
  auto unary = [&](int i) { const model::Rec& r = g.tree.recs[i];
    return i > 0 && r.next.size() == 1 && r.ends.empty(); };
  size_t kept = 0;
  for (size_t i = 0; i < g.tree.recs.size(); ++i) {
    const model::Rec& r = g.tree.recs[i];
    if (unary(static_cast<int>(i))) continue;
    ++kept;
    auto it = m.number.find(r.label);
    std::string where = " at \"" + r.label + "\"";
    if (it == m.number.end()) return "unexpected record" + where;
    const model::Rec& w = m.recs[it->second];
    if (r.next != w.next) return "children \"" + r.next + "\", want \"" + w.next + "\"" + where;
    if (r.ends != w.ends) return "suffixes ending" + where;
    if (w.leaf != (r.leaf || (r.next.empty() && r.ends.size() == 1))) return "leaf" + where;
    int p = r.parent;
    while (p > 0 && unary(p)) p = g.tree.recs[p].parent;
    if (p >= 0 && g.tree.recs[p].label != m.recs[w.parent].label) return "parent" + where;
    if (r.link < 0 ? strict && i > 0 : g.tree.recs[r.link].label != r.label.substr(1))
      return "suffix link" + where;
  }
  return kept == m.recs.size() ? "" : "missing records";
}

enum Fail { NO_FAIL, POOL, INDEX, LIMIT };

struct History {
  long pages_before = stree_pool_pages_in_use();
  suffix_tree* tree;
  int alphabet;
  bool copy;
  model::Texts texts;
  std::map<int32_t, int32_t> ids;           // slot -> caller id
  std::map<int32_t, std::string*> buffers;  // slot -> text the tree may point into
  std::deque<std::string> kept;
  bool strict = true;  // no failure has left its traces
  int unary_seen = 0;   // unary nodes at the last check

  History(int alphabet_size, bool copy_strings, int index_threshold)
      : tree(stree_new_tree(alphabet_size, copy_strings)),
        alphabet(alphabet_size), copy(copy_strings) {
    if (tree) stree_index_set_threshold(tree, index_threshold);
  }
  ~History() { stree_delete_tree(tree); }
};

// The table, the checker, the records; reads must not index.  A failed add
// may leave one unary node more (`extra`).
inline std::string check(History& h, int extra = 0) {
  suffix_tree* t = h.tree;
  if (const char* fault = stree_check(t, h.strict)) return fault;
  int32_t lowest_free = -1;
  int32_t top = h.texts.empty() ? 2 : h.texts.rbegin()->first + 2;
  top = std::min(top, t->slots);
  for (int32_t slot = 0; slot < top; ++slot) {
    auto it = h.texts.find(slot);
    if (it == h.texts.end()) {
      if (t->strings[slot]) return "slot " + std::to_string(slot) + " taken";
      if (lowest_free < 0) lowest_free = slot;
    } else if (!t->strings[slot] || t->lengths[slot] != int32_t(it->second.size()) ||
               t->ids[slot] != h.ids.at(slot) ||
               std::memcmp(t->strings[slot], it->second.data(), it->second.size()))
      return "slot " + std::to_string(slot) + " differs";
  }
  if (lowest_free < 0) lowest_free = top;
  if (t->next_free != lowest_free) return "next_free " + std::to_string(t->next_free);
  long indexed = stree_index_nodes(t);
  Seen g = read(t);
  if (stree_index_nodes(t) != indexed) return "a read indexed a node";
  if (t->num_nodes != static_cast<stree_count>(g.tree.recs.size())) return "num_nodes";
  h.unary_seen = std::min(g.unary, h.unary_seen + extra);
  return compare(model::build(h.texts), g, h.strict, h.unary_seen);
}

// Adds text under id, failing the way `how` says at request n = first, then
// first + 1, ... up to last, until the add gets through; each failure must
// leave the tree as it was.  A text the tree cannot take must be refused.
inline std::string add(History& h, const std::string& text, int32_t id,
                       Fail how = NO_FAIL, long first = 1, long last = 1L << 30) {
  bool refusable = h.tree->next_free >= STREE_MAX_STRINGS;
  for (unsigned char c : text) refusable |= c >= h.alphabet;
  for (long n = first;; ++n) {
    const char* p = text.c_str();
    if (!h.copy) p = h.kept.emplace_back(text).c_str();
    const int32_t slot = h.tree->next_free;
    stree_count delta = how == LIMIT ? STREE_MAX_NODES - h.tree->num_nodes - (n - 1) : 0;
    if (how == POOL) stree_pool_fail_at(n);
    if (how == INDEX) stree_index_fail_at(h.tree, n);
    h.tree->num_nodes += delta;
    int ok = stree_add_string(h.tree, p, static_cast<int32_t>(text.size()), id);
    if (h.tree->num_nodes > STREE_MAX_NODES) return "past the node limit";
    h.tree->num_nodes -= delta;
    stree_pool_fail_at(0);
    stree_index_fail_at(h.tree, 0);
    const std::string at = " (fail " + std::to_string(how) + " at " + std::to_string(n) + ")";
    if (ok && refusable) return "took a text it cannot hold" + at;
    if (ok) {
      h.texts[slot] = text;
      h.ids[slot] = id;
      if (!h.copy) h.buffers[slot] = &h.kept.back();
      std::string e = check(h);
      return e.empty() ? e : e + at;
    }
    if (how == NO_FAIL && !refusable) return "refused a text" + at;
    if (!refusable) h.strict = false;
    std::string e = check(h, !refusable);
    if (!e.empty()) return e + " after a failed add" + at;
    if (how == NO_FAIL || refusable || n >= last) return "";
  }
}

// Removes the string of the lowest slot holding id; a text the tree did not
// copy is overwritten then, so that a label left pointing into it shows.
inline std::string remove(History& h, int32_t id) {
  auto it = std::find_if(h.ids.begin(), h.ids.end(),
                         [&](const auto& e) { return e.second == id; });
  if (stree_remove_string(h.tree, id) != (it != h.ids.end())) return "remove's result";
  if (it == h.ids.end()) return check(h);
  h.texts.erase(it->first);
  if (!h.copy) h.buffers[it->first]->assign(h.buffers[it->first]->size(), '\xff');
  h.buffers.erase(it->first);
  h.ids.erase(it);
  return check(h);
}

// Lowers the wide tree's limit of text offsets, so that their runs are
// dealt out anew, every record's offset rewritten, again and again in a
// history (nothing in the narrow layout).
inline void crowd_offsets([[maybe_unused]] History& h, [[maybe_unused]] uint64_t limit) {
#if defined(STREE_WIDE)
  h.tree->offset_limit = limit;
#endif
}

// Deletes the tree: every page it took must be given back.
inline std::string finish(History& h) {
  stree_delete_tree(h.tree);
  h.tree = nullptr;
  return stree_pool_pages_in_use() == h.pages_before ? "" : "pages left in use";
}

}  // namespace history

#endif  // VOK_TESTS_HISTORY_H
