// The node pool: records are cut from zero-filled pages.  Records of all
// kinds come from one current page, in the order they are asked for, so
// that records made together lie together: a node split off an edge and
// the leaf hung below it share a cache line, as do a node and the end
// record made with it.  The walks that follow a node to its children then
// often find the next record already loaded.  A reference carries its page
// number, so a returned record's page is found without a search; a page is
// released once it is full and every record it handed out has come back.
//
// Page bodies are carved from 2 MiB blocks that the kernel is asked to back
// with huge pages: the walks over a finished tree touch records in an order
// unrelated to their addresses, and with 4 KiB pages most of those touches
// also miss the TLB.  A released body is kept for the next page opened.  In
// sanitized builds every body is a heap block of its own instead, so that a
// read of a released page is caught.
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define STREE_POOL_HEAP_BODIES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STREE_POOL_HEAP_BODIES 1
#endif
#endif

#if !defined(STREE_POOL_HEAP_BODIES) && defined(__linux__)
#include <sys/mman.h>
#endif

#include "stree.h"

namespace {

constexpr uint32_t kPageWords = 6912;  // 27,648 bytes
constexpr uint32_t kPageUnits = kPageWords / 3;
constexpr uint32_t kMaxPages = (1u << 20) - 1;

struct stree_page {
  uint32_t freed;     // records given back
  uint32_t capacity;  // records handed out (final once the page is full)
};

enum kind { NODE = 0, LEAF = 1, ENDREC = 2 };

constexpr uint32_t kUnits[3] = {2, 1, 1};  // units per record of each kind

stree_page* pages = nullptr;        // header of each page, by number
uint32_t page_slots = 0;            // entries allocated in the two tables
uint32_t page_count = 0;            // page numbers ever used
uint32_t* free_numbers = nullptr;   // released page numbers, for reuse
uint32_t free_count = 0;
long pages_in_use = 0;

int64_t current_page = -1;  // the page records are cut from, or -1
uint32_t next_unit = 0;     // its first free unit

long requests = 0;
long body_requests = 0;
long body_fail_at = 0;  // page body request that fails; 0 = never
long fail_at = 0;  // request number that fails; 0 = never

#ifdef STREE_POOL_HEAP_BODIES

void* body_alloc() { return std::calloc(kPageWords, sizeof(uint32_t)); }
void body_free(void* body) { std::free(body); }

#else

constexpr size_t kPageBytes = kPageWords * sizeof(uint32_t);
constexpr size_t kBlockBytes = 2u << 20;
constexpr size_t kBodiesPerBlock = kBlockBytes / kPageBytes;  // 75

// A block aligned to its size, backed by huge pages where the kernel can.
// On Linux the block is cut out of a mapping twice its size, so that the
// alignment costs no address space (an aligned heap block would keep the
// slack reserved, which matters to users running under a memory limit).
void* block_alloc() {
#if defined(__linux__)
  void* area = mmap(nullptr, 2 * kBlockBytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  char* start = static_cast<char*>(area);
  uintptr_t misalign = reinterpret_cast<uintptr_t>(start) % kBlockBytes;
  size_t head = misalign ? kBlockBytes - misalign : 0;
  if (head) munmap(start, head);
  munmap(start + head + kBlockBytes, kBlockBytes - head);
  char* block = start + head;
#if defined(MADV_HUGEPAGE)
  madvise(block, kBlockBytes, MADV_HUGEPAGE);  // a hint; failure is fine
#endif
  return block;
#else
  return std::aligned_alloc(kBlockBytes, kBlockBytes);
#endif
}

char* block_next = nullptr;  // next uncarved body of the current block
size_t block_left = 0;       // bodies left in it
void* free_bodies = nullptr; // released bodies, chained through their start

void* body_alloc() {
  void* body;
  if (free_bodies) {
    body = free_bodies;
    std::memcpy(&free_bodies, body, sizeof free_bodies);
  } else {
    if (block_left == 0) {
      void* block = block_alloc();
      if (!block) return nullptr;
      block_next = static_cast<char*>(block);
      block_left = kBodiesPerBlock;
    }
    body = block_next;
    block_next += kPageBytes;
    --block_left;
  }
  std::memset(body, 0, kPageBytes);
  return body;
}

void body_free(void* body) {
  std::memcpy(body, &free_bodies, sizeof free_bodies);
  free_bodies = body;
}

#endif

bool grow_tables() {
  uint32_t want = page_slots ? page_slots * 2 : 64;
  if (want > kMaxPages) want = kMaxPages;
  if (want <= page_slots) return false;
  void* b = std::realloc(stree_page_bodies, want * sizeof(uint32_t*));
  if (!b) return false;
  stree_page_bodies = static_cast<uint32_t**>(b);
  void* h = std::realloc(pages, want * sizeof(stree_page));
  if (!h) return false;
  pages = static_cast<stree_page*>(h);
  void* f = std::realloc(free_numbers, want * sizeof(uint32_t));
  if (!f) return false;
  free_numbers = static_cast<uint32_t*>(f);
  page_slots = want;
  return true;
}

// A body for a new page, or null when memory has run out (or a test says
// it has).
void* new_body() {
  ++body_requests;
  if (body_fail_at > 0 && body_requests == body_fail_at) {
    body_fail_at = 0;
    return nullptr;
  }
  return body_alloc();
}

// Opens a new page: -1 when no memory is left.
int64_t try_open_page() {
  uint32_t number;
  if (free_count > 0) {
    number = free_numbers[free_count - 1];
  } else {
    if (page_count == page_slots && !grow_tables()) return -1;
    number = page_count;
  }
  void* body = new_body();
  if (!body) return -1;
  if (free_count > 0) {
    --free_count;
  } else {
    ++page_count;
  }
  stree_page_bodies[number] = static_cast<uint32_t*>(body);
  pages[number].freed = 0;
  pages[number].capacity = 0;
  ++pages_in_use;
  return number;
}

// The child index only saves time: when memory runs out, the records come
// first, and whatever the index holds is given back before the pool gives
// up.
int64_t open_page() {
  int64_t number = try_open_page();
  if (number < 0 && stree_index_release()) number = try_open_page();
  return number;
}

// Releases a page whose records have all been handed out and returned.
void release_page(uint32_t number) {
  body_free(stree_page_bodies[number]);
  stree_page_bodies[number] = nullptr;
  free_numbers[free_count++] = number;
  --pages_in_use;
}

// The current page is full once the smallest record no longer fits, or a
// node does not fit in what is left (one unit, which stays unused).
void close_current_page() {
  const uint32_t number = static_cast<uint32_t>(current_page);
  current_page = -1;
  next_unit = 0;
  if (pages[number].freed == pages[number].capacity) release_page(number);
}

stree_ref take(kind k) {
  ++requests;
  if (fail_at > 0 && requests == fail_at) {
    fail_at = 0;
    return STREE_NONE;
  }
  if (current_page >= 0 && next_unit + kUnits[k] > kPageUnits)
    close_current_page();
  if (current_page < 0) {
    current_page = open_page();
    if (current_page < 0) return STREE_NONE;
  }
  const uint32_t number = static_cast<uint32_t>(current_page);
  const uint32_t unit = next_unit;
  next_unit += kUnits[k];
  ++pages[number].capacity;
  if (next_unit == kPageUnits) close_current_page();
  return ((number + 1) << 12) | unit;
}

}  // namespace

uint32_t** stree_page_bodies = nullptr;

void int_stree_set_edgestr(suffix_tree* tree, stree_ref node,
                           uint32_t edgestr) {
  stree_node* n = int_stree_node(node);
  n->edgestr = edgestr;
  const char* s = tree->strings[stree_pos_strid(edgestr)];
  n->code = s ? tree->char_map[static_cast<unsigned char>(
                    s[stree_pos_offset(edgestr)]) & 0x7f]
              : 0;
}

stree_ref int_stree_new_node(suffix_tree* tree, uint32_t edgestr,
                             int32_t edgelen) {
  stree_ref r = take(NODE);
  if (r == STREE_NONE) return r;
  stree_node* n = int_stree_node(r);
  n->edgelen = edgelen;
  if (edgelen > 0) int_stree_set_edgestr(tree, r, edgestr);
  return r;
}

stree_ref int_stree_new_leaf(suffix_tree* tree, int32_t strid,
                             int32_t edgepos) {
  stree_ref r = take(LEAF);
  if (r == STREE_NONE) return r;
  stree_leaf* l = int_stree_leaf(r);
  unsigned char c = static_cast<unsigned char>(tree->strings[strid][edgepos]);
  l->header = STREE_LEAF_BIT |
              (static_cast<uint32_t>(tree->char_map[c & 0x7f])
               << STREE_FIRST_CHAR_SHIFT);
  l->strpos = stree_pack_pos(strid, edgepos);
  return r;
}

stree_ref int_stree_new_endrec(suffix_tree*, int32_t strid, int32_t pos) {
  stree_ref r = take(ENDREC);
  if (r == STREE_NONE) return r;
  int_stree_endrec(r)->strpos = stree_pack_pos(strid, pos);
  return r;
}

void int_stree_free_record(suffix_tree*, stree_ref record) {
  uint32_t number = (record >> 12) - 1;
  STREE_ASSERT(record != STREE_NONE && number < page_count &&
               stree_page_bodies[number] != nullptr);
  stree_page& page = pages[number];
  if (++page.freed == page.capacity && number != current_page)
    release_page(number);
}

void stree_pool_fail_at(long n) { fail_at = n > 0 ? requests + n : 0; }
void stree_pool_fail_body_at(long n) {
  body_fail_at = n > 0 ? body_requests + n : 0;
}
long stree_pool_requests() { return requests; }
long stree_pool_pages_in_use() { return pages_in_use; }
