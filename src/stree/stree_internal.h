// The tree module's inside: the tree object, the internal operations every
// part of the module is built from, and the hooks the tests use.  Not
// installed; stree.h is the library's public interface.
//
// Invariants of a tree built by successful insertions
//   * The children of a node form one list through `link`, sorted by
//     ascending code of their first character, one child per code; the last
//     child has last_sibling set and its link is the parent.  The root has
//     last_sibling set and link none.
//   * Every suffix of every stored string ends exactly at a leaf or at an
//     internal node carrying an end record for it.
//   * Every internal node other than the root has two or more children or
//     at least one end record, and a suffix link.
//   * num_nodes counts the internal nodes and leaves, root included; it never
//     exceeds STREE_MAX_NODES.
//   * Edge labels point into stored strings; every label directly follows, in
//     its own string, an occurrence of its parent's path label.
// A failed insertion is rolled back; it can leave behind a node that carries
// only another string's end record, has no children and lacks its suffix
// link.  Such a node gets its link when a later insertion first passes
// through it.
#ifndef VOK_STREE_STREE_INTERNAL_H
#define VOK_STREE_STREE_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "bits.h"
#include "child_index.h"
#include "records.h"
#include "stree.h"

STREE_NS_BEGIN

// A character's code is char_map[byte]; bytes outside the alphabet map to
// this, which no stored character has, so they match nothing.
constexpr unsigned char STREE_NO_CODE = 0xff;

#if defined(STREE_WIDE)
// A run of text offsets given to one string (suffix_tree::spans).
struct stree_span {
  uint32_t base;  // its first offset
  int32_t slot;   // the slot that held the string
};
constexpr int STREE_STRETCH_BITS = 8;
constexpr uint32_t STREE_STRETCH_OFFSETS = 1u << STREE_STRETCH_BITS;
// Offsets lie below this: a record's word holds any offset below it.
constexpr uint64_t STREE_OFFSET_LIMIT = uint64_t{1} << 32;
#endif

// Where records are cut from, by space: the current page, or -1, and its
// first free unit.
struct stree_pool_cursor {
  int64_t current[STREE_SPACES];
  uint32_t next_unit[STREE_SPACES] = {};

  stree_pool_cursor() {
    for (int64_t& page : current) page = -1;
  }
};

// The pool pages that hold a tree's records: every page holds the records
// of one tree, so a tree is deleted page by page.
struct stree_tree_pages {
  stree_pool_cursor cursor;
  uint32_t* keys = nullptr;  // the tree's pages (space, number), in no order
  uint32_t count = 0;
  uint32_t capacity = 0;
};

// A lane of the pool: records of one tree made on a thread of its own,
// beside other lanes of the same tree (int_stree_pool_open_lanes).  Each
// lane cuts records from pages of its own; only opening a page takes the
// pool's lock.  A lane is written at every record, so its thread keeps it
// where no other thread writes (its own stack).
struct stree_pool_lane {
  stree_pool_cursor cursor;
  // Records cut from each current page: a page's header learns its count
  // when the page is closed, so that lanes do not write one cache line of
  // headers at every record.
  uint32_t on_page[STREE_SPACES] = {};
  uint32_t* keys = nullptr;  // the pages it opened, in order
  uint32_t count = 0;
  uint32_t capacity = 0;
  long made = 0;  // records made
};

// Suffix links that a build in one go left to be set later (int_stree_build
// with `links` false; int_stree_set_links sets them).  Linking on threads
// first indexes the nodes of many children, which the build notes when it
// runs on threads: `wide` holds them (malloc'd), noted for `parts` threads.
struct stree_pending_links {
  int pending;
  int parts;
  stree_ref* wide;
  size_t wide_count;
};

