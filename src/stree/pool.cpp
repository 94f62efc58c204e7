// The node pool: records are cut from zero-filled pages.  Records of all
// kinds that share a space (every kind, in the narrow layout) come from one
// current page of that space, in the order they are asked for, so that
// records made together lie together: a node split off an edge and
// the leaf hung below it share a cache line, as do a node and the end
// record made with it.  The walks that follow a node to its children then
// often find the next record already loaded.  (The wide layout keeps its
// leaves in a space of their own, so that each space numbers records of one
// size.)  A reference carries its space and page number, so a returned record's page is found without a search; a page is
// released once it is full and every record it handed out has come back.
//
// Page bodies are carved from blocks of whole huge pages that are not
// offered to the kernel as huge pages (a system that backs every aligned
// mapping with huge pages still can).  Walks read the records of a tree
// built in one go in about the order they were made, and those of a tree
// built by insertion measured no faster with huge pages either; a huge
// page, though, is cleared whole on first touch, and on a virtual machine
// that hands freed memory back to its host it is always memory the host
// must supply again, where small pages come first from what the guest
// freed lately (bench/CHANGES.md, nineteenth round).  The tables read all
// over (the sorter's, the child index, the selection's) are still offered.
// A released body and its page number are kept for the next page opened.
//
// A build on threads makes the records of each thread's subtrees through a
// lane: current pages of its own, so that the threads share no page and
// write no common line but when a page is opened (under a lock).  The
// tables that find a page's body are grown beforehand for every page the
// lanes could open, so none moves while another thread reads through it.
//
// In sanitized builds a read through a stale reference must be caught, so
// nothing is reused there: every body is a heap block of its own, freed on
// release while its number keeps pointing at it (AddressSanitizer reports
// the read as a use after free); page numbers are not handed out again until
// all of them have been used; and every record given back is poisoned.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define STREE_POOL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STREE_POOL_SANITIZED 1
#endif
#endif

#ifdef STREE_POOL_SANITIZED
#include <sanitizer/asan_interface.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

constexpr uint32_t kMaxPages = (1u << STREE_REF_PAGE_BITS) - 1;  // per space
#if defined(STREE_WIDE)
constexpr uint32_t kPageUnits = STREE_REF_OFFSET_MASK + 1;  // 56 KiB, 24 KiB
#else
constexpr uint32_t kPageUnits = 2304;  // 27,648 bytes
#endif

static_assert(kPageUnits <= STREE_REF_OFFSET_MASK + 1,
              "every unit of a page fits a reference's offset");
#if defined(STREE_WIDE)
static_assert(uint64_t{kMaxPages} * kPageUnits >= (uint64_t{1} << 31) - kPageUnits,
              "each space holds 2^31 records but one page");
#endif

constexpr size_t page_words(uint32_t space) {
  return size_t{kPageUnits} * STREE_SPACE_UNIT_WORDS[space];
}

// A tree's list of pages names each page by its key: the page number, with
// the space in the top bit.
constexpr int kKeySpaceShift = 31;
static_assert(kMaxPages < 1u << kKeySpaceShift, "a key holds every page number");
constexpr uint32_t key_of(uint32_t space, uint32_t number) {
  return number | space << kKeySpaceShift;
}

struct stree_page {
  uint32_t freed;     // records given back; kReleased once released
  uint32_t capacity;  // records handed out (final once the page is full)
  uint32_t slot;      // its place in its tree's list of pages
  bool passed;        // its memory went back when a walk passed it for good
};

constexpr uint32_t kReleased = 0xffffffffu;

enum kind { NODE = 0, LEAF = 1, ENDREC = 2 };

constexpr uint32_t kUnits[3] = {STREE_NODE_UNITS, STREE_LEAF_UNITS,
                                STREE_ENDREC_UNITS};  // per record kind
constexpr uint32_t kSpace[3] = {STREE_NODE_SPACE, STREE_LEAF_SPACE,
                                STREE_ENDREC_SPACE};

