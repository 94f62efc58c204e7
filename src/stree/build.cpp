// Building a tree in one go from the suffix array of all its strings.
//
// The suffixes are taken in suffix order.  The suffixes that share a node's
// path are neighbours in that order, so the open nodes form one path (a
// stack): each suffix hangs a leaf below, or leaves an end record on, the
// deepest open node it shares with a neighbour, and the nodes deeper than
// what it shares with the next suffix are complete and hang below their
// parents.  Children thus arrive in ascending code order, as the sibling
// lists want them, and no child lookup is needed.  The suffix links follow,
// parents before children: a node's link lies its edge's length below its
// parent's link.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>

#include "parts.h"
#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

// A stack of plain values on the heap, grown as the build's allocations
// are; push fails instead of throwing.
template <typename T>
struct value_stack {
  T* items = nullptr;
  size_t size = 0, room = 0;

  value_stack() = default;
  value_stack(const value_stack&) = delete;
  value_stack& operator=(const value_stack&) = delete;
  ~value_stack() { std::free(items); }

  bool push(const T& item) {
    if (size == room) {
      const size_t more = room ? 2 * room : 64;
      T* grown = static_cast<T*>(int_stree_build_grow(items, more, sizeof(T)));
      if (!grown) return false;
      items = grown;
      room = more;
    }
    items[size++] = item;
    return true;
  }
  T& back() { return items[size - 1]; }
  void pop() { --size; }
  // The entry pop() took off, which stays in place until the next push.
  const T& popped() const { return items[size]; }
};

// Plain values of a count fixed when made, in memory taken as the build's
// allocations are; `items` is null when it could not be had.
template <typename T>
struct build_array {
  T* items;
  size_t count = 0;

  explicit build_array(size_t n)
      : items(static_cast<T*>(int_stree_build_take(n > 0 ? n : 1, sizeof(T)))) {
    if (items)
      for (; count < n; ++count) new (&items[count]) T();
  }
  build_array(const build_array&) = delete;
  build_array& operator=(const build_array&) = delete;
  ~build_array() {
    for (size_t k = 0; k < count; ++k) items[k].~T();
    std::free(items);
  }
  T& operator[](size_t k) { return items[k]; }
};

// A suffix of the block: where it starts there, and that place as records
// keep a position.  In the wide layout that is the block offset itself (the
// strings of a tree ready to build lie at their own offsets); the narrow
// layout keeps the string and the offset in it, which the map below finds.
struct block_suffix {
  int32_t g;
  stree_pos_field at;
};
#if defined(STREE_WIDE)
constexpr bool kOffsetsKept = true;
#else
constexpr bool kOffsetsKept = false;
#endif

// The kept position `depth` characters on from `at`, in the same string.
inline stree_pos_field kept_plus(stree_pos_field at, int32_t depth) {
#if defined(STREE_WIDE)
  return stree_pos_field{at.at + static_cast<uint32_t>(depth)};
#else
  return stree_pack_pos(stree_pos_strid(at), stree_pos_offset(at) + depth);
#endif
}

// Finds the string a block position belongs to: a table gives the slot of
// the first byte of every stretch of kStretch bytes, and a short scan over
// the strings' starts the rest (strings average far more than a stretch).
// Only the narrow layout needs it (above): in the wide one the table is not
// made and the map only counts the strings.
constexpr int kStretchShift = 10;

struct string_map {
  const suffix_tree* tree;
  int32_t count;     // strings, slots 0..count-1
  int32_t* first;    // per stretch; null in the wide layout
  int64_t start(int32_t slot) const { return tree->strings[slot] - tree->block; }
  // The slot holding g, scanning on from a slot at or before it.
  int32_t slot_from(int32_t slot, int64_t g) const {
    while (slot + 1 < count && start(slot + 1) <= g) ++slot;
    return slot;
  }
  // The suffix at g.
  block_suffix suffix_at(int64_t g) const {
#if defined(STREE_WIDE)
    return block_suffix{static_cast<int32_t>(g), stree_pos_field{static_cast<uint32_t>(g)}};
#else
    const int32_t slot = slot_from(first[g >> kStretchShift], g);
    return block_suffix{static_cast<int32_t>(g),
                        stree_pack_pos(slot, static_cast<int32_t>(g - start(slot)))};
#endif
  }
  // What suffix_at(g) reads, asked of memory in two stages (both miss the
  // caches, and the second place depends on the first): the stretch's
  // first slot, and later, once that is at hand, the strings' starts.
  void fetch_stretch(int64_t g) const {
    if (!kOffsetsKept) __builtin_prefetch(first + (g >> kStretchShift));
  }
  void fetch_starts(int64_t g) const {
    if (!kOffsetsKept) __builtin_prefetch(tree->strings + first[g >> kStretchShift]);
  }
};