struct suffix_tree {
  stree_ref root;            // internal node with an empty edge
  stree_count num_nodes;     // internal nodes and leaves, root included
  char** strings;            // `slots` text pointers; null = free
  int32_t* lengths;          // length of each stored string
  int32_t* ids;              // the caller's id of each stored string
  int32_t slots;             // entries of the three arrays (grown in blocks)
  int32_t next_free;         // lowest free slot; STREE_MAX_STRINGS when full
  int copy_strings;          // the table owns private copies of its strings
  int alphabet_size;         // codes below this are accepted
  int renumber_pending;      // node_id values are stale
  stree_pending_links unlinked;  // pending: suffix links are not set
  unsigned char char_map[256];  // byte -> code; STREE_NO_CODE outside
  stree_tree_pages pages;    // where its records lie
  stree_child_index index;   // finds children of nodes with many children
  // While stree_remove_suffixes runs, nodes that leave the tree wait here
  // (chained through their children word) until it ends (remove.cpp).
  int removing;
  stree_ref dead_nodes;
  // Copies stored by int_stree_table_append, end to end with their NULs:
  // block_used bytes in use of block_room; freed with the tree.
  char* block;
  size_t block_used, block_room;
#if defined(STREE_WIDE)
  // Text offsets, the positions records keep (table.cpp): each stored string
  // has the run [bases[slot], bases[slot] + length] of its own, taken in
  // the order strings come; a removed string's run is not reused until
  // the runs are made dense again (every record's offset rewritten).
  uint32_t* bases;           // `slots` entries: the first offset of each slot
  stree_span* spans;         // every run given since the last rewrite, in order
  uint32_t span_count;
  size_t span_room;
  // For every STREE_STRETCH_OFFSETS offsets, the span that holds the first
  // of them; one entry more holds an upper bound of the last's.
  uint32_t* stretch_first;
  size_t stretch_room;
  uint64_t next_offset;      // where the next run starts
  uint64_t live_offsets;     // offsets of the strings stored now
  uint64_t offset_limit;     // offsets lie below it; 0: STREE_OFFSET_LIMIT
  // Set once a stored string does not lie in the block at its own offset
  // (strings[slot] != block + bases[slot]); clear, the offset finds the
  // text without the table (a tree filled by int_stree_table_append alone,
  // as the core fills its trees).
  int offsets_apart;
#endif
};

#if defined(STREE_WIDE)
// Positions kept in records, to and from the packed form.  An offset is
// turned back into its slot by a search among the spans that start within
// its stretch of the offsets: one or two in a table of documents.
inline stree_pos int_stree_pos(const suffix_tree* tree, stree_pos_field f) {
  const uint32_t* first = tree->stretch_first + (f.at >> STREE_STRETCH_BITS);
  uint32_t lo = first[0], hi = first[1];
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo + 1) / 2;
    if (tree->spans[mid].base <= f.at)
      lo = mid;
    else
      hi = mid - 1;
  }
  const stree_span& s = tree->spans[lo];
  return stree_pack_pos(s.slot, static_cast<int32_t>(f.at - s.base));
}
inline void int_stree_set_pos(const suffix_tree* tree, stree_pos_field& f, stree_pos p) {
  f.at = tree->bases[stree_pos_strid(p)] + static_cast<uint32_t>(stree_pos_offset(p));
}
// The text at a record's position.
inline const char* int_stree_text_at(const suffix_tree* tree, stree_pos_field f) {
  if (!tree->offsets_apart) return tree->block + f.at;
  const stree_pos p = int_stree_pos(tree, f);
  return tree->strings[stree_pos_strid(p)] + stree_pos_offset(p);
}
#else
inline stree_pos int_stree_pos(const suffix_tree*, stree_pos_field f) { return f; }
inline void int_stree_set_pos(const suffix_tree*, stree_pos_field& f, stree_pos p) { f = p; }
inline const char* int_stree_text_at(const suffix_tree* tree, stree_pos_field f) {
  return tree->strings[stree_pos_strid(f)] + stree_pos_offset(f);
}
#endif

// The code of a character.
inline int int_stree_code_of(const suffix_tree* tree, char c) {
  return tree->char_map[static_cast<unsigned char>(c)];
}

// ===== Node pool (pool.cpp) ================================================
// Records are handed out from zero-filled pages of 27,648 bytes (2304 units
// of 12 bytes; a node takes two units, a leaf or an end record one).  All
// kinds come from one current page per tree, in the order they are asked
// for; a page is full once the next record does not fit.  A full page is
// released once every record it handed out has been given back, and every
// page of a tree when the tree is deleted.  Slots are never reused.
// When the system refuses a page, the tree's child index is given back and
// the page asked for again.
// The pool is shared by the process.  Records are made by one thread at a
// time, except in lanes: a build in one go (build.cpp) makes the records
// of disjoint subtrees on several threads, each through a lane of its own.
// The page tables are grown for all of the lanes' pages before they start,
// so no table moves while a lane reads a record through it, and each lane
// writes only the headers of its own pages; a page is opened under the
// pool's lock.  Every other thread of a build makes no record: it reads
// records or writes words of records that it alone owns (a node's suffix
// link).
// A new internal node with the given packed edge start and length, all other
// words zero; STREE_NONE when memory runs out.
// With a lane, the record comes from the lane's pages (and is not a
// request that a test's failure counts); so for the two below.
stree_ref int_stree_new_node(suffix_tree* tree, stree_pos edgestr,
                             int32_t edgelen, stree_pool_lane* lane = nullptr);
// A new leaf for string strid whose edge starts at edgepos; first_char is set
// from the stored string.  STREE_NONE when memory runs out.
stree_ref int_stree_new_leaf(suffix_tree* tree, int32_t strid,
                             int32_t edgepos, stree_pool_lane* lane = nullptr);
// A new end record for the suffix of strid starting at pos; next and
// children zero.  STREE_NONE when memory runs out.
stree_ref int_stree_new_endrec(suffix_tree* tree, int32_t strid, int32_t pos,
                               stree_pool_lane* lane = nullptr);
