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
// also miss the TLB.  A released body and its page number are kept for the
// next page opened.
//
// In sanitized builds a read through a stale reference must be caught, so
// nothing is reused there: every body is a heap block of its own, freed on
// release while its number keeps pointing at it (AddressSanitizer reports
// the read as a use after free); page numbers are not handed out again until
// all of them have been used; and every record given back is poisoned.
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define STREE_POOL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STREE_POOL_SANITIZED 1
#endif
#endif

#ifdef STREE_POOL_SANITIZED
#include <sanitizer/asan_interface.h>
#elif defined(__linux__)
#include <sys/mman.h>
#endif

#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

constexpr uint32_t kPageWords = 6912;  // 27,648 bytes
constexpr uint32_t kPageUnits = kPageWords / STREE_UNIT_WORDS;
constexpr uint32_t kMaxPages = (1u << STREE_REF_PAGE_BITS) - 1;

static_assert(kPageUnits <= STREE_REF_OFFSET_MASK + 1,
              "every unit of a page fits a reference's offset");

struct stree_page {
  uint32_t freed;     // records given back; kReleased once released
  uint32_t capacity;  // records handed out (final once the page is full)
  uint32_t slot;      // its place in its tree's list of pages
};

constexpr uint32_t kReleased = 0xffffffffu;

enum kind { NODE = 0, LEAF = 1, ENDREC = 2 };

constexpr uint32_t kUnits[3] = {STREE_NODE_UNITS, STREE_LEAF_UNITS,
                                STREE_ENDREC_UNITS};  // per record kind

stree_page* pages = nullptr;        // header of each page, by number
uint32_t page_slots = 0;            // entries allocated in the two tables
uint32_t page_count = 0;            // page numbers ever used
uint32_t* free_numbers = nullptr;   // released page numbers, for reuse
uint32_t free_count = 0;
long pages_in_use = 0;

long requests = 0;
long body_requests = 0;
long body_fail_at = 0;  // page body request that fails; 0 = never
long fail_at = 0;  // request number that fails; 0 = never

#ifdef STREE_POOL_SANITIZED

void* body_alloc() { return std::calloc(kPageWords, sizeof(uint32_t)); }
void body_free(void* body) { std::free(body); }
constexpr bool kReuseNumbers = false;

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
constexpr bool kReuseNumbers = true;

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

// Opens a new page: -1 when no memory is left.  A released page number is
// taken again only where reuse is allowed, or once every number is used.
int64_t try_open_page() {
  const bool fresh = page_count < kMaxPages && (!kReuseNumbers || free_count == 0);
  if (!fresh && free_count == 0) return -1;
  if (fresh && page_count == page_slots && !grow_tables()) return -1;
  const uint32_t number = fresh ? page_count : free_numbers[free_count - 1];
  void* body = new_body();
  if (!body) return -1;
  if (fresh) {
    ++page_count;
  } else {
    --free_count;
  }
  stree_page_bodies[number] = static_cast<uint32_t*>(body);
  pages[number].freed = 0;
  pages[number].capacity = 0;
  ++pages_in_use;
  return number;
}

// Makes room in the tree's list for one more page.
bool reserve_tree_page(stree_tree_pages& own) {
  if (own.count < own.capacity) return true;
  const uint32_t want = own.capacity ? 2 * own.capacity : 16;
  void* grown = std::realloc(own.numbers, want * sizeof(uint32_t));
  if (!grown) return false;
  own.numbers = static_cast<uint32_t*>(grown);
  own.capacity = want;
  return true;
}

// Opens a page for the tree's records.  The child index only saves time:
// when memory runs out, the records come first, and whatever the tree's
// index holds is given back before the pool gives up.
int64_t open_page(suffix_tree* tree) {
  stree_tree_pages& own = tree->pages;
  if (!reserve_tree_page(own)) return -1;
  int64_t number = try_open_page();
  if (number < 0 && stree_index_release(tree)) number = try_open_page();
  if (number < 0) return -1;
  pages[number].slot = own.count;
  own.numbers[own.count++] = static_cast<uint32_t>(number);
  return number;
}

// Releases a page whose records have all been handed out and returned, or
// whose tree is deleted.  In sanitized builds the number keeps pointing at
// the freed body.
void release_page(uint32_t number) {
  body_free(stree_page_bodies[number]);
  if (kReuseNumbers) stree_page_bodies[number] = nullptr;
  pages[number].freed = kReleased;
  free_numbers[free_count++] = number;
  --pages_in_use;
}

