// The automaton of a fitted model (fitted_model.h), from a selected corpus of one
// tree layout.
//
// The model's strings are s_f = (y, c) for every seen feature f, y its
// parent and c the first character of its edge, and their suffixes, each
// also a node y' with a child character c: (link(y), c), (link(link(y)),
// c) and so on to (root, c).  The automaton's tree is that of the reversed
// strings: the parent of (y, c) is (link(y), c), its edge character y's
// first; the failure state of (y, c) is its longest proper prefix among
// them, the deepest (p, e) on the path above y with p a node and e the
// first character of the edge below it.  Everything is found from the tree
// in time linear in the number of states, without spelling a string.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "model_format.h"
#include "tree_corpus.h"

VOK_NS_BEGIN

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// The states, by key (node number and character), in a table of open
// addressing; each gets a number in order of insertion.
class state_set {
 public:
  uint32_t find(uint32_t node, unsigned char c) const {
    if (keys_.empty()) return kNone;
    const uint64_t key = key_of(node, c);
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      if (keys_[i] == kEmpty) return kNone;
      if (keys_[i] == key) return ids_[i];
    }
  }
  // Inserts (node, c); false when it was there already.
  bool insert(uint32_t node, unsigned char c, uint32_t id) {
    if (2 * (count_ + 1) > keys_.size()) grow();
    const uint64_t key = key_of(node, c);
    size_t i = home(key);
    for (; keys_[i] != kEmpty; i = (i + 1) & mask_)
      if (keys_[i] == key) return false;
    keys_[i] = key;
    ids_[i] = id;
    ++count_;
    return true;
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static uint64_t key_of(uint32_t node, unsigned char c) { return uint64_t{node} << 8 | c; }
  size_t home(uint64_t key) const { return (key * 0x9e3779b97f4a7c15u >> 20) & mask_; }
  void grow() {
    std::vector<uint64_t> keys = std::move(keys_);
    std::vector<uint32_t> ids = std::move(ids_);
    const size_t size = keys.empty() ? 1024 : 2 * keys.size();
    keys_.assign(size, kEmpty);
    ids_.assign(size, 0);
    mask_ = size - 1;
    count_ = 0;
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] != kEmpty) insert(static_cast<uint32_t>(keys[i] >> 8), keys[i] & 0xff, ids[i]);
  }
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> ids_;
  size_t mask_ = 0, count_ = 0;
};

// A state before the breadth-first numbering: its node and character.
struct raw_state {
  stree_ref node;
  unsigned char c;
};

struct builder {
  const vok_tree_corpus* c;
  suffix_tree* tree;
  state_set set;
  std::vector<raw_state> states;   // by number of insertion; 0 is the root
  // By internal rank: the first character of the node's path label, and
  // its deepest (p, e) above it that is a state (kNone: none).
  std::vector<unsigned char> first_char;
  std::vector<uint32_t> above;
  std::vector<uint32_t> pattern;   // state of each seen feature, by column
  std::vector<stree_ref> feature;  // each seen feature, by column

  uint32_t rank(stree_ref x) const { return vok_internal_rank(c->sel.chains, int_stree_id(x)); }

  // (y, c) and its suffixes, up to the first already there.
  void add_suffixes(stree_ref y, unsigned char ch) {
    for (;;) {
      const uint32_t id = static_cast<uint32_t>(states.size());
      if (!set.insert(int_stree_id(y), ch, id)) return;
      states.push_back(raw_state{y, ch});
      if (y == tree->root) return;
      y = int_stree_node(y)->suffix_link;
    }
  }
};

// The preorder walk: the seen features in ascending number (their columns)
// and their states; each internal node's first character.
struct walk_state {
  builder* b;
  std::vector<stree_ref> path;  // the internal records entered, root first
};

void enter(suffix_tree* tree, stree_ref x, void* data) {
  auto* w = static_cast<walk_state*>(data);
  builder& b = *w->b;
  const uint32_t id = int_stree_id(x);
  if (x != tree->root && vok_in_set(b.c->sel.seen.bits, id)) {
    const stree_ref parent = w->path.back();
    const unsigned char ch = static_cast<unsigned char>(*int_stree_edge_string(tree, x));
    b.add_suffixes(parent, ch);
    b.pattern.push_back(b.set.find(int_stree_id(parent), ch));
    b.feature.push_back(x);
  }
  if (int_stree_isaleaf(tree, x)) return;
  b.first_char[b.rank(x)] = x == tree->root ? 0
                            : w->path.size() == 1
                                ? static_cast<unsigned char>(*int_stree_edge_string(tree, x))
                                : b.first_char[b.rank(w->path[1])];
  w->path.push_back(x);
}

void leave(suffix_tree* tree, stree_ref x, void* data) {
  if (!int_stree_isaleaf(tree, x)) static_cast<walk_state*>(data)->path.pop_back();
}

// Each internal node's deepest (p, e) above it that is a state, in a
// second preorder walk, now that the states are known.
struct above_walk {
  builder* b;
  std::vector<stree_ref> path;
};

