// Packed records of the generalized suffix tree and the 4-byte references
// that connect them.  Internal to the tree module: not installed.
//
// Every record is a short run of 32-bit words taken from the node pool
// (pool.cpp).  A reference (stree_ref) names a record by its pool page and
// its offset in that page, counted in units of three words:
//
//     bits 12..31  page number + 1      (0 in these bits means "none")
//     bits  0..11  offset in units       (0 .. 2303)
//
// so a reference is 0 exactly when it is "none", and a zero-filled record
// starts with every reference cleared.  An internal node takes two units, a
// leaf and an end record one unit each.
//
// A text position is packed the same way in one word, string slot first:
//
//     bits  0..12  strid    (0 .. 8191)
//     bits 13..31  position (0 .. 524287)
//
// Word 0 of internal nodes and leaves:
//
//     bits  0..22  node_id        preorder number (root 0), valid while the
//                                 tree's renumber_pending is clear
//     bit  23      is_leaf
//     bit  24      last_sibling   link holds the parent instead of the next
//                                 sibling
//     bits 25..31  first_char     leaf only: code of the edge's first char
//     bit  25      has_endrecs    node only: children holds the head end
//                                 record, whose children word holds the
//                                 first child
//     bit  26      indexed        node only: the tree's child index holds a
//                                 block for this node (child_index.h)
//     bit  31      dead           node only, and only while a removal runs:
//                                 the node has left the tree (remove.cpp)
//     bits 27..30  stay 0 in a node
#ifndef VOK_STREE_RECORDS_H
#define VOK_STREE_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "stree.h"

STREE_NS_BEGIN

// ---- references ------------------------------------------------------------

constexpr int STREE_REF_OFFSET_BITS = 12;
constexpr uint32_t STREE_REF_OFFSET_MASK = (1u << STREE_REF_OFFSET_BITS) - 1;
constexpr int STREE_REF_PAGE_BITS = 32 - STREE_REF_OFFSET_BITS;
constexpr uint32_t STREE_UNIT_WORDS = 3;  // words per pool unit

inline uint32_t stree_ref_page(stree_ref r) {
  return (r >> STREE_REF_OFFSET_BITS) - 1;
}
inline uint32_t stree_ref_unit(stree_ref r) { return r & STREE_REF_OFFSET_MASK; }
inline stree_ref stree_make_ref(uint32_t page, uint32_t unit) {
  return ((page + 1) << STREE_REF_OFFSET_BITS) | unit;
}

// ---- packed string positions ----------------------------------------------

#if defined(STREE_WIDE)
// Wide: strid in the low word, position in the high word of 64 bits, kept
// in records as two 32-bit halves (records are only 4-byte aligned).
typedef uint64_t stree_pos;
constexpr int STREE_STRID_BITS = 32;
constexpr uint64_t STREE_STRID_MASK = 0xffffffffu;
constexpr int STREE_POS_SHIFT = 32;
struct stree_pos_field {
  uint32_t low, high;
  operator stree_pos() const { return low | static_cast<stree_pos>(high) << 32; }
  stree_pos_field& operator=(stree_pos p) {
    low = static_cast<uint32_t>(p);
    high = static_cast<uint32_t>(p >> 32);
    return *this;
  }
};
#else
typedef uint32_t stree_pos;
typedef uint32_t stree_pos_field;
constexpr int STREE_STRID_BITS = 13;
constexpr uint32_t STREE_STRID_MASK = (1u << STREE_STRID_BITS) - 1;
constexpr int STREE_POS_SHIFT = STREE_STRID_BITS;
constexpr int STREE_POS_BITS = 32 - STREE_POS_SHIFT;

static_assert(STREE_MAX_STRINGS == 1 << STREE_STRID_BITS,
              "every slot number fits the strid field");
static_assert(STREE_MAX_POSITION == (1 << STREE_POS_BITS) - 1,
              "every position fits the position field");
#endif

inline stree_pos stree_pack_pos(int32_t strid, int32_t pos) {
  return static_cast<stree_pos>(static_cast<uint32_t>(strid)) |
         (static_cast<stree_pos>(static_cast<uint32_t>(pos)) << STREE_POS_SHIFT);
}
inline int32_t stree_pos_strid(stree_pos packed) {
  return static_cast<int32_t>(packed & STREE_STRID_MASK);
}
inline int32_t stree_pos_offset(stree_pos packed) {
  return static_cast<int32_t>(packed >> STREE_POS_SHIFT);
}