// The pages of one space.
struct stree_space {
  stree_page* pages = nullptr;       // header of each page, by number
  uint32_t slots = 0;                // entries allocated in the tables
  uint32_t count = 0;                // page numbers ever used
  uint32_t* free_numbers = nullptr;  // released page numbers, for reuse
  uint32_t free_count = 0;
  // Bodies not yet handed out (unsanitized builds): the next uncarved body
  // of the current block, the bodies left in it, and the released bodies,
  // chained through their start.
  char* block_next = nullptr;
  size_t block_left = 0;
  void* free_bodies = nullptr;
  // Every block mapped so far, for giving them back to the system once no
  // tree holds a page: blocks[0..carved) have been carved from, the rest
  // were mapped ahead of the records that will fill them.
  void** blocks = nullptr;
  size_t block_count = 0;
  size_t block_slots = 0;
  size_t carved = 0;
  size_t free_body_count = 0;  // bodies chained on free_bodies
};

stree_space spaces[STREE_SPACES];
long pages_in_use = 0;
std::atomic<long> pages_passed{0};  // given back by walks, for tests (walks on threads add)

// Held while a lane opens a page (the only pool work that lanes do at once).
std::mutex lane_lock;

long requests = 0;
long body_requests = 0;
long body_fail_at = 0;  // page body request that fails; 0 = never
long fail_at = 0;  // request number that fails; 0 = never
long fail_from = 0;  // first request of those that all fail; 0 = never

#ifdef STREE_POOL_SANITIZED

void* body_alloc(uint32_t space) {
  return std::calloc(page_words(space), sizeof(uint32_t));
}
void body_free(uint32_t, void* body, bool) { std::free(body); }
constexpr bool kReuseNumbers = false;
void return_blocks() {}
void trim_blocks() {}
size_t map_ahead(uint32_t, uint64_t) { return 0; }
void touch_ahead(uint32_t, const std::atomic<bool>&) {}

#else

// Blocks are whole huge pages, as many as make the page bodies fill them
// with little left over: 27,648-byte bodies leave 23,552 bytes of a 2 MiB
// block unused, 11,264 of four; the wide layout's 57,344-byte and
// 24,576-byte bodies leave 16,384 and 8,192 bytes of four.  What no body
// reaches is never touched.
constexpr size_t kBlockBytes = 4 * STREE_HUGE_BYTES;
static_assert(kBlockBytes % STREE_HUGE_BYTES == 0, "a block is whole huge pages");

// Maps a new block, in small pages, and lists it with its space's.
bool map_block(stree_space& sp) {
  if (sp.block_count == sp.block_slots) {
    const size_t want = sp.block_slots ? 2 * sp.block_slots : 16;
    void* grown = std::realloc(sp.blocks, want * sizeof(void*));
    if (!grown) return false;
    sp.blocks = static_cast<void**>(grown);
    sp.block_slots = want;
  }
  void* block = int_stree_huge_map(kBlockBytes, false);
  if (block) sp.blocks[sp.block_count++] = block;
  return block != nullptr;
}

// The next block to carve from: one mapped ahead, else a new one.
void* block_alloc(stree_space& sp) {
  if (sp.carved == sp.block_count && !map_block(sp)) return nullptr;
  return sp.blocks[sp.carved++];
}

// Gives every block of every space back to the system; only when no page
// is in use, so no body is carved from them any more.
void return_blocks() {
  for (stree_space& sp : spaces) {
    for (size_t i = 0; i < sp.block_count; ++i) int_stree_huge_unmap(sp.blocks[i], kBlockBytes);
    std::free(sp.blocks);
    sp.blocks = nullptr;
    sp.block_count = sp.block_slots = sp.carved = 0;
    sp.block_next = nullptr;
    sp.block_left = 0;
    sp.free_bodies = nullptr;
    sp.free_body_count = 0;
  }
}