bool map_strings(const suffix_tree* tree, int32_t count, string_map* map) {
  const size_t stretches = (tree->block_used >> kStretchShift) + 1;
  map->tree = tree;
  map->count = count;
  map->first = nullptr;
  if (kOffsetsKept) return true;
  map->first = static_cast<int32_t*>(int_stree_build_take(stretches, sizeof(int32_t)));
  if (!map->first) return false;
  int32_t slot = 0;
  for (size_t k = 0; k < stretches; ++k) {
    slot = map->slot_from(slot, static_cast<int64_t>(k << kStretchShift));
    map->first[k] = slot;
  }
  return true;
}

// True when the tree holds no records but its root and its strings lie end
// to end in the block, in slot order, without a NUL inside (so a suffix
// ends where the block holds a NUL), and, in the wide layout, each at its
// own text offset (so a block position is the offset a record keeps).
bool ready_to_build(const suffix_tree* tree) {
  if (tree->root == STREE_NONE ||
      int_stree_first_child(tree, tree->root) != STREE_NONE)
    return false;
  size_t at = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    const char* s = tree->strings[slot];
    if ((slot < tree->next_free) != (s != nullptr)) return false;
    if (!s) continue;
    const size_t len = static_cast<size_t>(tree->lengths[slot]);
    if (s != tree->block + at || std::memchr(s, 0, len)) return false;
#if defined(STREE_WIDE)
    if (tree->bases[slot] != at) return false;
#endif
    at += len + 1;
  }
  return at == tree->block_used;
}

// Link walks do not index the nodes their lookups pass many siblings in.
// On several threads a block would change a node's header and the index's
// table while other walks read them, so the nodes with more children than
// this are indexed before they start; in the rest a lookup walks at most
// this many siblings.  A walk alone indexes nothing: its lookups go on
// along a list from where the last one stopped, so that on 25 MB of text
// the blocks that insertion's rule gives (65,000 nodes, 38 MB) saved it no
// time, and on 5 MB of random bytes the wide nodes' blocks (60 MB) saved it
// 0.1 s.  A later insertion indexes a node when it needs to.
constexpr int32_t kWideNode = 32;

// Notes a node with more than kWideNode children in `wide`, when set and
// the tree indexes at all; false when the note finds no memory.
bool note_if_wide(const suffix_tree* tree, value_stack<stree_ref>* wide, stree_ref node,
                  int32_t children) {
  return !wide || tree->index.threshold <= 0 || children <= kWideNode || wide->push(node);
}

// A node whose subtree is still being made.
struct open_node {
  int32_t depth;    // its path's length
  stree_ref node;
  stree_ref tail;   // its last child so far, or none
  block_suffix left;  // its first suffix
  int32_t children = 0;
};

struct builder {
  suffix_tree* tree;
  const string_map& map;
  stree_pool_lane* lane;        // where records come from; null: the tree's pages
  stree_count nodes;            // internal nodes and leaves, with those made here
  stree_count pushed = 0;       // internal nodes made here
  value_stack<open_node> open;  // the root at the bottom, deepest on top
  stree_ref top = STREE_NONE;   // the first child of the root made here
  bool node_limit = false;      // a record more would pass STREE_MAX_NODES
  // When set, the nodes with more than kWideNode children, which the link
  // walks on threads want indexed before they start.
  value_stack<stree_ref>* wide = nullptr;

