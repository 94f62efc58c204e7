// libFuzzer target for the suffix tree.  Each input is a short history of
// one tree: documents are inserted (some with a record request made to
// fail), stored documents are removed again, and after every step the whole
// tree is checked against the collection it should hold.
//
// Input layout
//   byte 0      tree settings
//                 bits 0..2  document alphabet: 0 raw bytes, k > 0 maps
//                            every byte below 0x80 onto k letters (bytes
//                            from 0x80 up are kept, and must be refused)
//                 bit 3      the letters are the lowest and highest codes
//                            (0, 127, 1, 126, ...) instead of 'a', 'b', ...
//                 bits 4..5  alphabet size given to the tree: 128, 128,
//                            100, 64 (codes at or above it are refused)
//                 bit 6      copy_strings off (the tree keeps our buffers)
//                 bit 7      the child index serves every node a lookup
//                            walks past one sibling of (else the default)
//   the rest    steps separated by '\n' (at most 64): a control byte, then
//               the document's bytes (at most 256 are used)
// Control byte of a step
//   bits 0..1   0, 1: plain insertion; 2: the (1 + param)-th record request
//               of the insertion fails; 3: the failure falls param/16 of the
//               way through the insertion's expected requests
//   bits 2..5   param (0..15)
//   bit 6       the document is a stored document followed by the step's
//               bytes (makes equal strings, prefixes and shared suffixes)
//   bit 7       after the insertion a stored document is removed
//
// Every fault found is reported on stderr and ends the run with abort().
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "stree_internal.h"