void* body_alloc(uint32_t space) {
  stree_space& sp = spaces[space];
  const size_t bytes = page_words(space) * sizeof(uint32_t);
  if (sp.free_bodies) {  // a body given back: cleared for its new page
    void* body = sp.free_bodies;
    std::memcpy(&sp.free_bodies, body, sizeof sp.free_bodies);
    --sp.free_body_count;
    std::memset(body, 0, bytes);
    return body;
  }
  // A body never used: the block is fresh from the system and reads as
  // zeros already, and writing it here would only touch every page of the
  // block once more than the records do.
  if (sp.block_left == 0) {
    void* block = block_alloc(sp);
    if (!block) return nullptr;
    sp.block_next = static_cast<char*>(block);
    sp.block_left = kBlockBytes / bytes;
  }
  void* body = sp.block_next;
  sp.block_next += bytes;
  --sp.block_left;
  return body;
}

void body_free(uint32_t space, void* body, bool passed) {
  // A body passed for good reads as zeros on its next use, as a fresh one
  // does, but chaining it would take a page of memory back for the link:
  // it waits for its block to go back instead.
  if (passed) return;
  stree_space& sp = spaces[space];
  std::memcpy(body, &sp.free_bodies, sizeof sp.free_bodies);
  sp.free_bodies = body;
  ++sp.free_body_count;
}
constexpr bool kReuseNumbers = true;

void trim_blocks() {
  for (uint32_t space = 0; space < STREE_SPACES; ++space) {
    const stree_space& sp = spaces[space];
    if (sp.block_left > 0)
      int_stree_drop_read_part(sp.block_next,
                               sp.block_left * page_words(space) * sizeof(uint32_t));
    for (size_t i = sp.carved; i < sp.block_count; ++i)
      int_stree_drop_read_part(sp.blocks[i], kBlockBytes);
  }
}

size_t map_ahead(uint32_t space, uint64_t units) {
  stree_space& sp = spaces[space];
  const size_t per_block = kBlockBytes / (page_words(space) * sizeof(uint32_t));
  const uint64_t pages = units / kPageUnits;
  const uint64_t at_hand =
      sp.block_left + sp.free_body_count + (sp.block_count - sp.carved) * per_block;
  if (pages <= at_hand) return 0;
  size_t mapped = 0;
  for (uint64_t blocks = (pages - at_hand) / per_block; mapped < blocks; ++mapped)
    if (!map_block(sp)) break;
  return mapped;
}

void touch_ahead(uint32_t space, const std::atomic<bool>& stop) {
  const stree_space& sp = spaces[space];
  constexpr size_t kStep = 4096;  // no system's pages are smaller
  for (size_t i = sp.carved; i < sp.block_count && !stop.load(std::memory_order_relaxed); ++i) {
    volatile char* block = static_cast<char*>(sp.blocks[i]);
    for (size_t at = 0; at < kBlockBytes; at += kStep) block[at] = 0;
  }
}

#endif

bool grow_tables(uint32_t space) {
  stree_space& sp = spaces[space];
  uint32_t want = sp.slots ? sp.slots * 2 : 64;
  if (want > kMaxPages) want = kMaxPages;
  if (want <= sp.slots) return false;
  void* b = std::realloc(stree_page_bodies[space], want * sizeof(uint32_t*));
  if (!b) return false;
  stree_page_bodies[space] = static_cast<uint32_t**>(b);
  void* h = std::realloc(sp.pages, want * sizeof(stree_page));
  if (!h) return false;
  sp.pages = static_cast<stree_page*>(h);
  void* f = std::realloc(sp.free_numbers, want * sizeof(uint32_t));
  if (!f) return false;
  sp.free_numbers = static_cast<uint32_t*>(f);
  sp.slots = want;
  return true;
}

// A body for a new page, or null when memory has run out (or a test says
// it has).
void* new_body(uint32_t space) {
  ++body_requests;
  if (body_fail_at > 0 && body_requests == body_fail_at) {
    body_fail_at = 0;
    return nullptr;
  }
  return body_alloc(space);
}