// The same records for the build in one go, which has each position in the
// form a record keeps it (`at`) and the code of a label's first character
// at hand: nothing is looked up in the tree's tables or its text.
stree_ref int_stree_new_leaf_kept(suffix_tree* tree, stree_pos_field at, int code,
                                  stree_pool_lane* lane);
stree_ref int_stree_new_endrec_kept(suffix_tree* tree, stree_pos_field at,
                                    stree_pool_lane* lane);
void int_stree_set_edgestr_kept(stree_ref node, stree_pos_field at, int code);
// Readies the pool for `count` lanes (empty ones, in the caller's memory)
// that between them make at most `nodes` internal nodes and `ends` leaves
// and as many end records for the tree: grows the page tables and the
// tree's list of pages for every page they could open.  False, with
// nothing to undo, when memory runs out or a test has armed a failure of a
// record request (whose requests must then come in one order; a page
// body's failure may hit any lane, under the lock).
bool int_stree_pool_open_lanes(suffix_tree* tree, int count, uint64_t nodes, uint64_t ends);
// Once the lanes' threads are done, whatever their outcome: their pages join
// the tree's list, lane after lane (so the order of making runs through the
// lanes in turn), and the lanes are emptied.
void int_stree_pool_close_lanes(suffix_tree* tree, stree_pool_lane* lanes, int count);
// Maps ahead, untouched, the blocks of pages that `ends` more leaves and
// end records will certainly fill beyond the page bodies the pool has at
// hand, and returns how many it mapped (none when memory runs out, which
// is no failure: the records then map their own).  A build in one go knows
// this count (one per suffix) before it sorts, and another thread can then
// have the system back the blocks while the sorting runs on this one
// (int_stree_pool_touch_ahead): on a machine where the first write to
// fresh memory costs (a virtual machine's host backing it, the kernel
// zeroing it), that cost leaves the records' phase.  Not sanitized builds
// (their pages are heap blocks of their own): 0.
size_t int_stree_pool_map_ahead(uint64_t ends);
// Writes a zero to every page of the blocks mapped ahead and not yet
// carved from (they read as zeros already), or stops early once `stop` is
// set.  From any one thread, while no other pool call runs.
void int_stree_pool_touch_ahead(const std::atomic<bool>& stop);
// Sets an internal node's edge start and its cached first code.
void int_stree_set_edgestr(suffix_tree* tree, stree_ref node, stree_pos edgestr);
// Gives any record back to the pool.
void int_stree_free_record(suffix_tree* tree, stree_ref record);
// The place, in the order the tree's pages were opened, of every page of
// `space` the tree holds, by page number, in a table of the pool's page
// count of that space, taken as the build's allocations are
// (int_stree_build_take; std::free gives it back; the entries of other
// pages are unset); nullptr when memory runs out.  While no page of the
// tree has been released, a record made later lies on a page of the same or
// a higher place, whichever page numbers the pool handed out (it hands out
// released numbers first, so the numbers follow the order of making only
// in a fresh process).
uint32_t* int_stree_page_places(const suffix_tree* tree, uint32_t space);
// Releases every page of the tree's records at once (the tree is going).
void int_stree_release_pages(suffix_tree* tree);
// Hands the system back the memory of the page bodies not yet carved from
// the pool's current blocks: what a build touched ahead for records it
// never made would otherwise sit idle beside the tables that readers make.
// Those bodies read as zeros afterwards, as fresh ones do, so nothing
// changes for later pages (they are taken from the same place, page by page
// as the system gives them).
void int_stree_pool_trim();
// Records passed for good.  A walk that reads every record of a tree for
// the last time (the core's counting walk, when nothing reads the tree
// after it) hands each record over once it has read it for the last time;
// once every record of a page is handed over, the page's memory goes back
// to the system, so that what the walk writes takes the place of what it
// has read.  The tree is then fit for nothing but stree_delete_tree; its
// string table and text stay.  Walks on threads side by side share the
// counts (each keeps a cursor of its own); a page's count is told once per
// run of records from it, by an atomic addition.  A page whose records are
// all passed goes back at once when the walk runs alone; with threads the
// pages wait until they hold a sixty-fourth of the tree's (at least 256 KiB,
// at most kBatch pages) and go back in address order, neighbours in one
// call: in a process that has run threads every call costs a TLB flush on
// each core it ran on, and one call per page took 0.4 s more of system
// time with two threads on the package lists.  In sanitized builds a page
// is poisoned instead, at once, so that any later read of it is caught.
struct stree_passed_pages {
  static constexpr uint32_t kBatch = 256;
  static constexpr size_t kLeastBatchBytes = size_t{1} << 18;
  struct body {
    char* at;
    size_t bytes;
  };
  uint32_t* passed[STREE_SPACES] = {};  // records handed over, by page number
  size_t batch_bytes = 0;               // the pages go back beyond this
  std::mutex lock;                      // over the pages waiting to go back
  body done[kBatch];
  uint32_t done_count = 0;
  size_t done_bytes = 0;
};
// Counts for every page of the pool, for walks of the tree on `threads`
// threads; false when memory runs out.
bool int_stree_passing_open(const suffix_tree* tree, int threads, stree_passed_pages* pages);
// Gives back the pages still waiting, and frees the counts.
void int_stree_passing_close(stree_passed_pages* pages);
// One walk's run of records handed over from the same page, by space.
struct stree_pass_cursor {
  stree_passed_pages* pages;
  int64_t page[STREE_SPACES];
  uint32_t run[STREE_SPACES];