  bool note_wide(const open_node& x) { return note_if_wide(tree, wide, x.node, x.children); }
  bool count_record() {
    if (nodes >= STREE_MAX_NODES) return !(node_limit = true);
    ++nodes;
    return true;
  }
  // The root's children are chained here and hung on it at the end, when
  // the builders of all parts of the order are done.
  void append(open_node& p, stree_ref child) {
    if (p.tail != STREE_NONE) int_stree_link(p.tail) = child;
    else if (p.node == tree->root) top = child;
    else int_stree_first_child_ref(p.node) = child;
    p.tail = child;
    ++p.children;
  }
  // A new internal node of depth `depth` whose first suffix starts at
  // `left`, not yet on the stack.  The first character of its edge, which
  // hang reads, lies at a place in the text the suffix order says nothing
  // about, its parent's depth into that suffix; its parent then is nearly
  // always the node on top now, so that place is asked of memory here.
  bool make_open(int32_t depth, const block_suffix& left, open_node* made) {
    if (!count_record()) return false;
    ++pushed;
    __builtin_prefetch(tree->block + left.g + open.back().depth);
    const stree_ref node = int_stree_new_node(tree, 0, 0, lane);
    *made = open_node{depth, node, STREE_NONE, left};
    return node != STREE_NONE;
  }
  bool push(int32_t depth, const block_suffix& left) {
    open_node made;
    return make_open(depth, left, &made) && open.push(made);
  }
  // The code of the character `depth` on from the suffix.
  int code_at(const block_suffix& suffix, int32_t depth) const {
    return int_stree_code_of(tree, tree->block[suffix.g + depth]);
  }
  // The suffix hangs below p: a leaf, or an end record when p's path is all
  // of it (the block holds its string's NUL there).
  bool place(open_node& p, const block_suffix& suffix) {
    const char c = tree->block[suffix.g + p.depth];
    if (c == 0) return int_stree_add_endrec_kept(tree, p.node, suffix.at, lane) != 0;
    if (!count_record()) return false;
    const stree_ref leaf = int_stree_new_leaf_kept(tree, kept_plus(suffix.at, p.depth),
                                                   int_stree_code_of(tree, c), lane);
    if (leaf == STREE_NONE) return false;
    append(p, leaf);
    return true;
  }
  // Ends x's child list and makes x p's next child, its edge label the part
  // of its first suffix below p.
  void hang(open_node& p, const open_node& x) {
    if (x.tail != STREE_NONE) {
      int_stree_set_last(x.tail, true);
      int_stree_link(x.tail) = x.node;
    }
    int_stree_node(x.node)->edgelen = x.depth - p.depth;
    int_stree_set_edgestr_kept(x.node, kept_plus(x.left.at, p.depth), code_at(x.left, p.depth));
    append(p, x.node);
  }
  // Completes the open nodes deeper than h; a node of depth h is opened
  // when none is, to be their parent.  The node closed is read where it
  // lies on the stack, not copied: the steps have just written its fields
  // one by one, and a copy's wide loads would wait for those stores to
  // reach the cache (a load spanning several stores is not forwarded from
  // the store buffer).  A new parent takes its slot once it has been read.
  bool close_to(int32_t h) {
    while (h < open.back().depth) {
      open.pop();
      const open_node& x = open.popped();
      open_node made;
      const bool new_parent = h > open.back().depth;
      if (new_parent && !make_open(h, x.left, &made)) return false;
      hang(new_parent ? made : open.back(), x);
      const bool noted = note_wide(x);
      if (new_parent && !open.push(made)) return false;  // x's slot: no growth
      if (!noted) return false;
    }
    return true;
  }
  // The suffix at g, which shares h characters with the next in order.  The
  // open node on top has the depth it shares with the one before.
  bool step(int64_t g, int32_t h) {
    const block_suffix suffix = map.suffix_at(g);
    if (h > open.back().depth) return push(h, suffix) && place(open.back(), suffix);
    return place(open.back(), suffix) && close_to(h);
  }
};

// The exact common prefix at rank r, reading the long ones in rank order.
struct lcp_reader {
  const int_stree_sorted& sorted;
  size_t next = 0;  // first long pair not yet passed
  int32_t at(int64_t r) {
    if (sorted.lcp[r] != STREE_LONG_LCP) return sorted.lcp[r];
    while (sorted.long_lcp[2 * next] < r) ++next;
    return sorted.long_lcp[2 * next + 1];
  }
};

// A new leaf reads the code of its edge's first character, at a place in
// the text the suffix order says nothing about: nearly always a cache miss.
// The place is known kAhead suffixes before (the suffix's start plus the
// depth it shares with a neighbour; the capped LCP bytes are near enough
// for a hint), so it is asked of memory then.
constexpr int64_t kAhead = 32;

void fetch_leaf_start(const suffix_tree* tree, const int_stree_sorted& sorted,
                      int64_t r) {
  const int32_t depth = sorted.lcp[r] > sorted.lcp[r + 1] ? sorted.lcp[r] : sorted.lcp[r + 1];
  __builtin_prefetch(tree->block + sorted.sa[r] + depth);
}

// The records grow while the suffix order is read once from the lowest rank
// up, so the order's memory below the rank at hand goes back to the system
// every kDropSteps ranks: the build's peak is then the records and the text
// rather than the records, the text and the whole order (5 bytes per
// character).  The step is small enough for a test's text to cross it many
// times and large enough for its system calls not to count.
constexpr int64_t kDropSteps = int64_t{1} << 14;

// What of the suffix order has gone back: the ranks below `rank` and the
// exact long values below `pair`.
struct dropped_order {
  int64_t rank = 0;
  size_t pair = 0;
};

// Gives back sa and lcp from the dropped rank up to `to`, ranks the steps
// below `to` have read for the last time (step r reads sa[r], lcp[r + 1]
// and, ahead, what lies above them), and the exact long values before the
// reader's next one, which it has passed for good.
void drop_ranks(const int_stree_sorted& sorted, const lcp_reader& lcp, int64_t to,
                dropped_order* done) {
  const auto ranks = static_cast<size_t>(to - done->rank);
  int_stree_drop_read_part(sorted.sa + done->rank, ranks * sizeof(int32_t));
  int_stree_drop_read_part(sorted.lcp + done->rank, ranks);
  if (lcp.next > done->pair)
    int_stree_drop_read_part(sorted.long_lcp + 2 * done->pair,
                             2 * (lcp.next - done->pair) * sizeof(int32_t));
  *done = {to, lcp.next};
}

// Where a build stands: the hook it reports to, why it stopped, and how
// far the records got.
struct build_run {
  const stree_build_hook* hook;
  stree_build_outcome outcome = STREE_BUILD_DONE;
  int64_t placed = 0;  // suffixes hung in the tree

