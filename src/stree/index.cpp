// The child index: a side table that finds a child of a node with many
// children without walking its sibling list.
//
// A sibling list is a chain through records scattered over the pool, and
// every step along it is a cache miss once the tree outgrows the caches.
// Nodes near the root have dozens of children and are searched most often,
// so a node whose list a lookup had to walk far gets an index block: the set
// of its children's codes as a 128-bit mask and the children themselves in
// code order.  The rank of a code in the mask gives its child and, one place
// before it, the child's predecessor, which is what the edits need to
// relink the list.  Blocks are found through an open-addressing table keyed
// by the node's reference; a node carries STREE_INDEXED_BIT while it has
// one.
//
// The index only ever speeds the tree up.  When it cannot get memory it
// leaves a node unindexed (or stops indexing it), and every operation then
// walks the list as before; no operation fails because of it.  The sibling
// lists stay complete and remain the truth: the index holds the same
// children in the same order, which stree_check verifies.
//
// Each tree owns its index (suffix_tree::index); only insertion and the
// edits add to it, and stree_index_release gives all of it back.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define STREE_INDEX_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STREE_INDEX_POISON 1
#endif
#endif
#ifdef STREE_INDEX_POISON
#include <sanitizer/asan_interface.h>
#elif defined(__linux__)
#define STREE_INDEX_MMAP 1
#include <sys/mman.h>
#endif

#include "stree_internal.h"

STREE_NS_BEGIN

// Block sizes: a 20-byte header and room for 11, 27, 59 or 128 children,
// so that blocks fill 64, 128, 256 or 536 bytes.  The wide layout's header
// takes 36 bytes, and its largest class holds all 256 codes.
constexpr int kCapacity[STREE_INDEX_CLASSES] = {11, 27, 59, STREE_MAX_ALPHABET};
constexpr int kCodeWordBits = 32;
constexpr int kCodeWords = STREE_MAX_ALPHABET / kCodeWordBits;

// A block's header; its children follow it, `count` of them in code order
// in room for kCapacity[cls].
struct stree_index_block {
  uint32_t codes[kCodeWords];  // bit c % 32 of word c / 32: a child with code c
  uint16_t cls;                // size class
  uint16_t count;              // children held
};

// The runs that blocks are cut from, chained for release.
struct stree_index_run {
  stree_index_run* next;
  size_t bytes;  // the run's size, this header included
};