// Opens a new page of the space: -1 when no memory is left.  A released
// page number is taken again only where reuse is allowed, or once every
// number is used.
int64_t try_open_page(uint32_t space) {
  stree_space& sp = spaces[space];
  const bool fresh = sp.count < kMaxPages && (!kReuseNumbers || sp.free_count == 0);
  if (!fresh && sp.free_count == 0) return -1;
  if (fresh && sp.count == sp.slots && !grow_tables(space)) return -1;
  const uint32_t number = fresh ? sp.count : sp.free_numbers[sp.free_count - 1];
  void* body = new_body(space);
  if (!body) return -1;
  if (fresh) {
    ++sp.count;
  } else {
    --sp.free_count;
  }
  stree_page_bodies[space][number] = static_cast<uint32_t*>(body);
  sp.pages[number].freed = 0;
  sp.pages[number].capacity = 0;
  sp.pages[number].passed = false;
  ++pages_in_use;
  return number;
}

// Makes room in the tree's list for one more page.
bool reserve_tree_page(stree_tree_pages& own) {
  if (own.count < own.capacity) return true;
  const uint32_t want = own.capacity ? 2 * own.capacity : 16;
  void* grown = std::realloc(own.keys, want * sizeof(uint32_t));
  if (!grown) return false;
  own.keys = static_cast<uint32_t*>(grown);
  own.capacity = want;
  return true;
}

// Opens a page of the space for the tree's records.  The child index only
// saves time: when memory runs out, the records come first, and whatever
// the tree's index holds is given back before the pool gives up.
int64_t open_numbered_page(suffix_tree* tree, uint32_t space) {
  const int64_t number = try_open_page(space);
  if (number >= 0 || !stree_index_release(tree)) return number;
  return try_open_page(space);
}

int64_t open_page(suffix_tree* tree, uint32_t space) {
  stree_tree_pages& own = tree->pages;
  if (!reserve_tree_page(own)) return -1;
  const int64_t number = open_numbered_page(tree, space);
  if (number < 0) return -1;
  spaces[space].pages[number].slot = own.count;
  own.keys[own.count++] = key_of(space, static_cast<uint32_t>(number));
  return number;
}

// The same for a lane, whose pool tables have room for every page the
// lanes can open (int_stree_pool_open_lanes); its own list grows as it
// needs (no other thread reads it), and the tree's list takes its pages
// when the lanes close.
int64_t open_lane_page(suffix_tree* tree, stree_pool_lane& lane, uint32_t space) {
  if (lane.count == lane.capacity) {
    const uint32_t want = lane.capacity ? 2 * lane.capacity : 64;
    void* grown = std::realloc(lane.keys, want * sizeof(uint32_t));
    if (!grown) return -1;
    lane.keys = static_cast<uint32_t*>(grown);
    lane.capacity = want;
  }
  const std::lock_guard<std::mutex> hold(lane_lock);
  STREE_ASSERT(spaces[space].count < spaces[space].slots || spaces[space].free_count > 0);
  const int64_t number = open_numbered_page(tree, space);
  if (number >= 0) lane.keys[lane.count++] = key_of(space, static_cast<uint32_t>(number));
  return number;
}

// Releases a page whose records have all been handed out and returned, or
// whose tree is deleted.  In sanitized builds the number keeps pointing at
// the freed body.
void release_page(uint32_t space, uint32_t number) {
  stree_space& sp = spaces[space];
  body_free(space, stree_page_bodies[space][number], sp.pages[number].passed);
  if (kReuseNumbers) stree_page_bodies[space][number] = nullptr;
  sp.pages[number].freed = kReleased;
  sp.free_numbers[sp.free_count++] = number;
  --pages_in_use;
}

// Takes a page out of its tree's list and releases it.
void release_tree_page(stree_tree_pages& own, uint32_t space, uint32_t number) {
  const uint32_t slot = spaces[space].pages[number].slot;
  const uint32_t moved = own.keys[--own.count];
  own.keys[slot] = moved;
  spaces[moved >> kKeySpaceShift].pages[moved & kMaxPages].slot = slot;
  release_page(space, number);
}

// The current page of a space is full once the next record no longer fits
// (a narrow node may leave one unit unused).  A lane's page always holds a
// record (none is given back while lanes run).
void close_current_page(suffix_tree* tree, stree_pool_lane* lane, uint32_t space) {
  stree_pool_cursor& at = lane ? lane->cursor : tree->pages.cursor;
  const uint32_t number = static_cast<uint32_t>(at.current[space]);
  at.current[space] = -1;
  at.next_unit[space] = 0;
  stree_page& page = spaces[space].pages[number];
  if (lane) {
    page.capacity = lane->on_page[space];
    lane->on_page[space] = 0;
  } else if (page.freed == page.capacity) {
    release_tree_page(tree->pages, space, number);
  }
}

