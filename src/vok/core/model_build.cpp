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
#include <cstring>
#include <new>
#include <vector>

#include "model_format.h"
#include "tree_corpus.h"

VOK_NS_BEGIN

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// A state's key: its node's rank among the internal records and its
// character.
inline uint64_t key_of(uint32_t node, unsigned char c) { return uint64_t{node} << 8 | c; }
inline uint32_t node_of(uint64_t key) { return static_cast<uint32_t>(key >> 8); }
inline unsigned char char_of(uint64_t key) { return static_cast<unsigned char>(key); }

// The states, in a table of open addressing; each gets a number in order
// of insertion.
class state_set {
 public:
  uint32_t find(uint64_t key) const {
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      if (keys_[i] == kEmpty) return kNone;
      if (keys_[i] == key) return ids_[i];
    }
  }
  // Inserts the key with the next number; false when it was there.
  bool insert(uint64_t key) {
    if (2 * (count_ + 1) > keys_.size()) grow();
    size_t i = home(key);
    for (; keys_[i] != kEmpty; i = (i + 1) & mask_)
      if (keys_[i] == key) return false;
    keys_[i] = key;
    ids_[i] = static_cast<uint32_t>(count_++);
    order_.push_back(key);
    return true;
  }
  size_t size() const { return count_; }
  uint64_t key(uint32_t id) const { return order_[id]; }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  size_t home(uint64_t key) const { return (key * 0x9e3779b97f4a7c15u >> 16) & mask_; }
  void grow() {
    const size_t size = keys_.empty() ? size_t{1} << 16 : 2 * keys_.size();
    keys_.assign(size, kEmpty);
    ids_.assign(size, 0);
    mask_ = size - 1;
    for (uint32_t id = 0; id < count_; ++id) {
      size_t i = home(order_[id]);
      while (keys_[i] != kEmpty) i = (i + 1) & mask_;
      keys_[i] = order_[id];
      ids_[i] = id;
    }
  }
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> ids_;
  std::vector<uint64_t> order_;  // the keys by number
  size_t mask_ = 0, count_ = 0;
};

struct builder {
  const vok_tree_corpus* c;
  const vok_nodes& nodes;
  state_set set;
  std::vector<uint32_t> pattern;  // state of each seen feature, by column

  // The rank of the node a record's suffix link points to.
  uint32_t link_of(uint32_t node) const {
    const stree_ref link = int_stree_node(nodes.ref[node])->suffix_link;
    return vok_internal_rank(c->sel.chains, int_stree_id(link));
  }

  // (y, ch) and its suffixes, up to the first already there.
  void add_suffixes(uint32_t y, unsigned char ch) {
    while (set.insert(key_of(y, ch)) && y != 0) y = link_of(y);
  }
};

// The deepest state (p, e) above node y: its parent p and the first
// character e of its edge, or failing that the parent's, remembered by
// rank.  Climbs as far as the first node already known.
uint32_t state_above(const builder& b, std::vector<uint32_t>* above,
                     std::vector<uint32_t>* path_scratch, uint32_t y) {
  const vok_nodes& nodes = b.nodes;
  std::vector<uint32_t>& path = *path_scratch;
  path.clear();
  for (uint32_t x = y; x != 0 && (*above)[x] == kNone - 1; x = nodes.parent[x]) path.push_back(x);
  for (size_t k = path.size(); k-- > 0;) {
    const uint32_t x = path[k], p = nodes.parent[x];
    const unsigned char e = static_cast<unsigned char>(int_stree_node_code(nodes.ref[x]));
    const uint32_t s = b.set.find(key_of(p, e));
    (*above)[x] = s != kNone ? s : p == 0 ? kNone : (*above)[p];
  }
  return y == 0 ? kNone : (*above)[y];
}

// Numbers the states breadth first (by parent, then edge character) and
// fills the automaton.
void number_states(const builder& b, vok_automaton* a) {
  const size_t n = b.set.size() + 1;  // the root comes first, number 0
  std::vector<uint32_t> parent(n, 0);
  std::vector<unsigned char> edge(n, 0);
  for (uint32_t s = 1; s < n; ++s) {
    const uint64_t key = b.set.key(s - 1);
    const uint32_t y = node_of(key);
    const unsigned char ch = char_of(key);
    edge[s] = y == 0 ? ch : b.nodes.first[y];
    parent[s] = y == 0 ? 0 : 1 + b.set.find(key_of(b.link_of(y), ch));
  }
  // Children lists, then breadth first.
  std::vector<uint32_t> first(n + 1, 0), kids(n - 1);
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
  first = std::vector<uint32_t>();
  kids = std::vector<uint32_t>();
  // By rank: not yet known (kNone - 1), none (kNone) or a state.
  std::vector<uint32_t> above(b.c->sel.internal_records, kNone - 1), path;
  a->parent.resize(n);
  a->chars.resize(n);
  a->fail.resize(n);
  a->column_of.assign(n, 0);
  for (size_t k = 0; k < n; ++k) {
    const uint32_t s = order[k];
    a->parent[k] = number[parent[s]];
    a->chars[k] = edge[s];
    uint32_t f = 0;  // the root, and the failure of every state (root, c)
    if (s != 0 && node_of(b.set.key(s - 1)) != 0) {
      const uint32_t deepest = state_above(b, &above, &path, node_of(b.set.key(s - 1)));
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
    builder b{c, sel.nodes, {}, {}};
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
        const uint32_t rank = vok_internal_rank(sel.chains, f);
        const stree_ref ref = sel.nodes.ref[rank];
        const unsigned char ch = static_cast<unsigned char>(int_stree_node_code(ref));
        const uint32_t y = sel.nodes.parent[rank];
        b.add_suffixes(y, ch);
        b.pattern.push_back(b.set.find(key_of(y, ch)));
        a->numbers.push_back(f);
        // The name adds the rest of the feature's edge to s_f.
        const int32_t rest = int_stree_edge_length(c->tree, ref) - 1;
        a->name_lengths.push_back(static_cast<uint32_t>(rest));
        a->name_bytes.append(int_stree_edge_string(c->tree, ref) + 1, static_cast<size_t>(rest));
      }
    number_states(b, a);
    return VOK_OK;
  } catch (const std::bad_alloc&) {
    return VOK_NO_MEMORY;
  }
}

VOK_NS_END