  explicit stree_pass_cursor(stree_passed_pages* p) : pages(p) {
    for (int s = 0; s < STREE_SPACES; ++s) {
      page[s] = -1;
      run[s] = 0;
    }
  }
};
// Adds the cursor's run in `space` to its page's count, and gives the page
// back once the count holds every record on it.
void int_stree_pass_flush(stree_pass_cursor* cursor, uint32_t space);
// Hands record r over: nothing of it is read from now on.
inline void int_stree_pass(stree_pass_cursor* cursor, stree_ref r) {
  const uint32_t space = stree_ref_space(r);
  const int64_t page = stree_ref_page(r);
  if (cursor->page[space] != page) {
    int_stree_pass_flush(cursor, space);
    cursor->page[space] = page;
  }
  ++cursor->run[space];
}
// Tells every run the cursor holds; a walk's last step.
inline void int_stree_pass_end(stree_pass_cursor* cursor) {
  for (uint32_t s = 0; s < STREE_SPACES; ++s) int_stree_pass_flush(cursor, s);
}
// The bytes of the pages that hold the tree's records.
size_t int_stree_pages_bytes(const suffix_tree* tree);
// The internal nodes of the tree, root included, from the pool's counts:
// every suffix of a stored string ends at one leaf or end record, so the
// records the tree holds less the stored bytes are its internal nodes.
// Not while a removal runs (its dead nodes are still held).
uint64_t int_stree_internal_count(const suffix_tree* tree);
// The bytes a record of a kind takes in its page: 0 internal node, 1 leaf,
// 2 end record.
constexpr int STREE_KIND_NODE = 0, STREE_KIND_LEAF = 1, STREE_KIND_ENDREC = 2;
size_t int_stree_record_bytes(int kind);
// Whether `bytes` more memory could be had now: a mapping of that size is
// asked for and given back at once, untouched.
bool int_stree_can_reserve(size_t bytes);
// Memory straight from the system, aligned to STREE_HUGE_BYTES and offered
// to the kernel for huge pages: the child index is read in an order
// unrelated to its addresses, and with 4 KiB pages most of those reads
// would also miss the TLB.  `bytes` is a multiple of STREE_HUGE_BYTES;
// nullptr when memory runs out.  On Linux the memory is a mapping of
// exactly `bytes` (munmap gives it back); elsewhere it comes from
// aligned_alloc.  Either way it reads as zeros.  With `offer` false the
// memory is not offered (it is then resident page by page as it is
// touched, not huge page by huge page): the pool's record blocks.
constexpr size_t STREE_HUGE_BYTES = size_t{2} << 20;
void* int_stree_huge_map(size_t bytes, bool offer = true);
// Gives back memory from int_stree_huge_map, `bytes` as asked for.
void int_stree_huge_unmap(void* area, size_t bytes);
// Offers the whole huge pages inside [p, p + bytes), memory taken from
// malloc or elsewhere, to the kernel as huge pages: for arrays read or
// written all over.  A hint only; nothing changes where the kernel declines.
void int_stree_offer_huge_pages(void* p, size_t bytes);
// malloc(bytes) for an array read or written all over: offered as huge
// pages when it spans at least two (a smaller one holds at most one whole
// huge page).  nullptr when memory runs out; std::free gives it back.
void* int_stree_alloc_scattered(size_t bytes);
// Hands the whole pages inside [p, p + bytes) of such an array back to the
// system while the array lives on: for the part of a big array that will not
// be read again, so that its memory can go to what is made from it.  The
// pages read as zero afterwards; std::free still takes the whole array.
void int_stree_drop_read_part(void* p, size_t bytes);

// ===== String table (table.cpp) ============================================

// Stores text[0..len) under the lowest free slot.  With copy_strings the
// text must be NUL-terminated at len.  Returns the slot, or -1 when the table
// is full, a byte lies outside the alphabet, or no memory is left; the table
// is then unchanged.
int32_t int_stree_table_add(suffix_tree* tree, const char* text, int32_t len,
                            int32_t id);
// Empties a slot (frees the copy when copy_strings); nothing when empty.
void int_stree_table_release(suffix_tree* tree, int32_t slot);