  bool tick(const char* phase, int64_t done, int64_t total) {
    if (!hook || !hook->tick || hook->tick(hook->data, phase, done, total)) return true;
    outcome = STREE_BUILD_STOPPED;
    return false;
  }
  // The sorter's passes go through here, so that a stop is noted.
  static bool relay(void* data, const char* phase, int64_t done, int64_t total) {
    return static_cast<build_run*>(data)->tick(phase, done, total);
  }
  // A step that failed for no reason noted yet ran out of memory.
  bool fail(stree_build_outcome why = STREE_BUILD_NO_MEMORY) {
    if (outcome == STREE_BUILD_DONE) outcome = why;
    return false;
  }
};

// The hook hears from the loops that make records and links at most once
// in this many steps.
constexpr int64_t kTickSteps = int64_t{1} << 16;

// One run of the suffix order, ranks [lo, hi), that begins and ends between
// children of the root, and the records a builder of its own made of it:
// the whole subtrees of those children.
struct record_part {
  int64_t lo = 0, hi = 0;
  // The first exact long value at or above rank lo, found before any part
  // starts.  A part gives back the pages of the values it has passed, which
  // then read as zeros; the parts are taken longest first, not in rank
  // order, and a search made by one taken up after a part above it would
  // read those zeros as ranks below its own and pass its first values.
  size_t first_pair = 0;
  stree_pool_lane* lane = nullptr;  // null: the tree's own pages
  stree_count nodes = 0;            // internal nodes and leaves made
  stree_count internal = 0;         // internal nodes made
  value_stack<stree_ref>* wide = nullptr;  // where it notes nodes of many children
  value_stack<stree_ref> own_wide;         // its notes, when on a thread of its own
  stree_ref top = STREE_NONE, tail = STREE_NONE;  // its first and last child of the root
  int32_t children = 0;                           // of the root
  int64_t placed = 0;                             // suffixes hung
  bool ok = false, node_limit = false;
};

// What the parts share while they run: the suffixes hung as of each part's
// last tick, and whether every part is to end (the hook asked to stop, or a
// part failed).
struct records_progress {
  std::atomic<int64_t> placed{0};
  std::atomic<bool> quit{false};
  std::atomic<int> next{0};  // the next part a thread takes
};

// Parts per thread: a thread done with its part takes the next one, so that
// a part slower or larger than the others (one child of the root may hold a
// sixth of the text) holds the rest up less.  The threads take the parts
// longest first (in ranks), so that the last ones taken are short and the
// threads end close together.
constexpr int kPartsPerThread = 4;