void enter_above(suffix_tree* tree, stree_ref x, void* data) {
  if (int_stree_isaleaf(tree, x)) return;
  auto* w = static_cast<above_walk*>(data);
  builder& b = *w->b;
  uint32_t deepest = kNone;
  if (x != tree->root) {
    const stree_ref p = w->path.back();
    const unsigned char e = static_cast<unsigned char>(*int_stree_edge_string(tree, x));
    deepest = b.set.find(int_stree_id(p), e);
    if (deepest == kNone) deepest = b.above[b.rank(p)];
  }
  b.above[b.rank(x)] = deepest;
  w->path.push_back(x);
}

void leave_above(suffix_tree* tree, stree_ref x, void* data) {
  if (!int_stree_isaleaf(tree, x)) static_cast<above_walk*>(data)->path.pop_back();
}

// Numbers the states breadth first (by parent, then edge character) and
// fills the automaton.
void number_states(builder& b, vok_automaton* a) {
  suffix_tree* tree = b.tree;
  const size_t n = b.states.size();
  // Parent and edge character of each state (0 is the root).
  std::vector<uint32_t> parent(n, 0);
  std::vector<unsigned char> edge(n, 0);
  for (size_t s = 1; s < n; ++s) {
    const raw_state& r = b.states[s];
    if (r.node == tree->root) {
      edge[s] = r.c;
    } else {
      edge[s] = b.first_char[b.rank(r.node)];
      const stree_ref link = int_stree_node(r.node)->suffix_link;
      parent[s] = link == tree->root ? b.set.find(0, r.c) : b.set.find(int_stree_id(link), r.c);
    }
  }
  // The root-level states hang below the trie's root: the state (root, c)
  // is not the root itself, whose string is empty.
  for (size_t s = 1; s < n; ++s)
    if (b.states[s].node == tree->root) parent[s] = 0;
  // Children lists, then breadth first.
  std::vector<uint32_t> first(n + 1, 0), kids(n > 0 ? n - 1 : 0);
  for (size_t s = 1; s < n; ++s) ++first[parent[s] + 1];
  for (size_t s = 0; s < n; ++s) first[s + 1] += first[s];
  {
    std::vector<uint32_t> at(first.begin(), first.end() - 1);
    for (size_t s = 1; s < n; ++s) kids[at[parent[s]]++] = static_cast<uint32_t>(s);
  }
  std::vector<uint32_t> order, number(n, 0);
  order.reserve(n);
  order.push_back(0);
  for (size_t k = 0; k < order.size(); ++k) {
    const uint32_t s = order[k];
    std::sort(kids.begin() + first[s], kids.begin() + first[s + 1],
              [&](uint32_t x, uint32_t y) { return edge[x] < edge[y]; });
    for (uint32_t i = first[s]; i < first[s + 1]; ++i) {
      number[kids[i]] = static_cast<uint32_t>(order.size());
      order.push_back(kids[i]);
    }
  }
  a->parent.resize(n);
  a->chars.resize(n);
  a->fail.resize(n);
  a->column_of.assign(n, 0);
  for (size_t k = 0; k < n; ++k) {
    const uint32_t s = order[k];
    a->parent[k] = number[parent[s]];
    a->chars[k] = edge[s];
    const raw_state& r = b.states[s];
    uint32_t f = 0;  // the root, and the failure of every root-level state
    if (s != 0 && r.node != tree->root) {
      const uint32_t deepest = b.above[b.rank(r.node)];
      f = deepest == kNone ? 0 : number[deepest];
    }
    a->fail[k] = f;
  }
  for (size_t col = 0; col < b.pattern.size(); ++col)
    a->column_of[number[b.pattern[col]]] = static_cast<uint32_t>(col + 1);
}

}  // namespace

vok_status vok_tree_automaton(const vok_tree_corpus* c, vok_automaton* a) {
  if (c->stage != VOK_SELECTED || !(c->reads & VOK_READ_MODEL)) return VOK_MISUSE;
  try {
    builder b{c, c->tree, {}, {}, {}, {}, {}, {}};
    b.first_char.assign(c->sel.internal_records, 0);
    b.states.push_back(raw_state{STREE_NONE, 0});  // the root: the empty string
    walk_state w{&b, {}};
    stree_traverse(c->tree, enter, leave, &w);
    b.above.assign(c->sel.internal_records, kNone);
    above_walk aw{&b, {}};
    stree_traverse(c->tree, enter_above, leave_above, &aw);
    number_states(b, a);
    a->settings = c->settings;
    a->number_bound = static_cast<uint64_t>(c->tree->num_nodes);
    a->numbers.clear();
    a->name_lengths.clear();
    a->name_bytes.clear();
    for (stree_ref f : b.feature) {
      a->numbers.push_back(int_stree_id(f));
      // The name adds the rest of the feature's edge to s_f.
      const int32_t rest = int_stree_edge_length(c->tree, f) - 1;
      a->name_lengths.push_back(static_cast<uint32_t>(rest));
      a->name_bytes.append(int_stree_edge_string(c->tree, f) + 1, static_cast<size_t>(rest));
    }
    return VOK_OK;
  } catch (const std::bad_alloc&) {
    return VOK_NO_MEMORY;
  }
}

VOK_NS_END
