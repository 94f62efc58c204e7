// Packed records of the generalized suffix tree and the 4-byte references
// that connect them.  Internal to the tree module: not installed.
//
// Every record is a short run of 32-bit words taken from the node pool
// (pool.cpp).  A reference (stree_ref) names a record by its space, its pool
// page and its offset in that page, counted in units of the space:
//
//     narrow: bits 12..31  page number + 1   (0 in these bits means "none")
//             bits  0..11  offset in units of three words (0 .. 2303)
//     wide:   bit  31      space: 1 leaves and end records, 0 internal nodes
//             bits 11..30  page number + 1 in that space (0 means "none")
//             bits  0..10  offset in units of the space (0 .. 2047): seven
//                          words in space 0, three in space 1
//
// so a reference is 0 exactly when it is "none", and a zero-filled record
// starts with every reference cleared.  In the narrow layout an internal
// node takes two units, a leaf and an end record one unit each, all in one
// space.  The wide layout numbers records rather than words (every record
// is one unit of its space), so that two spaces of 2^31 records hold the
// tree of more than 2 GiB of text, and no record is rounded up.  End records
// share the leaves' space (both are three words): a corpus that repeats its
// documents (package descriptions do) has nearly as many end records as
// leaves, and in the nodes' seven-word units each would take more than twice its
// size.  Nothing tells a record's kind by its space: a leaf by its header,
// an end record by the list it is reached from.
//
// A text position is packed the same way in one word, string slot first:
//
//     bits  0..12  strid    (0 .. 8191)
//     bits 13..31  position (0 .. 524287)
//
// (wide: one word too, the tree's text offset, which its table turns into
// slot and position).
//
// Word 0 of internal nodes and leaves:
//
//     bits  0..22  node_id        preorder number (root 0), valid while the
//                                 tree's renumber_pending is clear (wide:
//                                 the number has word 2; bits 0..7 of a
//                                 node hold its code, the rest stay 0)
//     bit  23      is_leaf        (wide: bit 22)
//     bit  24      last_sibling   link holds the parent instead of the next
//                                 sibling (wide: bit 23)
//     bits 25..31  first_char     leaf only: code of the edge's first char
//                                 (wide: bits 24..31)
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

#if defined(STREE_WIDE)
constexpr int STREE_SPACES = 2;
constexpr int STREE_REF_OFFSET_BITS = 11;
constexpr int STREE_REF_SPACE_SHIFT = 31;
constexpr uint32_t STREE_SPACE_UNIT_WORDS[STREE_SPACES] = {7, 3};
constexpr uint32_t STREE_NODE_SPACE = 0, STREE_LEAF_SPACE = 1,
                   STREE_ENDREC_SPACE = 1;
#else
constexpr int STREE_SPACES = 1;
constexpr int STREE_REF_OFFSET_BITS = 12;
constexpr int STREE_REF_SPACE_SHIFT = 32;  // no space bit
constexpr uint32_t STREE_SPACE_UNIT_WORDS[STREE_SPACES] = {3};
constexpr uint32_t STREE_NODE_SPACE = 0, STREE_LEAF_SPACE = 0,
                   STREE_ENDREC_SPACE = 0;
#endif
constexpr uint32_t STREE_REF_OFFSET_MASK = (1u << STREE_REF_OFFSET_BITS) - 1;
constexpr int STREE_REF_PAGE_BITS = STREE_REF_SPACE_SHIFT - STREE_REF_OFFSET_BITS;
constexpr uint32_t STREE_REF_PAGE_MASK =
    static_cast<uint32_t>((uint64_t{1} << STREE_REF_PAGE_BITS) - 1);

inline uint32_t stree_ref_space(stree_ref r) {
  return static_cast<uint32_t>(uint64_t{r} >> STREE_REF_SPACE_SHIFT);
}
inline uint32_t stree_ref_page(stree_ref r) {
  return ((r >> STREE_REF_OFFSET_BITS) & STREE_REF_PAGE_MASK) - 1;
}
inline uint32_t stree_ref_unit(stree_ref r) { return r & STREE_REF_OFFSET_MASK; }
inline stree_ref stree_make_ref(uint32_t space, uint32_t page, uint32_t unit) {
  return static_cast<stree_ref>(uint64_t{space} << STREE_REF_SPACE_SHIFT) |
         ((page + 1) << STREE_REF_OFFSET_BITS) | unit;
}