// Whether a test has said that this request fails.
bool refused() {
  ++requests;
  if (fail_at > 0 && requests == fail_at) {
    fail_at = 0;
    return true;
  }
  return fail_from > 0 && requests >= fail_from;
}

// Makes the cursor's current page of the space able to hold a record of
// kind k: closes a page too full for it, opens one.  False when no memory
// is left.  Apart from take, whose common path (the page has room) is then
// short enough to be inlined where records are made.
[[gnu::noinline]] bool make_room(suffix_tree* tree, kind k, stree_pool_lane* lane) {
  const uint32_t space = kSpace[k];
  stree_pool_cursor& at = lane ? lane->cursor : tree->pages.cursor;
  if (at.current[space] >= 0 && at.next_unit[space] + kUnits[k] > kPageUnits)
    close_current_page(tree, lane, space);
  if (at.current[space] < 0)
    at.current[space] = lane ? open_lane_page(tree, *lane, space) : open_page(tree, space);
  return at.current[space] >= 0;
}

inline stree_ref take(suffix_tree* tree, kind k, stree_pool_lane* lane) {
  if (lane) {
    ++lane->made;
  } else if (refused()) {
    return STREE_NONE;
  }
  const uint32_t space = kSpace[k];
  stree_pool_cursor& at = lane ? lane->cursor : tree->pages.cursor;
  if ((at.current[space] < 0 || at.next_unit[space] + kUnits[k] > kPageUnits) &&
      !make_room(tree, k, lane))
    return STREE_NONE;
  const uint32_t number = static_cast<uint32_t>(at.current[space]);
  const uint32_t unit = at.next_unit[space];
  at.next_unit[space] += kUnits[k];
  ++(lane ? lane->on_page[space] : spaces[space].pages[number].capacity);
  if (at.next_unit[space] == kPageUnits) close_current_page(tree, lane, space);
  return stree_make_ref(space, number, unit);
}

// The pages of a space that lanes making the given records could open
// between them: every page but each lane's last is full to within a
// record's units.
uint64_t lane_pages(uint32_t space, uint64_t nodes, uint64_t ends, int lanes) {
  uint64_t units = 0;
  uint32_t widest = 0;
  for (int k = NODE; k <= ENDREC; ++k) {
    if (kSpace[k] != space) continue;
    units += (k == NODE ? nodes : ends) * kUnits[k];
    widest = kUnits[k] > widest ? kUnits[k] : widest;
  }
  return units / (kPageUnits - widest) + 1 + static_cast<uint64_t>(lanes);
}

}  // namespace

uint32_t** stree_page_bodies[STREE_SPACES] = {};

void int_stree_set_edgestr(suffix_tree* tree, stree_ref node,
                           stree_pos edgestr) {
  stree_pos_field at;
  int_stree_set_pos(tree, at, edgestr);
  const char* s = tree->strings[stree_pos_strid(edgestr)];
  int_stree_set_edgestr_kept(node, at,
                             s ? int_stree_code_of(tree, s[stree_pos_offset(edgestr)]) : 0);
}

void int_stree_set_edgestr_kept(stree_ref node, stree_pos_field at, int code) {
  int_stree_node(node)->edgestr = at;
  int_stree_set_node_code(node, code);
}

stree_ref int_stree_new_node(suffix_tree* tree, stree_pos edgestr,
                             int32_t edgelen, stree_pool_lane* lane) {
  stree_ref r = take(tree, NODE, lane);
  if (r == STREE_NONE) return r;
  stree_node* n = int_stree_node(r);
  n->edgelen = edgelen;
  if (edgelen > 0) int_stree_set_edgestr(tree, r, edgestr);
  return r;
}