// The first long LCP pair at or above rank r.
size_t first_long_pair(const int_stree_sorted& sorted, int64_t r) {
  size_t lo = 0, hi = sorted.long_count;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (sorted.long_lcp[2 * mid] < r) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// The builder's steps over the part's ranks; false when the build is to
// end (stopped, failed here or elsewhere).
bool build_run_of(const int_stree_sorted& sorted, const string_map& map, record_part& part,
                  builder& b, bool first, records_progress& progress, build_run* run) {
  lcp_reader lcp{sorted, part.first_pair};
  dropped_order dropped{part.lo, lcp.next};
  const int64_t n = static_cast<int64_t>(b.tree->block_used);
  int64_t told = part.lo, r = part.lo;
  for (; r < part.hi; ++r) {
    if ((r & (kTickSteps - 1)) == 0) {
      const int64_t done = progress.placed += r - told;
      told = r;
      if (progress.quit.load(std::memory_order_relaxed)) break;
      if (first && !run->tick("building", map.count + done, n)) break;
    }
    if (r - dropped.rank >= kDropSteps) drop_ranks(sorted, lcp, r, &dropped);
    if (r + kAhead + 1 < part.hi) {
      fetch_leaf_start(b.tree, sorted, r + kAhead);
      map.fetch_stretch(sorted.sa[r + kAhead]);
      map.fetch_starts(sorted.sa[r + kAhead / 2]);  // its stretch fetched kAhead / 2 steps ago
    }
    if (!b.step(sorted.sa[r], r + 1 < part.hi ? lcp.at(r + 1) : 0)) break;
  }
  progress.placed += r - told;
  part.placed = r - part.lo;
  return r == part.hi;
}

// Makes the records of one part.  Every kTickSteps ranks it adds what it
// has done to the progress; the calling thread tells the hook.
// What is written at every step lives on this thread's stack (the builder,
// a copy of the lane) and reaches the part when it ends.
bool build_part(suffix_tree* tree, const int_stree_sorted& sorted, const string_map& map,
                record_part& part, bool first, records_progress& progress, build_run* run) {
  struct lane_copy {
    stree_pool_lane* home;
    stree_pool_lane here;
    ~lane_copy() {
      if (home) *home = here;
    }
  } lane{part.lane, part.lane ? *part.lane : stree_pool_lane()};
  const stree_count before = part.lane ? 0 : tree->num_nodes;
  builder b{tree, map, part.lane ? &lane.here : nullptr, before, 0, {}};
  b.wide = part.wide;
  const bool done = b.open.push(open_node{0, tree->root, STREE_NONE, block_suffix{}}) &&
                    build_run_of(sorted, map, part, b, first, progress, run);
  part.nodes = b.nodes - before;
  part.internal = b.pushed;
  if (!part.lane) tree->num_nodes = b.nodes;
  part.node_limit = b.node_limit;
  if (!done) {
    progress.quit.store(true);
    return false;
  }
  const open_node& root = b.open.back();
  part.top = b.top;
  part.tail = root.tail;
  part.children = root.children;
  return true;
}

// Splits the ranks [lo, n) into at most `parts` runs about as long, each
// starting where the common prefix with the rank before is empty, at a new
// child of the root (the start nearest to an even split, before or after
// it: one child may hold a sixth of the text); fills starts[0..count] and
// returns the count.
int split_ranks(const int_stree_sorted& sorted, int64_t lo, int64_t n, int parts,
                int64_t* starts) {
  int count = 0;
  starts[0] = lo;
  for (int k = 1; k < parts; ++k) {
    const int64_t even = std::max(lo + stree_part_start(n - lo, parts, k), starts[count] + 1);
    int64_t after = even, before = even - 1;
    while (after < n && sorted.lcp[after] != 0) ++after;
    while (before > starts[count] && sorted.lcp[before] != 0) --before;
    const bool back = before > starts[count] && (after >= n || even - before < after - even);
    if (!back && after >= n) break;
    starts[++count] = back ? before : after;
  }
  starts[++count] = n;
  return count;
}

// Hangs the parts' children of the root on it, in order, and counts their
// records in the tree.  False when the notes of wide nodes find no memory.
bool join_parts(suffix_tree* tree, build_array<record_part>& parts, value_stack<stree_ref>* wide) {
  stree_ref tail = STREE_NONE;
  int32_t children = 0;
  for (size_t k = 0; k < parts.count; ++k) {
    record_part& part = parts[k];
    if (part.lane) tree->num_nodes += part.nodes;
    if (wide && part.wide != wide)
      for (size_t i = 0; i < part.own_wide.size; ++i)
        if (!wide->push(part.own_wide.items[i])) return false;
    if (part.top == STREE_NONE) continue;
    if (tail == STREE_NONE) int_stree_first_child_ref(tree->root) = part.top;
    else int_stree_link(tail) = part.top;
    tail = part.tail;
    children += part.children;
  }
  if (tail != STREE_NONE) {
    int_stree_set_last(tail, true);
    int_stree_link(tail) = tree->root;
  }
  return note_if_wide(tree, wide, tree->root, children);
}

// Makes every record, and with `wide` notes the nodes with many children.
// With `threads` above 1 the suffix order is split where the children of
// the root are, into parts of whole subtrees, which the threads take in
// turn, each made through a lane of the pool of its own, when the lanes can
// be had; the records are those one thread makes.  On threads each part counts its own records,
// and the limit is held to their sum once all are done: the build then
// fails for the limit exactly when one thread's would.
bool make_records(suffix_tree* tree, const int_stree_sorted& sorted, const string_map& map,
                  int threads, value_stack<stree_ref>* wide, build_run* run,
                  stree_built_runs* runs) {
  const int64_t n = static_cast<int64_t>(tree->block_used);
  // The phase is told as it starts: on threads only the calling thread's
  // parts tell the hook, and on a small text they may pass no tick.
  if (!run->tick("building", map.count, n)) return false;
  const uint64_t suffixes = static_cast<uint64_t>(n - map.count);
  const int wanted = threads > 1 ? std::min(threads * kPartsPerThread, STREE_MAX_BUILT_RUNS) : 1;
  build_array<int64_t> starts(static_cast<size_t>(wanted) + 1);
  build_array<stree_pool_lane> lanes(static_cast<size_t>(wanted));
  if (!starts.items || !lanes.items) return run->fail();
  int count = split_ranks(sorted, map.count, n, wanted, starts.items);
  const bool laned =
      count > 1 && int_stree_pool_open_lanes(tree, count, suffixes, suffixes);
  if (!laned) {
    starts[1] = n;
    count = 1;
  }
  build_array<record_part> parts(static_cast<size_t>(count));
  if (!parts.items) {
    if (laned) int_stree_pool_close_lanes(tree, lanes.items, count);
    return run->fail();
  }
  for (int k = 0; k < count; ++k) {
    parts[k].lo = starts[k];
    parts[k].hi = starts[k + 1];
    parts[k].first_pair = first_long_pair(sorted, starts[k]);
    parts[k].lane = laned ? &lanes[k] : nullptr;
    parts[k].wide = laned && wide ? &parts[k].own_wide : wide;
  }
  int order[STREE_MAX_BUILT_RUNS];
  std::iota(order, order + count, 0);
  std::stable_sort(order, order + count, [&](int a, int b) {
    return parts[a].hi - parts[a].lo > parts[b].hi - parts[b].lo;
  });
  records_progress progress;
  stree_run_parts(std::min(threads, count), [&](int thread) {
    for (int i; (i = progress.next++) < count && !progress.quit.load(std::memory_order_relaxed);) {
      record_part& part = parts[order[i]];
      part.ok = build_part(tree, sorted, map, part, thread == 0, progress, run);
    }
  });
  if (laned) int_stree_pool_close_lanes(tree, lanes.items, count);
  bool ok = true;
  uint64_t records = static_cast<uint64_t>(tree->num_nodes);
  for (int k = 0; k < count; ++k) {
    run->placed += parts[k].placed;
    ok &= parts[k].ok;
    if (parts[k].lane) records += static_cast<uint64_t>(parts[k].nodes);
    if (parts[k].node_limit) return run->fail(STREE_BUILD_NODE_LIMIT);
  }
  if (records > static_cast<uint64_t>(STREE_MAX_NODES)) return run->fail(STREE_BUILD_NODE_LIMIT);
  if (!ok || !join_parts(tree, parts, wide)) return run->fail();
  runs->count = count;
  for (int k = 0; k < count; ++k)
    runs->at[k] = stree_built_run{parts[k].top, static_cast<uint64_t>(parts[k].nodes),
                                  static_cast<uint64_t>(parts[k].internal)};
  return true;
}

// Where the link walk stands below one parent: the parent, its suffix link
// (kept here rather than read again from the parent's record, which the
// subtrees walked in between may have pushed out of the caches) and where
// the next first step below that link starts.
struct link_level {
  stree_ref parent;
  stree_ref link;
  stree_ref next;  // a child of link, or STREE_NONE: look the child up
};

// The first step below the parent's link, to its child with x's code.  The
// internal children of a parent come in ascending code order, and so do the
// children of its link they step to: where that link has no index block,
// its list is walked on from the sibling after the child the last step
// reached (kept while that child was at hand) instead of from its start.
// That sibling is asked of memory as soon as it is known: the walk comes to
// it only after the subtree of the node just linked.
stree_ref first_step(suffix_tree* tree, link_level& at, int code) {
  stree_ref y = at.next;
  if (y != STREE_NONE) {
    // Every child passed has a lower code than one that follows it, so it is
    // not the last and its link is its next sibling.
    while (int_stree_code(tree, y) < code) y = int_stree_link(y);
  } else {
    y = int_stree_find_code(tree, at.link, code);
    if (int_stree_is_indexed(at.link)) return y;
  }
  at.next = int_stree_is_last(y) ? STREE_NONE : int_stree_link(y);
  if (at.next != STREE_NONE) __builtin_prefetch(int_stree_words(at.next));
  return y;
}

// The node whose path is node x's less its first character: x's edge label
// below the parent's link, found by skip/count.  Below any parent but the
// root the first step's code is x's own, kept in its record, so the text is
// read only where the walk takes more than one step (a read that would miss
// the caches for nearly every node).
stree_ref link_target(suffix_tree* tree, link_level& at, stree_ref x) {
  const char* s = int_stree_edge_string(tree, x);
  int32_t len = int_stree_node(x)->edgelen;
  stree_ref y;
  if (at.parent == tree->root) {
    ++s;
    if (--len == 0) return tree->root;
    y = int_stree_find_code(tree, tree->root, int_stree_code_of(tree, *s));
  } else {
    y = first_step(tree, at, int_stree_code(tree, x));
  }
  for (;;) {
    STREE_ASSERT(y != STREE_NONE && !int_stree_isaleaf(tree, y));
    const int32_t l = int_stree_node(y)->edgelen;
    STREE_ASSERT(l <= len);
    s += l;
    len -= l;
    if (len == 0) return y;
    y = int_stree_find_code(tree, y, int_stree_code_of(tree, *s));
  }
}

// One walk of the link sweep: the subtree of one child of the root, in
// preorder.  A node's path less its first character is its link's, so two
// nodes below the same child of the root have their links in the same order
// as themselves, and each walk's links move forward through the records.
struct link_walk {
  stree_ref x = STREE_NONE;  // the next record to visit; none when done
  link_level at{};
  value_stack<link_level> above;  // the levels of the records on the path

  // Links nodes in preorder until one's link is at or past `bound` in the
  // order of making (a page's place in `places`, then the offset), or the
  // subtree is done.  False when the stack cannot grow.
  bool run(suffix_tree* tree, const uint32_t* places, int64_t bound) {
    while (x != STREE_NONE) {
      bool past = false;
      if (!int_stree_isaleaf(tree, x)) {
        const stree_ref link = link_target(tree, at, x);
        int_stree_node(x)->suffix_link = link;
        past = (int64_t{places[stree_ref_page(link)]} << STREE_REF_OFFSET_BITS |
                stree_ref_unit(link)) >= bound;
        const stree_ref child = int_stree_first_child(tree, x);
        if (child != STREE_NONE) {
          if (!above.push(at)) return false;
          at = link_level{x, link, STREE_NONE};
          x = child;
          if (past) return true;
          continue;
        }
      }
      advance();
      if (past) return true;
    }
    return true;
  }
  // To the record after x's subtree in preorder, none past the walk's top.
  void advance() {
    for (;;) {
      if (above.size == 0) {
        x = STREE_NONE;
        return;
      }
      if (!int_stree_is_last(x)) {
        x = int_stree_link(x);
        return;
      }
      x = at.parent;
      at = above.back();
      above.pop();
    }
  }
};

using walk_array = build_array<link_walk>;

// The walks' share of the threads: each walk, the longest first, goes to
// the part with the least work so far; a walk's work is taken to be the
// suffixes below its child of the root, which start with that child's
// first character.  part_of[k] is walk k's part.
void share_walks(const suffix_tree* tree, walk_array& walks, int parts, uint8_t* part_of) {
  int64_t starting[256] = {};
  for (size_t i = 0; i < tree->block_used; ++i) ++starting[static_cast<unsigned char>(tree->block[i])];
  int64_t work[256];
  size_t order[256];
  for (size_t k = 0; k < walks.count; ++k) {
    work[k] = starting[static_cast<unsigned char>(*int_stree_edge_string(tree, walks[k].x))];
    order[k] = k;
  }
  std::sort(order, order + walks.count, [&](size_t a, size_t b) { return work[a] > work[b]; });
  int64_t load[256] = {};
  for (size_t k = 0; k < walks.count; ++k) {
    const int least = static_cast<int>(std::min_element(load, load + parts) - load);
    part_of[order[k]] = static_cast<uint8_t>(least);
    load[least] += work[order[k]];
  }
}

// One part's walks taking turns, a window of `window` places in the order
// the records were made at a time: each links its nodes whose links fall in
// the window before the next one does, so the records there are read from
// memory once for all of them rather than once for each.  Part 0 runs on
// the calling thread and tells the hook; when the hook asks to stop, *stop
// is set, and every part ends at its next window.  False when a walk found
// no memory.
bool take_turns(suffix_tree* tree, walk_array& walks, const uint8_t* part_of, int part,
                const uint32_t* places, int64_t window, build_run* run, std::atomic<bool>* stop) {
  // The places reach this far; a window's bound tells how much is done.
  const int64_t end = int64_t{tree->pages.count} << STREE_REF_OFFSET_BITS;
  int64_t since_tick = 0;
  for (int64_t bound = window; !stop->load(std::memory_order_relaxed); bound += window) {
    if (part == 0 && (since_tick += window) >= kTickSteps) {
      since_tick = 0;
      if (!run->tick("linking", bound < end ? bound : end, end)) {
        stop->store(true);
        return true;
      }
    }
    bool live = false;
    for (size_t k = 0; k < walks.count; ++k) {
      if (part_of[k] != part || walks[k].x == STREE_NONE) continue;
      if (!walks[k].run(tree, places, bound)) return false;
      live |= walks[k].x != STREE_NONE;
    }
    if (!live) return true;
  }
  return true;
}

// Sets every internal node's suffix link, parents before children: one walk
// per child of the root, the walks shared among `parts` threads.  On
// several threads the `wide` nodes get their index blocks first.
bool link_nodes(suffix_tree* tree, int64_t window, int parts, const stree_ref* wide,
                size_t wide_count, build_run* run) {
  const size_t count = static_cast<size_t>(int_stree_num_children(tree, tree->root));
  STREE_ASSERT(count <= 256);  // one child per code
  walk_array walks(count);
  struct freer {
    void operator()(void* p) const { std::free(p); }
  };
  std::unique_ptr<uint32_t, freer> places(int_stree_page_places(tree, STREE_NODE_SPACE));
  std::unique_ptr<uint8_t, freer> part_of(
      static_cast<uint8_t*>(int_stree_build_take(count > 0 ? count : 1, 1)));
  if (!walks.items || !places || !part_of) return run->fail();
  parts = static_cast<int>(std::clamp<size_t>(count, 1, static_cast<size_t>(parts)));
  stree_ref top = int_stree_first_child(tree, tree->root);
  for (size_t k = 0; k < count; ++k, top = int_stree_link(top)) {
    walks[k].x = top;
    walks[k].at = link_level{tree->root, STREE_NONE, STREE_NONE};
  }
  if (parts > 1) {
    for (size_t i = 0; i < wide_count; ++i) int_stree_index_build(tree, wide[i]);
    share_walks(tree, walks, parts, part_of.get());
  } else {
    std::fill(part_of.get(), part_of.get() + count, uint8_t{0});
  }
  std::atomic<bool> stop{false};
  bool done[256];
  stree_run_parts(parts, [&](int part) {
    done[part] = take_turns(tree, walks, part_of.get(), part, places.get(), window, run, &stop);
  });
  if (stop.load()) return false;  // the hook's stop, noted by run->tick
  for (int part = 0; part < parts; ++part)
    if (!done[part]) return run->fail();
  return true;
}

// Forgets links left to be set.
void drop_pending_links(suffix_tree* tree) {
  std::free(tree->unlinked.wide);
  tree->unlinked = stree_pending_links{};
}

// Gives back every record and the index; the root goes too.
void discard_records(suffix_tree* tree) {
  drop_pending_links(tree);
  stree_index_release(tree);
  int_stree_release_pages(tree);
  tree->root = STREE_NONE;
  tree->num_nodes = 0;
}

// The memory that inserting the strings is expected to take for its records
// at the least, from a build that ran out after placing `placed` of the n
// suffixes: the records made so far, grown in proportion, or, before any
// were made, one leaf or end record per suffix.
size_t insertion_needs(const suffix_tree* tree, const build_run& run, int64_t suffixes) {
  const size_t smallest = std::min(int_stree_record_bytes(STREE_KIND_LEAF),
                                   int_stree_record_bytes(STREE_KIND_ENDREC));
  const double floor = static_cast<double>(suffixes) * static_cast<double>(smallest);
  if (run.placed == 0) return static_cast<size_t>(floor);
  const double grown = static_cast<double>(int_stree_pages_bytes(tree)) *
                       static_cast<double>(suffixes) / static_cast<double>(run.placed);
  return static_cast<size_t>(std::max(floor, grown));
}

}  // namespace