// ===== Navigation (navigate.cpp) ==========================================
// Every operation here only reads the tree and takes no memory.

inline bool int_stree_isaleaf(const suffix_tree*, stree_ref r) {
  return (int_stree_header(r) & STREE_LEAF_BIT) != 0;
}
// Gives record x its preorder number where it keeps one (a leaf of the
// wide tree keeps none); the walks that number the tree call it for every
// record, counting leaves either way.
inline void int_stree_number(const suffix_tree* tree, stree_ref x, uint32_t id) {
  if (STREE_LEAF_NUMBERS || !int_stree_isaleaf(tree, x)) int_stree_set_id(x, id);
}
// Pointer to the first character of the record's edge label (nullptr for
// the root).
inline const char* int_stree_edge_string(const suffix_tree* tree,
                                         stree_ref r) {
  if (int_stree_isaleaf(tree, r)) return int_stree_text_at(tree, int_stree_leaf(r)->strpos);
  if (int_stree_node(r)->edgelen == 0) return nullptr;  // the root
  return int_stree_text_at(tree, int_stree_node(r)->edgestr);
}
inline int32_t int_stree_edge_length(const suffix_tree* tree, stree_ref r) {
  if (!int_stree_isaleaf(tree, r)) return int_stree_node(r)->edgelen;
  stree_pos packed = int_stree_pos(tree, int_stree_leaf(r)->strpos);
  return tree->lengths[stree_pos_strid(packed)] - stree_pos_offset(packed);
}
// The record's key among its siblings: the code of its edge label's first
// character (kept in the record for leaves and internal nodes alike).
inline int int_stree_code(const suffix_tree* tree, stree_ref r) {
  if (int_stree_isaleaf(tree, r))
    return static_cast<int>(int_stree_header(r) >> STREE_FIRST_CHAR_SHIFT);
  return static_cast<int>(int_stree_node_code(r));
}
// The word holding an internal node's first child: the head end record's
// children word when the node has end records, its own otherwise.
inline stree_ref& int_stree_first_child_ref(stree_ref node) {
  stree_node* n = int_stree_node(node);
  return int_stree_has_endrecs(node) ? int_stree_endrec(n->children)->children
                                     : n->children;
}
// First child of a record (STREE_NONE for a leaf or a childless node).
inline stree_ref int_stree_first_child(const suffix_tree* tree, stree_ref r) {
  if (int_stree_isaleaf(tree, r)) return STREE_NONE;
  return int_stree_first_child_ref(r);
}
// Next sibling, or STREE_NONE for a last child.
inline stree_ref int_stree_next_sibling(stree_ref r) {
  return int_stree_is_last(r) ? STREE_NONE : int_stree_link(r);
}

// The child whose code equals the code of ch (low 8 bits), or STREE_NONE
// (also for a byte outside the alphabet).  An indexed node answers from its
// index block; otherwise the sibling list is walked.
stree_ref int_stree_find_child(const suffix_tree* tree, stree_ref node,
                               int ch);
// The same for insertion, the one writer of the index: a walk that passes
// the index's threshold of siblings gives its node a block.
stree_ref int_stree_find_child_indexing(suffix_tree* tree, stree_ref node,
                                        int ch);
// The same by the child's code (the code of its edge's first character).
stree_ref int_stree_find_code_indexing(suffix_tree* tree, stree_ref node,
                                       int code);
// The same without indexing, for a thread that shares the tree with
// others: it only reads.
stree_ref int_stree_find_code(const suffix_tree* tree, stree_ref node, int code);
// The parent; STREE_NONE for the root.
stree_ref int_stree_get_parent(const suffix_tree* tree, stree_ref r);
// Start position, in its string, of the suffix a leaf stands for.
int32_t int_stree_get_leafpos(const suffix_tree* tree, stree_ref leaf);
// Number of children (0 for a leaf).
int int_stree_num_children(const suffix_tree* tree, stree_ref r);
// Suffixes ending exactly here: 1 for a leaf, the end records of a node.
// Inline: the counting walk asks it of every record.
inline int int_stree_num_ends(const suffix_tree* tree, stree_ref r) {
  if (int_stree_isaleaf(tree, r)) return 1;
  if (!int_stree_has_endrecs(r)) return 0;
  int n = 0;
  for (stree_ref e = int_stree_node(r)->children; e != STREE_NONE;
       e = int_stree_endrec(e)->next)
    ++n;
  return n;
}
// STREE_NONE for the root; the suffix_link word for an internal node (none
// only for a node a failed insertion left behind); for a leaf the record at
// which its suffix one character shorter ends, found by skip/count from the
// parent's suffix link.  The leaf's parent must have its link: every parent
// of a leaf has, but while an insertion runs or is rolled back.
stree_ref int_stree_leaf_suffix_link(const suffix_tree* tree, stree_ref r);