// ---- word 0 of nodes and leaves -------------------------------------------

#if defined(STREE_WIDE)
// Wide: the node number has a word of its own (word 2 of nodes and leaves);
// first_char takes 8 bits.
constexpr uint32_t STREE_LEAF_BIT = 1u << 22;
constexpr uint32_t STREE_LAST_BIT = 1u << 23;
constexpr int STREE_FIRST_CHAR_SHIFT = 24;
#else
constexpr int STREE_ID_BITS = 23;
constexpr uint32_t STREE_ID_MASK = (1u << STREE_ID_BITS) - 1;
constexpr uint32_t STREE_LEAF_BIT = 1u << 23;
constexpr uint32_t STREE_LAST_BIT = 1u << 24;
constexpr int STREE_FIRST_CHAR_SHIFT = 25;
static_assert(STREE_MAX_NODES == 1 << STREE_ID_BITS,
              "every node number fits the node_id field");
static_assert(STREE_ID_MASK < STREE_LEAF_BIT, "node_id lies below the flags");
#endif
constexpr int STREE_FIRST_CHAR_BITS = 32 - STREE_FIRST_CHAR_SHIFT;
constexpr uint32_t STREE_FIRST_CHAR_KEEP = (1u << STREE_FIRST_CHAR_SHIFT) - 1;
constexpr uint32_t STREE_ENDRECS_BIT = 1u << 25;
constexpr uint32_t STREE_INDEXED_BIT = 1u << 26;
constexpr uint32_t STREE_DEAD_BIT = 1u << 31;
constexpr uint32_t STREE_NODE_SPARE_BITS = 0xfu << 27;  // 0 in a live node
static_assert(STREE_MAX_ALPHABET <= 1 << STREE_FIRST_CHAR_BITS,
              "first_char holds every code");

// ---- records ----------------------------------------------------------------

#if defined(STREE_WIDE)
// Wide: whole words for the edge length and the code.
constexpr int STREE_EDGELEN_BITS = 32;
constexpr int STREE_CODE_BITS = 32;
#define STREE_NODE_ID_WORD uint32_t id;  // preorder number
#else
// An internal node's edge length and the code of its first character share
// word 5.
constexpr int STREE_EDGELEN_BITS = 24;
constexpr int STREE_CODE_BITS = 32 - STREE_EDGELEN_BITS;
static_assert(STREE_MAX_POSITION + 1 < (1 << (STREE_EDGELEN_BITS - 1)),
              "the signed edge-length field holds any edge length");
#define STREE_NODE_ID_WORD
#endif
static_assert(STREE_CODE_BITS >= STREE_FIRST_CHAR_BITS,
              "a node's code field holds every leaf code");

// Internal node: six words, 24 bytes (wide: nine words, 36 bytes).
struct stree_node {
  uint32_t header;       // node_id, is_leaf = 0, last_sibling, has_endrecs
  stree_ref link;        // next sibling, or the parent when last_sibling
  STREE_NODE_ID_WORD
  stree_ref children;    // first child, or head end record (has_endrecs)
  stree_ref suffix_link; // node spelling this node's path minus its first char
  stree_pos_field edgestr;  // packed strid/position of the edge label's start
  int32_t edgelen : STREE_EDGELEN_BITS;  // edge label length; 0 only at root
  // The code of the edge label's first character, kept beside the length so
  // that a child lookup reads a sibling's key without following its label
  // into the text (one cache miss less per sibling passed).
  uint32_t code : STREE_CODE_BITS;
};

// Leaf: three words, 12 bytes (wide: five words).  Its edge label runs to
// the end of its string.
struct stree_leaf {
  uint32_t header;  // node_id, is_leaf = 1, last_sibling, first_char
  stree_ref link;   // as in stree_node
  STREE_NODE_ID_WORD
  stree_pos_field strpos;  // packed strid/edgepos
};

// End record: three words, 12 bytes (wide: four).  Marks that the suffix
// (strid, pos) ends exactly at the internal node that owns the list.
struct stree_endrec {
  stree_pos_field strpos;  // packed strid/pos (pos is the suffix START)
  stree_ref next;      // next end record of the same node, or none
  stree_ref children;  // the node's first child; current only in the head
};
#undef STREE_NODE_ID_WORD