stree_ref int_stree_new_leaf(suffix_tree* tree, int32_t strid,
                             int32_t edgepos, stree_pool_lane* lane) {
  stree_pos_field at;
  int_stree_set_pos(tree, at, stree_pack_pos(strid, edgepos));
  return int_stree_new_leaf_kept(
      tree, at, int_stree_code_of(tree, tree->strings[strid][edgepos]), lane);
}

stree_ref int_stree_new_leaf_kept(suffix_tree* tree, stree_pos_field at, int code,
                                  stree_pool_lane* lane) {
  stree_ref r = take(tree, LEAF, lane);
  if (r == STREE_NONE) return r;
  stree_leaf* l = int_stree_leaf(r);
  l->header = int_stree_leaf_header(code);
  l->strpos = at;
  return r;
}

stree_ref int_stree_new_endrec(suffix_tree* tree, int32_t strid, int32_t pos,
                               stree_pool_lane* lane) {
  stree_pos_field at;
  int_stree_set_pos(tree, at, stree_pack_pos(strid, pos));
  return int_stree_new_endrec_kept(tree, at, lane);
}

stree_ref int_stree_new_endrec_kept(suffix_tree* tree, stree_pos_field at,
                                    stree_pool_lane* lane) {
  stree_ref r = take(tree, ENDREC, lane);
  if (r == STREE_NONE) return r;
  int_stree_endrec(r)->strpos = at;
  return r;
}

void int_stree_free_record(suffix_tree* tree, stree_ref record) {
  const uint32_t space = stree_ref_space(record);
  const uint32_t number = stree_ref_page(record);
  STREE_ASSERT(record != STREE_NONE && number < spaces[space].count &&
               spaces[space].pages[number].freed != kReleased);
  stree_page& page = spaces[space].pages[number];
#ifdef STREE_POOL_SANITIZED
  // The first unit holds what every read of a record starts with.
  ASAN_POISON_MEMORY_REGION(int_stree_words(record),
                            STREE_SPACE_UNIT_WORDS[space] * sizeof(uint32_t));
#endif
  if (++page.freed == page.capacity && number != tree->pages.cursor.current[space])
    release_tree_page(tree->pages, space, number);
}

uint64_t int_stree_internal_count(const suffix_tree* tree) {
  uint64_t records = 0;
  const stree_tree_pages& own = tree->pages;
  for (uint32_t i = 0; i < own.count; ++i) {
    const stree_page& page = spaces[own.keys[i] >> kKeySpaceShift].pages[own.keys[i] & kMaxPages];
    records += page.capacity - page.freed;
  }
  uint64_t suffixes = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot)
    if (tree->strings[slot]) suffixes += static_cast<uint64_t>(tree->lengths[slot]);
  return records - suffixes;
}

size_t int_stree_pages_bytes(const suffix_tree* tree) {
  size_t bytes = 0;
  const stree_tree_pages& own = tree->pages;
  for (uint32_t i = 0; i < own.count; ++i)
    bytes += page_words(own.keys[i] >> kKeySpaceShift) * sizeof(uint32_t);
  return bytes;
}

size_t int_stree_record_bytes(int kind) {
  return size_t{kUnits[kind]} * STREE_SPACE_UNIT_WORDS[kSpace[kind]] * sizeof(uint32_t);
}

bool int_stree_can_reserve(size_t bytes) {
  if (bytes == 0) return true;
#if defined(__linux__)
  // Counted against the address-space limit and the kernel's overcommit
  // check like any mapping, but never touched, so it costs no memory.
  void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return false;
  munmap(area, bytes);
  return true;
#else
  void* area = std::malloc(bytes);
  std::free(area);
  return area != nullptr;
#endif
}

uint32_t* int_stree_page_places(const suffix_tree* tree, uint32_t space) {
  const stree_space& sp = spaces[space];
  auto* places = static_cast<uint32_t*>(
      int_stree_build_take(sp.count > 0 ? sp.count : 1, sizeof(uint32_t)));
  if (!places) return nullptr;
  const stree_tree_pages& own = tree->pages;
  for (uint32_t i = 0; i < own.count; ++i)
    if (own.keys[i] >> kKeySpaceShift == space) places[own.keys[i] & kMaxPages] = i;
  return places;
}