// Takes a page out of its tree's list and releases it.
void release_tree_page(stree_tree_pages& own, uint32_t number) {
  const uint32_t slot = pages[number].slot;
  const uint32_t moved = own.numbers[--own.count];
  own.numbers[slot] = moved;
  pages[moved].slot = slot;
  release_page(number);
}

// The current page is full once the smallest record no longer fits, or a
// node does not fit in what is left (one unit, which stays unused).
void close_current_page(stree_tree_pages& own) {
  const uint32_t number = static_cast<uint32_t>(own.current);
  own.current = -1;
  own.next_unit = 0;
  if (pages[number].freed == pages[number].capacity)
    release_tree_page(own, number);
}

stree_ref take(suffix_tree* tree, kind k) {
  ++requests;
  if (fail_at > 0 && requests == fail_at) {
    fail_at = 0;
    return STREE_NONE;
  }
  stree_tree_pages& own = tree->pages;
  if (own.current >= 0 && own.next_unit + kUnits[k] > kPageUnits)
    close_current_page(own);
  if (own.current < 0) {
    own.current = open_page(tree);
    if (own.current < 0) return STREE_NONE;
  }
  const uint32_t number = static_cast<uint32_t>(own.current);
  const uint32_t unit = own.next_unit;
  own.next_unit += kUnits[k];
  ++pages[number].capacity;
  if (own.next_unit == kPageUnits) close_current_page(own);
  return stree_make_ref(number, unit);
}

}  // namespace

uint32_t** stree_page_bodies = nullptr;

void int_stree_set_edgestr(suffix_tree* tree, stree_ref node,
                           stree_pos edgestr) {
  stree_node* n = int_stree_node(node);
  n->edgestr = edgestr;
  const char* s = tree->strings[stree_pos_strid(edgestr)];
  n->code = s ? int_stree_code_of(tree, s[stree_pos_offset(edgestr)]) : 0;
}

stree_ref int_stree_new_node(suffix_tree* tree, stree_pos edgestr,
                             int32_t edgelen) {
  stree_ref r = take(tree, NODE);
  if (r == STREE_NONE) return r;
  stree_node* n = int_stree_node(r);
  n->edgelen = edgelen;
  if (edgelen > 0) int_stree_set_edgestr(tree, r, edgestr);
  return r;
}

stree_ref int_stree_new_leaf(suffix_tree* tree, int32_t strid,
                             int32_t edgepos) {
  stree_ref r = take(tree, LEAF);
  if (r == STREE_NONE) return r;
  stree_leaf* l = int_stree_leaf(r);
  l->header =
      int_stree_leaf_header(int_stree_code_of(tree, tree->strings[strid][edgepos]));
  l->strpos = stree_pack_pos(strid, edgepos);
  return r;
}

stree_ref int_stree_new_endrec(suffix_tree* tree, int32_t strid, int32_t pos) {
  stree_ref r = take(tree, ENDREC);
  if (r == STREE_NONE) return r;
  int_stree_endrec(r)->strpos = stree_pack_pos(strid, pos);
  return r;
}

void int_stree_free_record(suffix_tree* tree, stree_ref record) {
  const uint32_t number = stree_ref_page(record);
  STREE_ASSERT(record != STREE_NONE && number < page_count &&
               pages[number].freed != kReleased);
  stree_page& page = pages[number];
#ifdef STREE_POOL_SANITIZED
  // The first unit holds what every read of a record starts with.
  ASAN_POISON_MEMORY_REGION(int_stree_words(record),
                            STREE_UNIT_WORDS * sizeof(uint32_t));
#endif
  if (++page.freed == page.capacity && number != tree->pages.current)
    release_tree_page(tree->pages, number);
}

void int_stree_release_pages(suffix_tree* tree) {
  stree_tree_pages& own = tree->pages;
  for (uint32_t i = 0; i < own.count; ++i) release_page(own.numbers[i]);
  std::free(own.numbers);
  own = stree_tree_pages();
}

void stree_pool_fail_at(long n) { fail_at = n > 0 ? requests + n : 0; }
void stree_pool_fail_body_at(long n) {
  body_fail_at = n > 0 ? body_requests + n : 0;
}
long stree_pool_requests() { return requests; }
long stree_pool_pages_in_use() { return pages_in_use; }

STREE_NS_END