// Walks text[0..len) down from edge position (record, pos) through internal
// nodes only.  Returns the characters matched; the stop point goes to
// *out_record / *out_pos.  Entering a leaf stops at (leaf, 0) without
// counting the leaf's first character.
int32_t int_stree_walk_to_leaf(const suffix_tree* tree, stree_ref record,
                               int32_t pos, const char* text, int32_t len,
                               stree_ref* out_record, int32_t* out_pos);

// ===== Numbering (traverse.cpp) =============================================

// Gives every node and leaf its preorder node_id (children in list order,
// that is, path labels in byte order) when renumber_pending is set; no
// stack, no extra memory.  Numbers go stale with any later add or remove.
void int_stree_renumber(suffix_tree* tree);
// For a caller that has given every record its preorder number itself
// (int_stree_number, in the same order as int_stree_renumber), during a
// walk of its own: the numbers are current again.
inline void int_stree_numbered(suffix_tree* tree) { tree->renumber_pending = 0; }
// The preorder number of a leaf while the numbers are current, where leaves
// keep none (the wide tree): the number of the first internal node after it
// in preorder, less the leaves between, found by stepping along siblings
// and up to parents (the end of the tree counts as num_nodes).  Costs the
// siblings passed and the levels climbed; allocates nothing.
uint32_t int_stree_leaf_number(const suffix_tree* tree, stree_ref leaf);

// ===== Structural edits (edit.cpp) ========================================

// Puts new_child in old_child's place among parent's children.  1 on
// success; 0 with nothing changed when old_child is not a child of parent.
int int_stree_replace_child(suffix_tree* tree, stree_ref parent,
                            stree_ref old_child, stree_ref new_child);
// Adds child to parent in code order.  Returns the parent now holding it (a
// new node when parent was a leaf), or STREE_NONE when a child with the same
// code exists or memory runs out.
stree_ref int_stree_add_child(suffix_tree* tree, stree_ref parent,
                              stree_ref child);
// Splits the record's edge after len characters; returns the new upper node,
// or STREE_NONE (tree unchanged, apart from renumber_pending) on refusal or
// failure.
stree_ref int_stree_split_edge(suffix_tree* tree, stree_ref record,
                               int32_t len);
// The same for a record whose parent the caller knows (insertion does),
// which saves the walk along the rest of the sibling list to find it.
stree_ref int_stree_split_child(suffix_tree* tree, stree_ref parent,
                                stree_ref record, int32_t len);
// Replaces a leaf by an internal node carrying the leaf's suffix as an end
// record; returns that node, the record itself for a node, or STREE_NONE.
stree_ref int_stree_leaf_to_node(suffix_tree* tree, stree_ref record);
// Hangs an end record (strid, pos) on an internal node: 1, or 0 for a leaf
// or no memory.  With a lane the record comes from the lane's pages.
int int_stree_add_endrec(suffix_tree* tree, stree_ref node, int32_t strid,
                         int32_t pos, stree_pool_lane* lane = nullptr);
// The same with the position as a record keeps it (the build in one go).
int int_stree_add_endrec_kept(suffix_tree* tree, stree_ref node, stree_pos_field at,
                              stree_pool_lane* lane);
// Moves the start of a record's edge label by delta characters within its
// string: positive shortens the edge at its front, negative lengthens it
// (a leaf's first_char follows).  Used by splitting and folding.
void int_stree_shift_edge(suffix_tree* tree, stree_ref record, int32_t delta);

// ===== Insertion (insert.cpp) ==============================================

struct stree_build_hook;
// stree_add_string that tells `hook` (may be null) how far it has got, as
// the phase "inserting", once in every 65,536 characters, and stops when
// the hook asks it to: 0 then, with the string taken out again as after a
// failure.
int int_stree_add_string_hooked(suffix_tree* tree, const char* text,
                                int32_t len, int32_t id,
                                const stree_build_hook* hook);

// ===== Removal (remove.cpp) ===============================================

// Removes the suffixes 0..k-1 of the string in slot id (which must still be
// stored, with those suffixes in the tree) and tidies the nodes they leave.
// Takes no memory.  This is how a failed insertion is undone.
void stree_remove_suffixes(suffix_tree* tree, int32_t id, int32_t k);

int int_stree_remove_endrec(suffix_tree* tree, stree_ref node, int32_t strid,
                            int32_t pos);
void int_stree_remove_leaf(suffix_tree* tree, stree_ref record);
void int_stree_merge_single_child(suffix_tree* tree, stree_ref node);
void int_stree_free_subtree(suffix_tree* tree, stree_ref record);
void int_stree_unlink_child(suffix_tree* tree, stree_ref parent,
                            stree_ref child);

// ===== Building all at once (sort.cpp, build.cpp) ===========================
// Instead of inserting string by string, a tree can be built in one go from
// the suffix array of all its strings: the strings are first stored end to
// end in one block (int_stree_table_append), then int_stree_build_stored
// makes every record at once.  The result is the tree that inserting the
// same strings in slot order gives, record for record (end-record order and
// which occurrence an edge label points at aside), with every suffix link.