// ---- packed string positions ----------------------------------------------

#if defined(STREE_WIDE)
// Wide: strid in the low word, position in the high word of 64 bits.  A
// record keeps a position in one word, as the tree's text offset: every
// stored string has a run of offsets of its own (its length + 1), and the
// tree's table turns an offset back into the slot and the position
// (int_stree_pos, table.cpp).  Only those two functions read or write the
// word.
typedef uint64_t stree_pos;
constexpr int STREE_STRID_BITS = 32;
constexpr uint64_t STREE_STRID_MASK = 0xffffffffu;
constexpr int STREE_POS_SHIFT = 32;
struct stree_pos_field {
  uint32_t at;  // text offset
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
#if defined(STREE_WIDE)
// 0 in a live node: bits 27..30, and bits 8..21 above the node's code.
constexpr uint32_t STREE_NODE_SPARE_BITS = 0xfu << 27 | 0x3fff00u;
#else
constexpr uint32_t STREE_NODE_SPARE_BITS = 0xfu << 27;  // 0 in a live node
#endif
static_assert(STREE_MAX_ALPHABET <= 1 << STREE_FIRST_CHAR_BITS,
              "first_char holds every code");

// ---- records ----------------------------------------------------------------

#if defined(STREE_WIDE)
// Wide: a whole word for the edge length; the code lies in the header.
constexpr int STREE_EDGELEN_BITS = 32;
constexpr int STREE_CODE_BITS = 8;
constexpr uint32_t STREE_NODE_CODE_MASK = (1u << STREE_CODE_BITS) - 1;
#define STREE_NODE_ID_WORD uint32_t id;  // preorder number
#define STREE_NODE_LENGTH_WORD int32_t edgelen;
static_assert(STREE_NODE_CODE_MASK < STREE_LEAF_BIT, "the code lies below the flags");
#else
// An internal node's edge length and the code of its first character share
// word 2, right after the two words that every sibling step reads: a node
// starts at any multiple of 12 bytes, and with its code in bytes 8..11 a
// sibling step needs a second cache line for one node in eight instead of
// one in three (as with the code in its last word).
constexpr int STREE_EDGELEN_BITS = 24;
constexpr int STREE_CODE_BITS = 32 - STREE_EDGELEN_BITS;
static_assert(STREE_MAX_POSITION + 1 < (1 << (STREE_EDGELEN_BITS - 1)),
              "the signed edge-length field holds any edge length");
#define STREE_NODE_ID_WORD
// The code of the edge label's first character, kept beside the length so
// that a child lookup reads a sibling's key without following its label
// into the text (one cache miss less per sibling passed).
#define STREE_NODE_LENGTH_WORD             \
  int32_t edgelen : STREE_EDGELEN_BITS;    \
  uint32_t code : STREE_CODE_BITS;
#endif
static_assert(STREE_CODE_BITS >= STREE_FIRST_CHAR_BITS,
              "a node's code field holds every leaf code");

// Internal node: six words, 24 bytes (wide: seven words, 28 bytes).
struct stree_node {
  uint32_t header;       // node_id, is_leaf = 0, last_sibling, has_endrecs
  stree_ref link;        // next sibling, or the parent when last_sibling
  STREE_NODE_ID_WORD
  STREE_NODE_LENGTH_WORD  // edge label length (0 only at the root), code
  stree_ref children;    // first child, or head end record (has_endrecs)
  stree_ref suffix_link; // node spelling this node's path minus its first char
  stree_pos_field edgestr;  // packed strid/position of the edge label's start
};

// Leaf: three words, 12 bytes (wide too, and no number of its own:
// see int_stree_id).  Its edge label runs to the end of its string.
struct stree_leaf {
  uint32_t header;  // node_id (narrow), is_leaf = 1, last_sibling, first_char
  stree_ref link;   // as in stree_node
  stree_pos_field strpos;  // packed strid/edgepos
};

// End record: three words, 12 bytes (wide too).  Marks that the suffix
// (strid, pos) ends exactly at the internal node that owns the list.
struct stree_endrec {
  stree_pos_field strpos;  // packed strid/pos (pos is the suffix START)
  stree_ref next;      // next end record of the same node, or none
  stree_ref children;  // the node's first child; current only in the head
};
#undef STREE_NODE_ID_WORD
#undef STREE_NODE_LENGTH_WORD

// Units of its space a record of each kind takes.
constexpr uint32_t stree_units_for(size_t bytes, uint32_t space) {
  const size_t unit = STREE_SPACE_UNIT_WORDS[space] * 4;
  return static_cast<uint32_t>((bytes + unit - 1) / unit);
}
constexpr uint32_t STREE_NODE_UNITS = stree_units_for(sizeof(stree_node), STREE_NODE_SPACE);
constexpr uint32_t STREE_LEAF_UNITS = stree_units_for(sizeof(stree_leaf), STREE_LEAF_SPACE);
constexpr uint32_t STREE_ENDREC_UNITS =
    stree_units_for(sizeof(stree_endrec), STREE_ENDREC_SPACE);

static_assert(sizeof(stree_node) % 4 == 0 && alignof(stree_node) <= 4 &&
                  sizeof(stree_leaf) % 4 == 0 && sizeof(stree_endrec) % 4 == 0,
              "records are runs of whole words");
#if defined(STREE_WIDE)
static_assert(sizeof(stree_node) == 28 && sizeof(stree_leaf) == 12 &&
                  sizeof(stree_endrec) == 12,
              "wide records are seven, three and three words");
static_assert(STREE_NODE_UNITS == 1 && STREE_LEAF_UNITS == 1 && STREE_ENDREC_UNITS == 1,
              "every wide record is one unit of its space");
#else
static_assert(STREE_NODE_UNITS == 2 && sizeof(stree_node) == 2 * 3 * 4,
              "a node is two units");
static_assert(sizeof(stree_leaf) == 3 * 4, "a leaf is a unit");
static_assert(offsetof(stree_node, children) == 3 * 4,
              "a node's code lies in its first twelve bytes");
static_assert(sizeof(stree_endrec) == 3 * 4, "an end record is a unit");
#endif

// ---- dereferencing -------------------------------------------------------

// Page bodies by space and page number, owned by the node pool (pool.cpp).
// The tables are process-wide on purpose: a reference is decoded without
// the tree at hand (in every sibling step of every walk), and a table costs
// one load per step.  References are therefore unique across the trees of a
// process, and the pool is shared by them.
extern uint32_t** stree_page_bodies[STREE_SPACES];

inline uint32_t* int_stree_words(stree_ref r) {
  const uint32_t space = stree_ref_space(r);
  return stree_page_bodies[space][stree_ref_page(r)] +
         STREE_SPACE_UNIT_WORDS[space] * stree_ref_unit(r);
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
// A record's preorder number, current while the tree's renumber_pending is
// clear.  Wide: an internal node's only.  A leaf of the wide tree keeps no
// number, which saves a fifth of its record: a leaf is never a feature, the
// walks that number the tree count it without writing, and stree_node_id
// works it out from the next internal node in preorder.  Whether leaves
// keep their numbers:
#if defined(STREE_WIDE)
constexpr bool STREE_LEAF_NUMBERS = false;
constexpr int STREE_ID_WORD = 2;
static_assert(offsetof(stree_node, id) == 4 * STREE_ID_WORD, "a node's number has word 2");
inline uint32_t int_stree_id(stree_ref r) { return int_stree_words(r)[STREE_ID_WORD]; }
inline void int_stree_set_id(stree_ref r, uint32_t id) { int_stree_words(r)[STREE_ID_WORD] = id; }
#else
constexpr bool STREE_LEAF_NUMBERS = true;
inline uint32_t int_stree_id(stree_ref r) {
  return int_stree_header(r) & STREE_ID_MASK;
}
inline void int_stree_set_id(stree_ref r, uint32_t id) {
  uint32_t& h = int_stree_header(r);
  h = (h & ~STREE_ID_MASK) | id;
}
#endif
// An internal node's code: the code of its edge label's first character.
#if defined(STREE_WIDE)
inline uint32_t int_stree_node_code(stree_ref r) {
  return int_stree_header(r) & STREE_NODE_CODE_MASK;
}
inline void int_stree_set_node_code(stree_ref r, uint32_t code) {
  uint32_t& h = int_stree_header(r);
  h = (h & ~STREE_NODE_CODE_MASK) | code;
}
#else
inline uint32_t int_stree_node_code(stree_ref r) { return int_stree_node(r)->code; }
inline void int_stree_set_node_code(stree_ref r, uint32_t code) {
  int_stree_node(r)->code = code;
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