namespace {

using index_block = stree_index_block;
using entry = stree_index_entry;

constexpr size_t kHeaderBytes = sizeof(index_block);
static_assert(kHeaderBytes == 4 * kCodeWords + 4, "children follow the header");
static_assert(kCodeWords * kCodeWordBits >= STREE_MAX_ALPHABET && kCodeWords % 2 == 0,
              "a code set holds every code, in pairs of words");

stree_ref* children(index_block* b) {
  return reinterpret_cast<stree_ref*>(reinterpret_cast<char*>(b) +
                                      kHeaderBytes);
}
const stree_ref* children(const index_block* b) {
  return reinterpret_cast<const stree_ref*>(
      reinterpret_cast<const char*>(b) + kHeaderBytes);
}

// Rounded up to keep every block of a run aligned for its 8-byte words.
size_t block_bytes(int cls) {
  const size_t bytes =
      kHeaderBytes + sizeof(stree_ref) * static_cast<size_t>(kCapacity[cls]);
  return (bytes + 7) & ~size_t{7};
}

// The index's memory comes straight from the kernel where it can, and goes
// straight back when released: taken from the heap, the freed runs and
// tables would stay with the process while the counting arrays are
// allocated right after, and raise its peak by the index's size.
void* index_alloc(stree_child_index& x, size_t bytes) {
  ++x.allocations;
  if (x.fail_at != 0 && x.allocations == x.fail_at) return nullptr;
#ifdef STREE_INDEX_MMAP
  // Its blocks and large tables are read at random, as the records are.
  if (bytes % STREE_HUGE_BYTES == 0) return int_stree_huge_map(bytes);
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
#else
  return std::calloc(1, bytes);
#endif
}

void index_free(void* p, size_t bytes) {
  if (p == nullptr) return;
#ifdef STREE_INDEX_MMAP
  munmap(p, bytes);
#else
  (void)bytes;
  std::free(p);
#endif
}

// Blocks are cut in turn from runs of memory, so that a block costs no heap
// header and blocks made together lie together; a block given back goes to
// the free list of its size class and is taken again first.  The first run
// is small, for the many small trees; later runs are a huge page each.
// Runs go back only when the whole index is released.
constexpr size_t kFirstRunBytes = 256 * 1024;
constexpr size_t kRunBytes = STREE_HUGE_BYTES;
constexpr size_t kRunHeaderBytes = 64;
static_assert(sizeof(stree_index_run) <= kRunHeaderBytes, "a run's header fits");

index_block*& next_free(index_block* b) {
  return *reinterpret_cast<index_block**>(b);
}

// In sanitized builds a block on a free list is poisoned but for its chain
// word, so that a stale block pointer is caught.
void give_block(stree_child_index& x, index_block* b) {
  const int cls = b->cls;
  next_free(b) = x.free_blocks[cls];
  x.free_blocks[cls] = b;
#ifdef STREE_INDEX_POISON
  ASAN_POISON_MEMORY_REGION(reinterpret_cast<char*>(b) + sizeof(index_block*),
                            block_bytes(cls) - sizeof(index_block*));
#endif
}

// Room for a block of `bytes` at the end of the current run, or a new run.
bool reserve_run(stree_child_index& x, size_t bytes) {
  if (x.run_left >= bytes) return true;
  const size_t run_bytes = x.runs == nullptr ? kFirstRunBytes : kRunBytes;
  void* raw = index_alloc(x, run_bytes);
  if (raw == nullptr) return false;
  auto* run = static_cast<stree_index_run*>(raw);
  run->next = x.runs;
  run->bytes = run_bytes;
  x.runs = run;
  x.run_next = static_cast<char*>(raw) + kRunHeaderBytes;
  x.run_left = run_bytes - kRunHeaderBytes;
  return true;
}

index_block* take_block(stree_child_index& x, int cls) {
  index_block* b = x.free_blocks[cls];
  if (b != nullptr) {
    x.free_blocks[cls] = next_free(b);
#ifdef STREE_INDEX_POISON
    ASAN_UNPOISON_MEMORY_REGION(b, block_bytes(cls));
#endif
  } else {
    const size_t size = block_bytes(cls);
    if (!reserve_run(x, size)) return nullptr;
    b = reinterpret_cast<index_block*>(x.run_next);
    x.run_next += size;
    x.run_left -= size;
  }
  std::memset(b, 0, sizeof(index_block));
  b->cls = static_cast<uint16_t>(cls);
  return b;
}

// ---- the table from node to block -----------------------------------------

constexpr uint32_t kFirstSlots = 1024;

uint32_t home(stree_ref node) { return (node * 0x9E3779B1u) >> 7; }

size_t table_bytes(uint32_t slots) { return slots * sizeof(entry); }

// The slot holding node, or the empty slot where it would go.
uint32_t slot_of(const stree_child_index& x, stree_ref node) {
  uint32_t h = home(node) & x.mask;
  while (x.table[h].node != STREE_NONE && x.table[h].node != node)
    h = (h + 1) & x.mask;
  return h;
}

// Makes room for one more entry, keeping the table at most half full.
bool reserve_entry(stree_child_index& x) {
  if (x.table != nullptr && 2 * (x.used + 1) <= x.mask + 1) return true;
  const uint32_t old_slots = x.table == nullptr ? 0 : x.mask + 1;
  const uint32_t slots = old_slots == 0 ? kFirstSlots : 2 * old_slots;
  auto* grown = static_cast<entry*>(index_alloc(x, table_bytes(slots)));
  if (grown == nullptr) return false;
  entry* old = x.table;
  x.table = grown;  // zero-filled: every slot empty
  x.mask = slots - 1;
  for (uint32_t i = 0; i < old_slots; ++i)
    if (old[i].node != STREE_NONE) x.table[slot_of(x, old[i].node)] = old[i];
  index_free(old, table_bytes(old_slots));
  return true;
}

// Empties slot h, moving later entries of the same probe run back so that
// every entry stays reachable from its home slot.
void erase_slot(stree_child_index& x, uint32_t h) {
  uint32_t gap = h;
  for (uint32_t i = (h + 1) & x.mask; x.table[i].node != STREE_NONE;
       i = (i + 1) & x.mask) {
    const uint32_t want = home(x.table[i].node) & x.mask;
    // The entry at i may fill the gap unless its home lies after the gap
    // (cyclically) and not after i.
    if (((i - want) & x.mask) >= ((i - gap) & x.mask)) {
      x.table[gap] = x.table[i];
      gap = i;
    }
  }
  x.table[gap].node = STREE_NONE;
  --x.used;
}

bool in_table(const stree_child_index& x, stree_ref node) {
  return x.table != nullptr && x.table[slot_of(x, node)].node == node;
}

index_block* block_of(const stree_child_index& x, stree_ref node) {
  return x.table[slot_of(x, node)].block;
}

// ---- code sets --------------------------------------------------------------

// Codes 64w .. 64w + 63 of the set: words 2w and 2w + 1 (the header keeps
// 32-bit words so that it packs to 4 bytes before the children).
constexpr int kWideWordBits = 2 * kCodeWordBits;
uint64_t code_pair(const index_block* b, int w) {
  return b->codes[2 * w] | uint64_t{b->codes[2 * w + 1]} << kCodeWordBits;
}

// The number of children with a code below `code`.
int rank_of(const index_block* b, int code) {
  const int word = code / kWideWordBits;
  int r = int_stree_popcount(code_pair(b, word) &
                             ((uint64_t{1} << (code % kWideWordBits)) - 1));
  for (int w = 0; w < word; ++w) r += int_stree_popcount(code_pair(b, w));
  return r;
}

bool has_code(const index_block* b, int code) {
  return ((b->codes[code / kCodeWordBits] >> (code % kCodeWordBits)) & 1u) != 0;
}

void set_code(uint32_t* codes, int code, bool on) {
  const uint32_t bit = uint32_t{1} << (code % kCodeWordBits);
  if (on)
    codes[code / kCodeWordBits] |= bit;
  else
    codes[code / kCodeWordBits] &= ~bit;
}

// Takes node out of the index: its block goes back, its bit is cleared.
void unindex(stree_child_index& x, uint32_t h) {
  index_block* b = x.table[h].block;
  int_stree_header(x.table[h].node) &= ~STREE_INDEXED_BIT;
  give_block(x, b);
  erase_slot(x, h);
}

}  // namespace