void int_stree_release_pages(suffix_tree* tree) {
  stree_tree_pages& own = tree->pages;
  for (uint32_t i = 0; i < own.count; ++i)
    release_page(own.keys[i] >> kKeySpaceShift, own.keys[i] & kMaxPages);
  std::free(own.keys);
  own = stree_tree_pages();
  // The last tree gone: its memory goes back to the system rather than
  // waiting, perhaps for the life of the process, for a tree to come.
  if (pages_in_use == 0) return_blocks();
}

void int_stree_pool_trim() { trim_blocks(); }

bool int_stree_passing_open(const suffix_tree* tree, int threads, stree_passed_pages* pages) {
  if (threads > 1)
    pages->batch_bytes = std::max(stree_passed_pages::kLeastBatchBytes, int_stree_pages_bytes(tree) / 64);
  for (uint32_t space = 0; space < STREE_SPACES; ++space) {
    const size_t count = spaces[space].count > 0 ? spaces[space].count : 1;
    pages->passed[space] = static_cast<uint32_t*>(std::calloc(count, sizeof(uint32_t)));
    if (!pages->passed[space]) return false;
  }
  return true;
}

namespace {

// Gives back the pages waiting, each run of neighbours in one call.
void give_back(stree_passed_pages* pages) {
  using body = stree_passed_pages::body;
  body* done = pages->done;
  std::sort(done, done + pages->done_count, [](const body& a, const body& b) { return a.at < b.at; });
  for (uint32_t k = 0; k < pages->done_count;) {
    char* const from = done[k].at;
    char* to = from + done[k].bytes;
    for (++k; k < pages->done_count && done[k].at == to; ++k) to += done[k].bytes;
    int_stree_drop_read_part(from, static_cast<size_t>(to - from));
  }
  pages->done_count = 0;
  pages->done_bytes = 0;
}

}  // namespace

void int_stree_passing_close(stree_passed_pages* pages) {
  give_back(pages);
  for (uint32_t*& passed : pages->passed) {
    std::free(passed);
    passed = nullptr;
  }
}

void int_stree_pass_flush(stree_pass_cursor* cursor, uint32_t space) {
  const uint32_t run = cursor->run[space];
  if (run == 0) return;
  const auto number = static_cast<uint32_t>(cursor->page[space]);
  cursor->run[space] = 0;
  stree_page& page = spaces[space].pages[number];
  const uint32_t held = page.capacity - page.freed;
  const uint32_t passed =
      std::atomic_ref<uint32_t>(cursor->pages->passed[space][number]).fetch_add(run) + run;
  STREE_ASSERT(passed <= held);
  if (passed != held) return;
  page.passed = true;  // by the one walk whose run completed the count
  ++pages_passed;
  char* const body = reinterpret_cast<char*>(stree_page_bodies[space][number]);
  const size_t bytes = page_words(space) * sizeof(uint32_t);
#ifdef STREE_POOL_SANITIZED
  ASAN_POISON_MEMORY_REGION(body, bytes);
#else
  stree_passed_pages& pages = *cursor->pages;
  const std::lock_guard<std::mutex> hold(pages.lock);
  pages.done[pages.done_count++] = {body, bytes};
  pages.done_bytes += bytes;
  if (pages.done_bytes > pages.batch_bytes || pages.done_count == stree_passed_pages::kBatch)
    give_back(&pages);
#endif
}

size_t int_stree_pool_map_ahead(uint64_t ends) {
  return map_ahead(STREE_LEAF_SPACE, ends * STREE_LEAF_UNITS);
}

void int_stree_pool_touch_ahead(const std::atomic<bool>& stop) {
  touch_ahead(STREE_LEAF_SPACE, stop);
}