stree_build_result int_stree_build(suffix_tree* tree, const stree_build_hook* hook,
                                   int64_t window, int threads, stree_built_runs* runs,
                                   bool links) {
  stree_built_runs own_runs;
  if (!runs) runs = &own_runs;
  runs->count = 0;
  if (!ready_to_build(tree)) return {STREE_BUILD_UNFIT, 0};
  if (tree->block_used == 0) return {STREE_BUILD_DONE, 0};
  if (tree->block_used > static_cast<size_t>(STREE_MAX_SORTED)) {
    discard_records(tree);
    return {STREE_BUILD_TOO_LONG, 0};
  }
  // A failure armed for a test must hit the same request whatever the
  // threads: the build then runs on this thread alone.
  const int parts = int_stree_build_fail_armed() ? 1 : std::clamp(threads, 1, STREE_MAX_BUILT_RUNS);
  build_run run{hook};
  const stree_build_hook relay{build_run::relay, &run};
  string_map map{};
  int_stree_sorted sorted;
  value_stack<stree_ref> wide;
  const int64_t suffixes = static_cast<int64_t>(tree->block_used) - tree->next_free;
  bool ok = map_strings(tree, tree->next_free, &map) || run.fail();
  if (ok) {
    // While the suffixes are sorted, one more thread has the system back
    // the pages that the leaves and end records will fill (one per suffix,
    // so their count is known now), so that the records' threads need not
    // wait on the first touch of every page they fill.  Only with a thread
    // to spare beyond the two of the sort's inducing scans: on two cores it
    // slowed the sort by more than it saved (25 MB of documents, -j 2: sort
    // and records 2.82-2.94 s without it, 3.03-3.15 s with it).
    const bool ahead = parts > 2 && int_stree_pool_map_ahead(static_cast<uint64_t>(suffixes)) > 0;
    std::atomic<bool> sort_failed{false};
    stree_run_parts(ahead ? 2 : 1, [&](int part) {
      if (part == 1) {
        int_stree_pool_touch_ahead(sort_failed);
        return;
      }
      ok = int_stree_sort_suffixes(reinterpret_cast<const unsigned char*>(tree->block),
                                   static_cast<int64_t>(tree->block_used), &sorted, &relay,
                                   parts) ||
           run.fail();
      sort_failed.store(!ok);
    });
  }
  ok = ok && make_records(tree, sorted, map, parts, parts > 1 ? &wide : nullptr, &run, runs);
  std::free(map.first);
  int_stree_sorted_free(&sorted);
  if (ok && links) {
    ok = link_nodes(tree, window, parts, wide.items, wide.size, &run);
  } else if (ok) {  // the nodes to index before linking on threads go with the tree
    tree->unlinked = stree_pending_links{1, parts, wide.items, wide.size};
    wide.items = nullptr;
  }
  tree->renumber_pending = 1;
  stree_build_result result{ok ? STREE_BUILD_DONE : run.outcome, 0};
  if (result.outcome == STREE_BUILD_NO_MEMORY)
    result.insertion_needs = insertion_needs(tree, run, suffixes);
  if (!ok) {
    discard_records(tree);
    int_stree_pool_trim();  // what was touched ahead for records never made
    runs->count = 0;
  }
  return result;
}

stree_build_outcome int_stree_set_links(suffix_tree* tree, const stree_build_hook* hook,
                                        int64_t window, int threads) {
  stree_pending_links& p = tree->unlinked;
  if (!p.pending) return STREE_BUILD_DONE;
  // Threads only as many as the build noted the wide nodes for (the walks
  // on threads index nothing themselves); one while a failure is armed.
  const int parts = int_stree_build_fail_armed() ? 1 : std::clamp(threads, 1, p.parts);
  build_run run{hook};
  if (!link_nodes(tree, window, parts, p.wide, p.wide_count, &run)) return run.outcome;
  drop_pending_links(tree);
  return STREE_BUILD_DONE;
}

int int_stree_build_stored(suffix_tree* tree) {
  return int_stree_build(tree, nullptr).outcome == STREE_BUILD_DONE;
}

STREE_NS_END
