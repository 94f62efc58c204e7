// The automaton of a fitted model (fitted_model.h), from a corpus of one
// tree layout selected for a model.
//
// The model's strings are s_f = (y, c) for every seen feature f, y its
// parent and c the first character of its edge, and their suffixes, each
// also a node y' with a child character c: (link(y), c), (link(link(y)),
// c) and so on to (root, c).  The automaton's tree is that of the reversed
// strings: the parent of (y, c) is (link(y), c), its edge character y's
// first; the failure state of (y, c) is its longest proper prefix among
// them, the deepest (p, e) on the path above y with p a node and e the
// first character of the edge below it.  Everything comes from the
// selection's tables of the internal nodes (their references, parents and
// first characters, vok_nodes), in time linear in the number of states,
// without a walk over the tree or spelling a string.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "big_vector.h"
#include "model_format.h"
#include "tree_corpus.h"

VOK_NS_BEGIN

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// A state's key: its node's rank among the internal records and its
// character.
inline uint64_t key_of(uint32_t node, unsigned char c) { return uint64_t{node} << 8 | c; }

// The states, in a table of open addressing whose entries hold the key and
// the number together (one read finds both); each state gets a number in
// order of insertion.  Key 0, the root with a NUL, is no state (a NUL ends
// every document), so a slot of zeros is empty and a new table needs no
// writing: its pages come from the system cleared.
class state_set {
 public:
  state_set() = default;
  state_set(const state_set&) = delete;
  state_set& operator=(const state_set&) = delete;
  ~state_set() { std::free(slots_); }
  // Gives the table back; the set is empty after.
  void clear() {
    std::free(slots_);
    slots_ = nullptr;
    size_ = mask_ = count_ = 0;
  }

  // The number of the key, inserting it first when it is not there; *added
  // tells which.
  uint32_t insert(uint64_t key, bool* added) {
    if (10 * (count_ + 1) > 7 * size_) grow(2 * size_);
    size_t i = home(key);
    for (; slots_[i].key != 0; i = (i + 1) & mask_)
      if (slots_[i].key == key) {
        *added = false;
        return slots_[i].id;
      }
    slots_[i] = slot{key, static_cast<uint32_t>(count_)};
    *added = true;
    return static_cast<uint32_t>(count_++);
  }
  uint32_t find(uint64_t key) const {
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == 0) return kNone;
      if (slots_[i].key == key) return slots_[i].id;
    }
  }
  size_t size() const { return count_; }
  // Asks for the key's first slot, before insert or find reads it.
  void prefetch(uint64_t key) const { __builtin_prefetch(&slots_[home(key)]); }
  // Room for n keys without growing (at most seven tenths full).
  void reserve(size_t n) {
    size_t size = size_t{1} << 16;
    while (7 * size < 10 * n) size *= 2;
    if (size > size_) grow(size);
  }

 private:
  struct slot {
    uint64_t key;
    uint32_t id;
  };
  size_t home(uint64_t key) const { return (key * 0x9e3779b97f4a7c15u >> 16) & mask_; }
  void grow(size_t size) {
    if (size < (size_t{1} << 16)) size = size_t{1} << 16;
    auto* slots = static_cast<slot*>(std::calloc(size, sizeof(slot)));
    if (!slots) throw std::bad_alloc();
    vok_offer_huge_pages(slots, size * sizeof(slot));
    const size_t mask = size - 1;
    for (size_t k = 0; k < size_; ++k) {
      if (slots_[k].key == 0) continue;
      size_t i = (slots_[k].key * 0x9e3779b97f4a7c15u >> 16) & mask;
      while (slots[i].key != 0) i = (i + 1) & mask;
      slots[i] = slots_[k];
    }
    std::free(slots_);
    slots_ = slots;
    size_ = size;
    mask_ = mask;
  }
  slot* slots_ = nullptr;
  size_t size_ = 0, mask_ = 0, count_ = 0;
};

// What is known of a state when it is made: its node (rank), the number of
// its parent in the automaton's tree, its edge character.
struct raw_state {
  uint32_t node;
  uint32_t parent;
  unsigned char edge;
};

struct builder {
  const vok_tree_corpus* c;
  const vok_nodes& nodes;
  state_set set;
  vok_big_vector<raw_state> states;  // by number of insertion
  vok_big_vector<uint32_t> pattern;  // state of each seen feature, by column
};