stree_ref int_stree_index_child(const suffix_tree* tree, stree_ref node,
                                int code, stree_ref* pred) {
  const index_block* b = block_of(tree->index, node);
  const int r = rank_of(b, code);
  if (pred != nullptr) *pred = r > 0 ? children(b)[r - 1] : STREE_NONE;
  return has_code(b, code) ? children(b)[r] : STREE_NONE;
}

void int_stree_index_build(suffix_tree* tree, stree_ref node) {
  if (int_stree_is_indexed(node)) return;
  stree_child_index& x = tree->index;
  int n = int_stree_num_children(tree, node);
  int cls = 0;
  while (cls + 1 < STREE_INDEX_CLASSES && kCapacity[cls] < n) ++cls;
  if (!reserve_entry(x)) return;
  index_block* b = take_block(x, cls);
  if (b == nullptr) return;
  for (stree_ref c = int_stree_first_child(tree, node); c != STREE_NONE;
       c = int_stree_next_sibling(c)) {
    set_code(b->codes, int_stree_code(tree, c), true);
    children(b)[b->count++] = c;
  }
  x.table[slot_of(x, node)] = entry{node, b};
  ++x.used;
  int_stree_header(node) |= STREE_INDEXED_BIT;
}

void int_stree_index_add(suffix_tree* tree, stree_ref node, int code,
                         stree_ref child) {
  stree_child_index& x = tree->index;
  const uint32_t h = slot_of(x, node);
  index_block* b = x.table[h].block;
  if (b->count == kCapacity[b->cls]) {
    index_block* bigger =
        b->cls + 1 < STREE_INDEX_CLASSES ? take_block(x, b->cls + 1) : nullptr;
    if (bigger == nullptr) {
      unindex(x, h);  // the list alone serves the node from now on
      return;
    }
    std::memcpy(bigger->codes, b->codes, sizeof b->codes);
    bigger->count = b->count;
    std::memcpy(children(bigger), children(b), b->count * sizeof(stree_ref));
    give_block(x, b);
    x.table[h].block = b = bigger;
  }
  const int r = rank_of(b, code);
  std::memmove(&children(b)[r + 1], &children(b)[r],
               static_cast<size_t>(b->count - r) * sizeof(stree_ref));
  children(b)[r] = child;
  ++b->count;
  set_code(b->codes, code, true);
}