// Every allocation of the build in one go (the sorter's, the build's stacks
// and tables, the page places) goes through these two, which count it so
// that a test can make any one fail (stree_build_fail_at): count elements
// of `size` bytes, not initialized, taken anew (offered as huge pages, as
// int_stree_alloc_scattered takes them, or with STREE_SMALL_PAGES in pages of
// the usual size) or by growing p as realloc does.  nullptr when memory runs
// out, p then kept; std::free gives them back.
enum stree_build_pages { STREE_HUGE_PAGES, STREE_SMALL_PAGES };
void* int_stree_build_take(size_t count, size_t size,
                           stree_build_pages pages = STREE_HUGE_PAGES);
void* int_stree_build_grow(void* p, size_t count, size_t size);

// The suffix array and the LCP array of a block of n bytes, n >= 1, made
// of strings that each end with one NUL byte (block[n-1] == 0) and hold no
// NUL themselves.  The order is by bytes, a NUL below every other byte, so
// the suffixes that start at a NUL come first; a NUL matches nothing, so no
// common prefix runs past a string's end.
struct int_stree_sorted {
  int32_t* sa = nullptr;         // n block positions in suffix order
  // lcp[r]: characters suffixes sa[r-1] and sa[r] share (lcp[0] = 0), or
  // STREE_LONG_LCP when they share that many or more; the exact values of
  // those are in long_lcp as (rank, length) pairs by ascending rank.
  uint8_t* lcp = nullptr;
  int32_t* long_lcp = nullptr;
  size_t long_count = 0;
};
constexpr uint8_t STREE_LONG_LCP = 255;
// The longest block the sorter takes.
constexpr int64_t STREE_MAX_SORTED = INT32_MAX - 1;

// Sorts the block's suffixes into *out (which must be empty).  1, or 0 when
// memory runs out, n lies outside 1..STREE_MAX_SORTED or the hook (which
// hears of every pass, as the phase "sorting") asks to stop, with *out
// empty.  Takes and gives back memory of its own only: about 9 bytes per
// byte at the most, counting what it hands over (5 bytes per byte), and 8
// bytes more for every LCP value of STREE_LONG_LCP or more.  No recursion.
// `threads` threads (at most 256) share the passes that split: the types
// and the first level's counts, the comparisons of the names, the
// expansion's gather and the LCP values; the same result, from the same
// allocations, for every count.
int int_stree_sort_suffixes(const unsigned char* block, int64_t n,
                            int_stree_sorted* out,
                            const stree_build_hook* hook = nullptr, int threads = 1);
// Frees what int_stree_sort_suffixes handed over; *sorted is empty after.
void int_stree_sorted_free(int_stree_sorted* sorted);

// Stores text[0..len) as int_stree_table_add does, but its copy goes to the
// end of the tree's one text block, each copy followed by its NUL, so that
// the copies of all strings stored this way lie end to end.  Only for a tree
// with copy_strings whose every string has been stored so; -1 on the same
// grounds as int_stree_table_add.  Growing the block moves it, and every
// stored string's pointer with it.
int32_t int_stree_table_append(suffix_tree* tree, const char* text,
                               int32_t len, int32_t id);

// Called now and then while a tree is built in one go: the phase
// ("sorting", "building", "linking"), the work done in it and its whole
// (0 when not known).  Returns false to stop the build.
struct stree_build_hook {
  bool (*tick)(void* data, const char* phase, int64_t done, int64_t total);
  void* data;
};

// How a build in one go ended.
enum stree_build_outcome {
  STREE_BUILD_DONE,       // the tree is built
  STREE_BUILD_UNFIT,      // the tree holds more than its root and its stored
                          // strings, or a string holds a NUL; nothing changed
  STREE_BUILD_TOO_LONG,   // more text than the sorter takes
  STREE_BUILD_NODE_LIMIT, // the tree would pass STREE_MAX_NODES
  STREE_BUILD_NO_MEMORY,  // memory ran out
  STREE_BUILD_STOPPED,    // the hook asked to stop
};

struct stree_build_result {
  stree_build_outcome outcome;
  // After STREE_BUILD_NO_MEMORY: the memory that inserting the same strings
  // one by one is expected to take at the least for its records, from the
  // records made before the failure (a lower bound before any were made:
  // one record per suffix).
  size_t insertion_needs;
};