// The suffixes of the seen features' strings, added as chains: from
// (y, ch), y the feature's parent and ch its edge's first character, along
// the suffix links to (root, ch) or to the first state already there, each
// state's parent being the next.  A chain's steps depend on each other and
// each reads memory unrelated to the last (a node, its link's record, the
// table), so kLanes chains go at once, each asking for what its next step
// reads while the others take theirs.
constexpr size_t kLanes = 16;

class chain_walker {
 public:
  explicit chain_walker(builder* b) : b_(*b) {}

  // Starts the chain of the feature of column `column`; moves the others
  // on while every lane is busy.
  void start(uint32_t column, uint32_t y, unsigned char ch) {
    while (busy_ == kLanes) turn();
    for (lane& l : lanes_)
      if (l.stage == kIdle) {
        l = lane{column, y, ch, kNone, kFetchNode};
        ++busy_;
        return;
      }
  }
  void finish() {
    while (busy_ > 0) turn();
  }

 private:
  // A step in three turns: ask for the node and the state's slot; ask for
  // the node's link's record; add the state and move to the link.
  enum turn_kind : unsigned char { kIdle, kFetchNode, kFetchLink, kAdd };
  struct lane {
    uint32_t column;  // of the feature whose chain this is
    uint32_t y;       // the node of the next state
    unsigned char ch;
    uint32_t last;    // the state added before, whose parent the next is
    turn_kind stage;
  };

  void advance(lane& l) {
    switch (l.stage) {
      case kFetchNode:
        __builtin_prefetch(&b_.nodes.at[l.y]);
        b_.set.prefetch(key_of(l.y, l.ch));
        l.stage = kFetchLink;
        return;
      case kFetchLink:
        if (l.y != 0) __builtin_prefetch(int_stree_words(b_.nodes.at[l.y].link));
        l.stage = kAdd;
        return;
      case kAdd:
        l.stage = add(l) ? kFetchNode : kIdle;
        if (l.stage == kIdle) --busy_;
        return;
      case kIdle:
        return;
    }
  }

  // Adds the lane's state; true while the chain goes on.
  bool add(lane& l) {
    const vok_node& node = b_.nodes.at[l.y];
    bool added;
    const uint32_t s = b_.set.insert(key_of(l.y, l.ch), &added);
    if (l.last == kNone) b_.pattern[l.column] = s;
    else b_.states[l.last].parent = s;
    if (!added) return false;
    b_.states.push_back(raw_state{l.y, kNone, l.y == 0 ? l.ch : node.first});
    if (l.y == 0) return false;  // (root, ch) hangs below the root
    l.last = s;
    l.y = vok_internal_rank(b_.c->sel.chains, int_stree_id(node.link));
    return true;
  }

  void turn() {
    for (lane& l : lanes_) advance(l);
  }

  builder& b_;
  lane lanes_[kLanes] = {};
  size_t busy_ = 0;
};

// For every internal node y, by rank, the deepest state (p, e) on the
// path above it: its parent p with the first character e of its edge, or
// failing that the parent's.  Ranks are in preorder, so a parent comes
// before its children; the table's slots are asked for ahead.
vok_big_vector<uint32_t> states_above(const builder& b) {
  const vok_nodes& nodes = b.nodes;
  const size_t n = b.c->sel.internal_records;
  vok_big_vector<uint32_t> above(n, kNone);
  constexpr size_t kAhead = 16;
  for (size_t r = 1; r < n; ++r) {
    if (r + kAhead < n) b.set.prefetch(key_of(nodes.at[r + kAhead].parent, nodes.at[r + kAhead].code));
    const vok_node& x = nodes.at[r];
    const uint32_t s = b.set.find(key_of(x.parent, x.code));
    above[r] = s != kNone ? s : above[x.parent];
  }
  return above;
}