void int_stree_index_set(suffix_tree* tree, stree_ref node, int code,
                         stree_ref child) {
  index_block* b = block_of(tree->index, node);
  children(b)[rank_of(b, code)] = child;
}

void int_stree_index_remove(suffix_tree* tree, stree_ref node, int code) {
  index_block* b = block_of(tree->index, node);
  const int r = rank_of(b, code);
  std::memmove(&children(b)[r], &children(b)[r + 1],
               static_cast<size_t>(b->count - r - 1) * sizeof(stree_ref));
  --b->count;
  set_code(b->codes, code, false);
}

void int_stree_index_forget(suffix_tree* tree, stree_ref node) {
  if (int_stree_is_indexed(node)) unindex(tree->index, slot_of(tree->index, node));
}

const char* int_stree_index_check(const suffix_tree* tree, stree_ref node) {
  const stree_child_index& x = tree->index;
  if (!int_stree_is_indexed(node)) {
    if (in_table(x, node))
      return "a node without the indexed bit has an index block";
    return nullptr;
  }
  if (!in_table(x, node)) return "an indexed node has no index block";
  const index_block* b = block_of(x, node);
  int i = 0;
  uint32_t codes[kCodeWords] = {};
  for (stree_ref c = int_stree_first_child(tree, node); c != STREE_NONE;
       c = int_stree_next_sibling(c), ++i) {
    if (i >= b->count || children(b)[i] != c)
      return "an index block differs from its node's children";
    set_code(codes, int_stree_code(tree, c), true);
  }
  if (i != b->count || std::memcmp(codes, b->codes, sizeof codes) != 0)
    return "an index block differs from its node's children";
  return nullptr;
}

int stree_index_release(suffix_tree* tree) {
  if (!tree) return 0;
  stree_child_index& x = tree->index;
  const bool held = x.table != nullptr || x.runs != nullptr;
  const uint32_t slots = x.table == nullptr ? 0 : x.mask + 1;
  for (uint32_t i = 0; i < slots; ++i)
    if (x.table[i].node != STREE_NONE)
      int_stree_header(x.table[i].node) &= ~STREE_INDEXED_BIT;
  index_free(x.table, table_bytes(slots));
  x.table = nullptr;
  x.mask = 0;
  x.used = 0;
  while (x.runs != nullptr) {
    stree_index_run* next = x.runs->next;
    const size_t bytes = x.runs->bytes;
#ifdef STREE_INDEX_POISON
    ASAN_UNPOISON_MEMORY_REGION(x.runs, bytes);
#endif
    index_free(x.runs, bytes);
    x.runs = next;
  }
  x.run_next = nullptr;
  x.run_left = 0;
  for (index_block*& f : x.free_blocks) f = nullptr;
  return held ? 1 : 0;
}

void stree_index_set_threshold(suffix_tree* tree, int children) {
  tree->index.threshold = children;
}
void stree_index_fail_at(suffix_tree* tree, long n) {
  tree->index.fail_at = n > 0 ? tree->index.allocations + n : 0;
}
long stree_index_nodes(const suffix_tree* tree) { return tree->index.used; }

STREE_NS_END