// Units of the pool a record of each kind takes.
constexpr uint32_t STREE_NODE_UNITS = (sizeof(stree_node) + 11) / 12;  // 12-byte units
constexpr uint32_t STREE_LEAF_UNITS = (sizeof(stree_leaf) + 11) / 12;
constexpr uint32_t STREE_ENDREC_UNITS = (sizeof(stree_endrec) + 11) / 12;

static_assert(sizeof(stree_node) % 4 == 0 && alignof(stree_node) <= 4 &&
                  sizeof(stree_leaf) % 4 == 0 && sizeof(stree_endrec) % 4 == 0,
              "records are runs of whole words");
#if !defined(STREE_WIDE)
static_assert(STREE_NODE_UNITS == 2 && sizeof(stree_node) == 2 * STREE_UNIT_WORDS * 4,
              "a node is two units");
static_assert(sizeof(stree_leaf) == STREE_UNIT_WORDS * 4, "a leaf is a unit");
static_assert(sizeof(stree_endrec) == STREE_UNIT_WORDS * 4,
              "an end record is a unit");
#endif

// ---- dereferencing -------------------------------------------------------

// Page bodies by page number, owned by the node pool (pool.cpp).  The table
// is process-wide on purpose: a reference is decoded without the tree at
// hand (in every sibling step of every walk), and a single table costs one
// load per step.  References are therefore unique across the trees of a
// process, and the pool is shared by them.
extern uint32_t** stree_page_bodies;

inline uint32_t* int_stree_words(stree_ref r) {
  return stree_page_bodies[stree_ref_page(r)] +
         STREE_UNIT_WORDS * stree_ref_unit(r);
}
inline stree_node* int_stree_node(stree_ref r) {
  return reinterpret_cast<stree_node*>(int_stree_words(r));
}
inline stree_leaf* int_stree_leaf(stree_ref r) {
  return reinterpret_cast<stree_leaf*>(int_stree_words(r));
}
inline stree_endrec* int_stree_endrec(stree_ref r) {
  return reinterpret_cast<stree_endrec*>(int_stree_words(r));
}

// Word 0 and word 1 mean the same in nodes and leaves, so sibling walks may
// read them without knowing the kind.
inline uint32_t& int_stree_header(stree_ref r) { return int_stree_words(r)[0]; }
inline stree_ref& int_stree_link(stree_ref r) { return int_stree_words(r)[1]; }

inline bool int_stree_is_last(stree_ref r) {
  return (int_stree_header(r) & STREE_LAST_BIT) != 0;
}
inline void int_stree_set_last(stree_ref r, bool last) {
  uint32_t& h = int_stree_header(r);
  h = last ? (h | STREE_LAST_BIT) : (h & ~STREE_LAST_BIT);
}
#if defined(STREE_WIDE)
// The node number's word, the same in nodes and leaves.
constexpr int STREE_ID_WORD = 2;
static_assert(offsetof(stree_node, id) == 4 * STREE_ID_WORD &&
                  offsetof(stree_leaf, id) == 4 * STREE_ID_WORD,
              "nodes and leaves keep their number in one word");
inline uint32_t int_stree_id(stree_ref r) { return int_stree_words(r)[STREE_ID_WORD]; }
inline void int_stree_set_id(stree_ref r, uint32_t id) { int_stree_words(r)[STREE_ID_WORD] = id; }
#else
inline uint32_t int_stree_id(stree_ref r) {
  return int_stree_header(r) & STREE_ID_MASK;
}
inline void int_stree_set_id(stree_ref r, uint32_t id) {
  uint32_t& h = int_stree_header(r);
  h = (h & ~STREE_ID_MASK) | id;
}
#endif
inline bool int_stree_has_endrecs(stree_ref r) {
  return (int_stree_header(r) & STREE_ENDRECS_BIT) != 0;
}
// True for an internal node with a child-index block (false for a leaf,
// whose bit 26 belongs to first_char).
inline bool int_stree_is_indexed(stree_ref r) {
  return (int_stree_header(r) & (STREE_INDEXED_BIT | STREE_LEAF_BIT)) ==
         STREE_INDEXED_BIT;
}
inline uint32_t int_stree_leaf_header(int code) {
  return STREE_LEAF_BIT | (static_cast<uint32_t>(code) << STREE_FIRST_CHAR_SHIFT);
}

STREE_NS_END

#endif  // VOK_STREE_RECORDS_H