// Builds the records of a tree that holds nothing but its root and the
// strings stored with int_stree_table_append (slots 0..count-1 in block
// order), as if each had been inserted in slot order, with its suffix links
// set in windows of `window` places in the order the records were made (a
// page's place, int_stree_page_places, then the record's offset); the tree
// built does not depend on the window, and a small one makes the link walks
// take many turns.  After any outcome but DONE and UNFIT every record is
// given back, the root too, and the tree is fit only to be deleted (its
// strings stay readable).  The child index is built as lookups need it, as
// by insertion.  `hook` may be null; it hears only from the calling thread.
// With `threads` above 1 the records are made on that many threads, each
// the subtrees of a run of the root's children (through lanes of the pool,
// when they can be had), the link walks of the children of the root are
// split among them, and so are the LCP values; the records and links made
// and the outcomes are the same for every count (only the pages the records
// lie on differ, and a hook's stop is seen at a different tick).  The child
// index differs in what it holds but not in what it answers: on threads
// the nodes with many children are indexed before the walks, which index
// nothing, where one thread indexes those its lookups pass the index's
// threshold of siblings in.  While stree_build_fail_at is armed
// the build runs on the calling thread alone, so that the failing request
// is the same one.
// With `runs`, a build that ends DONE tells how it split the records among
// threads (below).
// With `links` false a build that ends DONE leaves the suffix links unset
// (tree->unlinked.pending; they take about a sixth of a build, and reading
// features out of a tree needs them only for some of its rules): until
// int_stree_set_links sets them, no suffix link may be read.  Traversals,
// numbering and counting need none; stree_add_string and
// stree_remove_string set them first.
constexpr int64_t STREE_LINK_WINDOW = int64_t{1} << 16;  // 16 pages of records
struct stree_built_runs;
stree_build_result int_stree_build(suffix_tree* tree, const stree_build_hook* hook,
                                   int64_t window = STREE_LINK_WINDOW, int threads = 1,
                                   stree_built_runs* runs = nullptr, bool links = true);

// Sets the suffix links a build left unset, as that build would have with
// `window` and `threads` (on at most the threads the build ran on): DONE,
// also when none were pending, or NO_MEMORY or STOPPED (the hook), after
// which they are still pending and the tree otherwise as it was.
stree_build_outcome int_stree_set_links(suffix_tree* tree, const stree_build_hook* hook = nullptr,
                                        int64_t window = STREE_LINK_WINDOW, int threads = 1);

// The runs of the root's children whose subtrees a build in one go made on
// threads of their own, in order: each run's first child and the records
// (internal nodes and leaves) and internal nodes of their subtrees.  While
// the tree is not changed, a preorder walk can take runs on threads of
// their own, each numbering its records from where the runs before it end
// (after the root's number, 0).
constexpr int STREE_MAX_BUILT_RUNS = 256;
struct stree_built_run {
  stree_ref first;
  uint64_t records;
  uint64_t internal;
};
struct stree_built_runs {
  int count = 0;
  stree_built_run at[STREE_MAX_BUILT_RUNS];
};
// int_stree_build without a hook: 1 when the tree is built, else 0.
int int_stree_build_stored(suffix_tree* tree);

// ===== Test hooks ==========================================================

// After stree_pool_fail_at(n) with n > 0, the n-th record request from now
// fails (once); 0 disarms.  stree_pool_requests() counts every record
// request since the process started.
void stree_pool_fail_at(long n);
// After stree_pool_fail_from(n) with n > 0, the n-th record request from
// now and every one after it fail, as when memory has run out for good,
// until stree_pool_fail_from(0).
void stree_pool_fail_from(long n);
long stree_pool_requests();
// After stree_pool_fail_body_at(n) with n > 0, the n-th page body the pool
// asks the system for from now is refused (once), as when memory has run
// out; the pool then takes the tree's child index back and asks again.
void stree_pool_fail_body_at(long n);
// Pages currently allocated (for tests of page release).
long stree_pool_pages_in_use();
// Pages whose memory a walk has given back (int_stree_pass) since the
// process started.
long stree_pool_pages_passed();

// Siblings an insertion's lookup must pass before its node is indexed
// (default STREE_INDEX_THRESHOLD; 0 turns indexing off).
void stree_index_set_threshold(suffix_tree* tree, int children);
// Makes the n-th allocation of the tree's index from now fail (0: never).
void stree_index_fail_at(suffix_tree* tree, long n);
// Nodes indexed now.
long stree_index_nodes(const suffix_tree* tree);
// After stree_build_fail_at(n) with n > 0, the n-th allocation of the
// build in one go from now (int_stree_build_take or int_stree_build_grow,
// the sorter's included) fails (once); 0 disarms.
void stree_build_fail_at(long n);
// Whether a failure of the build's allocations is armed.
bool int_stree_build_fail_armed();

// ===== Assertions ==========================================================

// Names the condition, the module and the line; never fires on valid use.
[[noreturn]] void stree_assert_fail(const char* cond, const char* module,
                                    int line);
#define STREE_ASSERT(cond) \
  ((cond) ? (void)0 : stree_assert_fail(#cond, "stree", __LINE__))

STREE_NS_END

#endif  // VOK_STREE_STREE_INTERNAL_H