// Numbers the states breadth first (by parent, then edge character) and
// fills the automaton; above is states_above's.
void number_states(const builder& b, const vok_big_vector<uint32_t>& above, vok_automaton* a) {
  const size_t n = b.states.size() + 1;  // the root comes first, number 0
  auto parent_of = [&](size_t s) { return s == 0 || b.states[s - 1].parent == kNone ? 0 : b.states[s - 1].parent + 1; };
  auto edge_of = [&](size_t s) { return s == 0 ? 0 : b.states[s - 1].edge; };
  // Children lists, each child with its edge character above its number
  // so that a list sorts without reading elsewhere; then breadth first.
  vok_big_vector<uint32_t> first(n + 1, 0);
  vok_big_vector<uint64_t> kids(n - 1);
  for (size_t s = 1; s < n; ++s) ++first[parent_of(s) + 1];
  for (size_t s = 0; s < n; ++s) first[s + 1] += first[s];
  {
    vok_big_vector<uint32_t> at(first.begin(), first.end() - 1);
    for (size_t s = 1; s < n; ++s) kids[at[parent_of(s)]++] = static_cast<uint64_t>(edge_of(s)) << 32 | s;
  }
  vok_big_vector<uint32_t> order, number(n, 0);
  order.reserve(n);
  order.push_back(0);
  for (size_t k = 0; k < order.size(); ++k) {
    const uint32_t s = order[k];
    std::sort(kids.begin() + first[s], kids.begin() + first[s + 1]);
    for (uint32_t i = first[s]; i < first[s + 1]; ++i) {
      const uint32_t kid = static_cast<uint32_t>(kids[i]);
      number[kid] = static_cast<uint32_t>(order.size());
      order.push_back(kid);
    }
  }
  first = vok_big_vector<uint32_t>();
  kids = vok_big_vector<uint64_t>();
  a->parent.resize(n);
  a->chars.resize(n);
  a->fail.resize(n);
  a->column_of.assign(n, 0);
  for (size_t k = 0; k < n; ++k) {
    const uint32_t s = order[k];
    a->parent[k] = number[parent_of(s)];
    a->chars[k] = static_cast<uint8_t>(edge_of(s));
    uint32_t f = 0;  // the root, and the failure of every state (root, c)
    if (s != 0 && b.states[s - 1].node != 0) {
      const uint32_t deepest = above[b.states[s - 1].node];
      f = deepest == kNone ? 0 : number[deepest + 1];
    }
    a->fail[k] = f;
  }
  for (size_t col = 0; col < b.pattern.size(); ++col)
    a->column_of[number[b.pattern[col] + 1]] = static_cast<uint32_t>(col + 1);
}

}  // namespace

vok_status vok_tree_automaton(const vok_tree_corpus* c, vok_automaton* a) {
  if (c->stage != VOK_SELECTED || !(c->reads & VOK_READ_MODEL)) return VOK_MISUSE;
  try {
    const vok_selection& sel = c->sel;
    builder b{c, sel.nodes, {}, {}, {}};
    // About two states a seen feature.
    b.set.reserve(2 * sel.seen_count + 1);
    b.states.reserve(2 * sel.seen_count + 1);
    chain_walker chains(&b);
    a->settings = c->settings;
    a->number_bound = static_cast<uint64_t>(c->tree->num_nodes);
    a->numbers.clear();
    a->name_lengths.clear();
    a->name_bytes.clear();
    // The seen features in ascending number: their columns.
    const size_t words = vok_set_words(static_cast<size_t>(c->tree->num_nodes));
    for (size_t w = 0; w < words; ++w)
      for (uint64_t bits = sel.seen.bits[w]; bits != 0; bits &= bits - 1) {
        const uint32_t f = static_cast<uint32_t>(w << VOK_SET_SHIFT |
                                                 static_cast<unsigned>(__builtin_ctzll(bits)));
        const vok_node& node = sel.nodes.at[vok_internal_rank(sel.chains, f)];
        const stree_ref ref = node.ref;
        b.pattern.push_back(kNone);
        chains.start(static_cast<uint32_t>(b.pattern.size() - 1), node.parent, node.code);
        a->numbers.push_back(f);
        // The name adds the rest of the feature's edge to s_f; with utf8,
        // up to the last character boundary, which the edge and at most
        // the three bytes of the path label before it decide.
        const int32_t edge = int_stree_edge_length(c->tree, ref);
        int32_t rest = edge - 1;
        if (c->settings.utf8 && edge < 4) {
          int32_t before = 0;
          for (uint32_t r = node.parent; r != 0 && before < 3; r = sel.nodes.at[r].parent)
            before += int_stree_edge_length(c->tree, sel.nodes.at[r].ref);
          before = before < 3 ? before : 3;
          rest = static_cast<int32_t>(vok_label_whole(int_stree_edge_string(c->tree, ref) + edge,
                                                      before + edge, before + 1)) - before - 1;
        }
        a->name_lengths.push_back(static_cast<uint32_t>(rest));
        a->name_bytes.append(int_stree_edge_string(c->tree, ref) + 1, static_cast<size_t>(rest));
      }
    chains.finish();
    // The table of states is the largest; it goes before the numbering.
    const vok_big_vector<uint32_t> above = states_above(b);
    b.set.clear();
    number_states(b, above, a);
    return VOK_OK;
  } catch (const std::bad_alloc&) {
    return VOK_NO_MEMORY;
  }
}

VOK_NS_END