// A named namespace, so that tests can compile both targets together.
namespace stree_fuzz {

constexpr int kMaxSteps = 64;
constexpr size_t kMaxChunk = 256;
constexpr size_t kMaxDoc = 320;

[[noreturn]] void fail(const char* what, long a = -1, long b = -1) {
  std::fprintf(stderr, "stree_fuzz: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

#define CHECK(cond, ...) \
  ((cond) ? (void)0 : fail("check failed: " #cond, ##__VA_ARGS__))

// One document of the history.  Texts are never changed once made, and the
// vector is reserved up front, so the tree may point into them when it does
// not copy its strings.
struct doc {
  std::string text;
  int32_t id = 0;
  int32_t slot = -1;
  bool stored = false;
};

struct model {
  suffix_tree* tree = nullptr;
  std::vector<doc> docs;
  int alphabet_size = 128;
  bool failed_before = false;  // a rolled-back insertion left its traces
  int32_t by_slot[STREE_MAX_STRINGS];  // index in docs, or -1
};

// Where the path label of an internal node (or the root) can be read.
struct node_info {
  int32_t depth;      // path-label length
  const char* label;  // its first character (nullptr for the root)
};
struct leaf_info {
  int32_t slot;
  int32_t start;
};

struct walk_state {
  model* m;
  int32_t depth = 0;
  std::vector<std::vector<char>> seen;  // per slot, per suffix start
  std::unordered_map<stree_ref, node_info> nodes;
  std::unordered_map<stree_ref, leaf_info> leaves;
  std::vector<stree_ref> preorder;
};

const doc* stored_doc(const model& m, int32_t slot) {
  if (slot < 0 || slot >= STREE_MAX_STRINGS || m.by_slot[slot] < 0)
    return nullptr;
  return &m.docs[m.by_slot[slot]];
}

void mark_suffix(walk_state& w, int32_t slot, int32_t start) {
  const doc* d = stored_doc(*w.m, slot);
  CHECK(d != nullptr, slot, start);  // a suffix of a string not stored
  CHECK(start >= 0 && start < static_cast<int32_t>(d->text.size()), slot,
        start);
  char& s = w.seen[slot][start];
  CHECK(s == 0, slot, start);  // the suffix stands at two places
  s = 1;
}

void enter(suffix_tree* tree, stree_ref r, void* data) {
  auto& w = *static_cast<walk_state*>(data);
  w.preorder.push_back(r);
  if (r == tree->root) {
    w.nodes[r] = {0, nullptr};
    return;
  }
  if (int_stree_isaleaf(tree, r)) {
    uint32_t packed = int_stree_leaf(r)->strpos;
    int32_t slot = stree_pos_strid(packed);
    int32_t start = stree_pos_offset(packed) - w.depth;
    mark_suffix(w, slot, start);
    w.leaves[r] = {slot, start};
    return;
  }
  const stree_node* n = int_stree_node(r);
  w.depth += n->edgelen;
  int32_t off = stree_pos_offset(n->edgestr) + n->edgelen - w.depth;
  CHECK(off >= 0, r, off);
  const char* label = tree->strings[stree_pos_strid(n->edgestr)] + off;
  w.nodes[r] = {w.depth, label};
  if (!int_stree_has_endrecs(r)) return;
  for (stree_ref e = n->children; e != STREE_NONE;
       e = int_stree_endrec(e)->next) {
    uint32_t packed = int_stree_endrec(e)->strpos;
    int32_t slot = stree_pos_strid(packed);
    int32_t start = stree_pos_offset(packed);
    mark_suffix(w, slot, start);
    const doc* d = stored_doc(*w.m, slot);
    // The suffix ends exactly here and spells the node's path label.
    CHECK(start + w.depth == static_cast<int32_t>(d->text.size()), slot,
          start);
    CHECK(std::memcmp(d->text.data() + start, label, w.depth) == 0, slot,
          start);
  }
}

void leave(suffix_tree* tree, stree_ref r, void* data) {
  auto& w = *static_cast<walk_state*>(data);
  if (r != tree->root && !int_stree_isaleaf(tree, r))
    w.depth -= int_stree_node(r)->edgelen;
}

// The record `r` is the locus of suffix `start` of the string in `slot`.
void check_locus(const walk_state& w, stree_ref r, int32_t slot,
                 int32_t start) {
  const doc* d = stored_doc(*w.m, slot);
  int32_t want = static_cast<int32_t>(d->text.size()) - start;
  auto leaf = w.leaves.find(r);
  if (leaf != w.leaves.end()) {
    CHECK(leaf->second.slot == slot && leaf->second.start == start, slot,
          start);
    return;
  }
  auto node = w.nodes.find(r);
  CHECK(node != w.nodes.end(), slot, start);  // not a record of the tree
  CHECK(node->second.depth == want, slot, start);
  CHECK(want == 0 ||
            std::memcmp(node->second.label, d->text.data() + start, want) == 0,
        slot, start);
}

// The string table agrees with the collection.
void check_table(const model& m) {
  suffix_tree* t = m.tree;
  int32_t lowest_free = STREE_MAX_STRINGS;
  int32_t limit = static_cast<int32_t>(m.docs.size()) + 2;
  for (int32_t slot = 0; slot < limit && slot < STREE_MAX_STRINGS; ++slot) {
    const doc* d = stored_doc(m, slot);
    if (!d) {
      CHECK(t->strings[slot] == nullptr, slot);
      if (lowest_free == STREE_MAX_STRINGS) lowest_free = slot;
      continue;
    }
    CHECK(t->strings[slot] != nullptr, slot);
    CHECK(t->lengths[slot] == static_cast<int32_t>(d->text.size()), slot);
    CHECK(t->ids[slot] == d->id, slot);
    CHECK(std::memcmp(t->strings[slot], d->text.data(), d->text.size()) == 0,
          slot);
  }
  CHECK(t->next_free == lowest_free, t->next_free, lowest_free);
}

// Checks the whole tree against the collection: the module's own checker,
// every stored suffix exactly once at a record spelling it, no suffix of
// anything else, sound suffix links, leaf suffix links, preorder numbers.
void verify(model& m) {
  suffix_tree* t = m.tree;
  if (const char* fault = stree_check(t, 1)) {
    std::fprintf(stderr, "stree_fuzz: stree_check: %s\n", fault);
    std::abort();
  }
  check_table(m);
  walk_state w;
  w.m = &m;
  w.seen.resize(m.docs.size() + 2);
  for (const doc& d : m.docs)
    if (d.stored) w.seen[d.slot].assign(d.text.size(), 0);
  stree_traverse(t, enter, leave, &w);
  CHECK(w.depth == 0, w.depth);
  for (const doc& d : m.docs) {
    if (!d.stored) continue;
    for (size_t k = 0; k < d.text.size(); ++k)
      CHECK(w.seen[d.slot][k] == 1, d.slot, static_cast<long>(k));  // missing
  }
  // Suffix links of internal nodes: a live node spelling the label without
  // its first character.  Only a node left by a rolled-back insertion may
  // lack one.
  for (const auto& [r, info] : w.nodes) {
    if (r == t->root) continue;
    stree_ref link = int_stree_node(r)->suffix_link;
    if (link == STREE_NONE) {
      CHECK(m.failed_before, r);
      continue;
    }
    auto target = w.nodes.find(link);
    CHECK(target != w.nodes.end(), r, link);  // dangling or a leaf
    CHECK(target->second.depth == info.depth - 1, info.depth,
          target->second.depth);
    CHECK(info.depth == 1 || std::memcmp(info.label + 1, target->second.label,
                                         info.depth - 1) == 0,
          r, link);
  }
  // Leaf suffix links: the locus of the next suffix of the same string.
  for (const auto& [r, info] : w.leaves) {
    stree_ref next = int_stree_leaf_suffix_link(t, r);
    CHECK(next != STREE_NONE, r);
    if (info.start + 1 == static_cast<int32_t>(stored_doc(m, info.slot)->text.size()))
      CHECK(next == t->root, r, next);
    else
      check_locus(w, next, info.slot, info.start + 1);
    CHECK(int_stree_get_leafpos(t, r) == info.start, r, info.start);
  }
  // Preorder numbers, recomputed when the tree says they are stale.
  CHECK(static_cast<int32_t>(w.preorder.size()) == t->num_nodes,
        static_cast<long>(w.preorder.size()), t->num_nodes);
  for (size_t k = 0; k < w.preorder.size(); ++k)
    CHECK(stree_node_id(t, w.preorder[k]) == k, static_cast<long>(k),
          static_cast<long>(stree_node_id(t, w.preorder[k])));
}

// Every suffix of a stored document is found by matching it from the root,
// ending exactly at a leaf of it or at a node with its end record.
void match_suffixes(const model& m, const doc& d) {
  suffix_tree* t = m.tree;
  int32_t len = static_cast<int32_t>(d.text.size());
  for (int32_t k = 0; k < len; ++k) {
    stree_ref r;
    int32_t pos;
    int32_t got = stree_match(t, d.text.data() + k, len - k, &r, &pos);
    CHECK(got == len - k, d.slot, k);
    CHECK(pos == int_stree_edge_length(t, r), d.slot, k);
    if (int_stree_isaleaf(t, r)) {
      CHECK(stree_pos_strid(int_stree_leaf(r)->strpos) == d.slot, d.slot, k);
      CHECK(int_stree_get_leafpos(t, r) == k, d.slot, k);
      continue;
    }
    bool found = false;
    if (int_stree_has_endrecs(r))
      for (stree_ref e = int_stree_node(r)->children; e != STREE_NONE;
           e = int_stree_endrec(e)->next)
        found = found || int_stree_endrec(e)->strpos == stree_pack_pos(d.slot, k);
    CHECK(found, d.slot, k);
  }
}

int stored_count(const model& m) {
  int n = 0;
  for (const doc& d : m.docs) n += d.stored;
  return n;
}

doc* nth_stored(model& m, int n) {
  for (doc& d : m.docs)
    if (d.stored && n-- == 0) return &d;
  return nullptr;
}

// Maps raw chunk bytes onto the document alphabet of this input.
std::string make_text(const uint8_t* p, size_t n, int letters, bool ends) {
  std::string s;
  for (size_t i = 0; i < n && i < kMaxChunk; ++i) {
    uint8_t b = p[i];
    if (letters > 0 && b < 0x80) {
      int k = b % letters;
      b = ends ? static_cast<uint8_t>(k % 2 == 0 ? k / 2 : 127 - k / 2)
               : static_cast<uint8_t>('a' + k);
    }
    s.push_back(static_cast<char>(b));
  }
  return s;
}

bool refused(const std::string& text, int alphabet_size) {
  for (unsigned char c : text)
    if (c >= 0x80 || c >= alphabet_size) return true;
  return false;
}

void insert_step(model& m, uint8_t control, std::string text, int step) {
  suffix_tree* t = m.tree;
  int mode = control & 3;
  int param = (control >> 2) & 15;
  if ((control & 0x40) && stored_count(m) > 0) {
    text = nth_stored(m, param % stored_count(m))->text + text;
    if (text.size() > kMaxDoc) text.resize(kMaxDoc);
  }
  const bool bad = refused(text, m.alphabet_size);
  const int32_t len = static_cast<int32_t>(text.size());
  long fail_at = 0;
  if (mode == 2) fail_at = 1 + param;
  if (mode == 3) fail_at = 1 + param * (2L * len + 2) / 16;

  m.docs.push_back(doc());
  doc& d = m.docs.back();
  d.text = std::move(text);
  d.id = step;
  const int32_t slot = t->next_free;
  const int32_t nodes_before = t->num_nodes;
  const long requests_before = stree_pool_requests();
  stree_pool_fail_at(fail_at);
  int r = stree_add_string(t, d.text.c_str(), len, d.id);
  stree_pool_fail_at(0);
  const long used = stree_pool_requests() - requests_before;

  if (bad) {
    // Refused by the string table before anything changed.
    CHECK(r == 0, step);
    CHECK(used == 0, used);
    CHECK(t->num_nodes == nodes_before, t->num_nodes, nodes_before);
    CHECK(t->next_free == slot, t->next_free, slot);
  } else if (r == 1) {
    // Success is reported only when no request failed.
    CHECK(fail_at == 0 || used < fail_at, used, fail_at);
    d.slot = slot;
    d.stored = true;
    m.by_slot[slot] = static_cast<int32_t>(m.docs.size() - 1);
  } else {
    // Only the injected failure may make a valid string fail; the rollback
    // takes nothing from the pool.
    CHECK(r == 0, r);
    CHECK(fail_at > 0 && used == fail_at, used, fail_at);
    CHECK(t->strings[slot] == nullptr, slot);
    m.failed_before = true;
  }
  verify(m);
  if (d.stored) match_suffixes(m, d);
}

void remove_step(model& m, uint8_t control, int step) {
  int n = stored_count(m);
  if (n == 0) {
    CHECK(stree_remove_string(m.tree, -1) == 0);
    return;
  }
  doc* d = nth_stored(m, (((control >> 2) & 15) * 7 + step) % n);
  int r = stree_remove_string(m.tree, d->id);
  // Refusal is allowed by the contract, but then nothing may have changed.
  if (r == 1) {
    CHECK(m.tree->strings[d->slot] == nullptr, d->slot);
    m.by_slot[d->slot] = -1;
    d->stored = false;
  } else {
    CHECK(r == 0, r);
  }
  verify(m);
}

}  // namespace stree_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace stree_fuzz;
  if (size == 0) return 0;
  const uint8_t settings = data[0];
  static const int kSizes[4] = {128, 128, 100, 64};
  model m;
  std::fill(std::begin(m.by_slot), std::end(m.by_slot), -1);
  m.alphabet_size = kSizes[(settings >> 4) & 3];
  m.docs.reserve(kMaxSteps);
  m.tree = stree_new_tree(m.alphabet_size, (settings & 0x40) ? 0 : 1);
  CHECK(m.tree != nullptr);
  if (settings & 0x80) stree_index_set_threshold(m.tree, 1);
  verify(m);

  const int letters = settings & 7;
  const bool ends = (settings & 8) != 0;
  size_t at = 1;
  for (int step = 0; step < kMaxSteps && at < size; ++step) {
    const uint8_t* chunk = data + at;
    const void* nl = std::memchr(chunk, '\n', size - at);
    size_t n = nl ? static_cast<const uint8_t*>(nl) - chunk : size - at;
    at += n + 1;
    uint8_t control = n > 0 ? chunk[0] : 0;
    std::string text =
        n > 0 ? make_text(chunk + 1, n - 1, letters, ends) : std::string();
    insert_step(m, control, std::move(text), step);
    if (control & 0x80) remove_step(m, control, step);
  }
  for (const doc& d : m.docs)
    if (d.stored) match_suffixes(m, d);

  stree_delete_tree(m.tree);
  // Every page went with its tree.
  CHECK(stree_pool_pages_in_use() == 0, stree_pool_pages_in_use());
  return 0;
}