bool int_stree_pool_open_lanes(suffix_tree* tree, int count, uint64_t nodes, uint64_t ends) {
  if (fail_at > 0 || fail_from > 0) return false;
  uint64_t pages = 0;
  for (uint32_t space = 0; space < STREE_SPACES; ++space) {
    const uint64_t need = lane_pages(space, nodes, ends, count);
    stree_space& sp = spaces[space];
    if (sp.count + need > kMaxPages) return false;
    while (sp.slots < sp.count + need)
      if (!grow_tables(space)) return false;
    pages += need;
  }
  stree_tree_pages& own = tree->pages;
  if (own.count + pages > UINT32_MAX) return false;
  if (own.capacity < own.count + pages) {
    void* grown = std::realloc(own.keys, (own.count + pages) * sizeof(uint32_t));
    if (!grown) return false;
    own.keys = static_cast<uint32_t*>(grown);
    own.capacity = static_cast<uint32_t>(own.count + pages);
  }
  return true;
}

void int_stree_pool_close_lanes(suffix_tree* tree, stree_pool_lane* lanes, int count) {
  stree_tree_pages& own = tree->pages;
  for (int k = 0; k < count; ++k) {
    stree_pool_lane& lane = lanes[k];
    for (uint32_t space = 0; space < STREE_SPACES; ++space)
      if (lane.cursor.current[space] >= 0) close_current_page(tree, &lane, space);
    for (uint32_t i = 0; i < lane.count; ++i) {
      const uint32_t key = lane.keys[i];
      spaces[key >> kKeySpaceShift].pages[key & kMaxPages].slot = own.count;
      own.keys[own.count++] = key;
    }
    requests += lane.made;
    std::free(lane.keys);
    lane = stree_pool_lane();
  }
}

void stree_pool_fail_at(long n) { fail_at = n > 0 ? requests + n : 0; }
void stree_pool_fail_from(long n) { fail_from = n > 0 ? requests + n : 0; }
void stree_pool_fail_body_at(long n) {
  body_fail_at = n > 0 ? body_requests + n : 0;
}
long stree_pool_requests() { return requests; }
long stree_pool_pages_in_use() { return pages_in_use; }
long stree_pool_pages_passed() { return pages_passed.load(); }

// A mapping aligned to its huge-page size, cut out of one twice as large
// (an aligned heap block would keep the slack reserved, which matters to
// users running under a memory limit).
void* int_stree_huge_map(size_t bytes, bool offer) {
#if defined(__linux__)
  void* area = mmap(nullptr, bytes + STREE_HUGE_BYTES, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  char* start = static_cast<char*>(area);
  const uintptr_t misalign = reinterpret_cast<uintptr_t>(start) % STREE_HUGE_BYTES;
  const size_t head = misalign ? STREE_HUGE_BYTES - misalign : 0;
  if (head) munmap(start, head);
  munmap(start + head + bytes, STREE_HUGE_BYTES - head);
  char* mapped = start + head;
  if (offer) int_stree_offer_huge_pages(mapped, bytes);
  return mapped;
#else
  (void)offer;
  void* area = std::aligned_alloc(STREE_HUGE_BYTES, bytes);
  if (area) std::memset(area, 0, bytes);
  return area;
#endif
}

void int_stree_huge_unmap(void* area, size_t bytes) {
#if defined(__linux__)
  munmap(area, bytes);
#else
  (void)bytes;
  std::free(area);
#endif
}

void* int_stree_alloc_scattered(size_t bytes) {
  void* area = std::malloc(bytes);
  if (area && bytes >= 2 * STREE_HUGE_BYTES) int_stree_offer_huge_pages(area, bytes);
  return area;
}

#if defined(__linux__)
namespace {

// Advises the whole units of `unit` bytes (a power of two) inside
// [p, p + bytes), if there are any.
void advise_inside(void* p, size_t bytes, uintptr_t unit, int advice) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (start + unit - 1) & ~(unit - 1);
  const uintptr_t end = (start + bytes) & ~(unit - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, advice);
}

}  // namespace
#endif

void int_stree_drop_read_part(void* p, size_t bytes) {
#if defined(__linux__)
  advise_inside(p, bytes, static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)), MADV_DONTNEED);
#else
  (void)p;
  (void)bytes;
#endif
}

void int_stree_offer_huge_pages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  advise_inside(p, bytes, STREE_HUGE_BYTES, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

STREE_NS_END
