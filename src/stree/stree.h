// stree: a generalized suffix tree over up to 8192 byte strings.
//
// The tree is built online (one string at a time, left to right, without a
// terminator) and keeps, for every suffix of every stored string, either a
// leaf of its own or an end record on the internal node where the suffix
// ends.  Records are packed and come from a process-wide paged pool, so a
// tree over megabytes of text costs a few words per character.
//
// This is the library's public interface, the one header installed.  The
// tree's records, its internal operations and its test hooks are declared
// in stree_internal.h, which only the module and the programs built with it
// use.
//
// Conventions
//   * Every operation takes the tree first.  Records are passed as stree_ref
//     values; STREE_NONE is the null reference.
//   * Failure is reported by return value: 0 or STREE_NONE for failure, 1 or
//     a record for success; operations that return a count or a length
//     return -1 when they refuse their arguments.  Nothing is printed.
//   * Every operation refuses, with its failure value, what it can check
//     cheaply: a null tree or output pointer, a negative length, STREE_NONE
//     where a record is needed, a position outside the record's edge.  What
//     it cannot check is the caller's duty: a record must come from this
//     tree, with no string added or removed since it was obtained (the
//     records of a changed tree may have gone back to the pool), and the
//     tree must not have been deleted.  The build with AddressSanitizer
//     reports a breach of these duties as a read of freed memory.
//   * No operation recurses to the depth of the tree.
//   * Reads (matching, walking, labels, suffixes, traversal) take no memory
//     and change nothing but, once after changes, the preorder numbers.
//   * The node pool is shared by every tree of the process; nothing here is
//     safe to call from more than one thread at a time.
#ifndef VOK_STREE_STREE_H
#define VOK_STREE_STREE_H

#include <cstdint>

// The record layout is a build setting.  The described, narrow layout is
// the default and lives in the global namespace; a build with STREE_WIDE
// set compiles the same sources for the wide layout (more strings, every
// byte a character, longer texts) into the namespace stree_wide.
#if defined(STREE_WIDE)
#define STREE_NS_BEGIN namespace stree_wide {
#define STREE_NS_END }
#else
#define STREE_NS_BEGIN
#define STREE_NS_END
#endif

STREE_NS_BEGIN

typedef uint32_t stree_ref;  // a record of a tree; 0 is "none"

constexpr stree_ref STREE_NONE = 0;

#if defined(STREE_WIDE)
typedef int64_t stree_count;  // a number of records
constexpr int STREE_MAX_STRINGS = 0x7fffffff;     // strings a tree holds
constexpr int32_t STREE_MAX_POSITION = 0x7ffffffe;  // longest string: 2 GiB - 1
// Nodes and leaves of a tree: node numbers take 32 bits.  (The pool holds
// 2^31 - 2^11 leaves and as many other records.)
constexpr stree_count STREE_MAX_NODES = 0xffffffff;
constexpr int STREE_MAX_ALPHABET = 256;           // every byte a character
#else
typedef int32_t stree_count;  // a number of records
constexpr int STREE_MAX_STRINGS = 8192;         // strings a tree holds
constexpr int32_t STREE_MAX_POSITION = 524287;  // longest string: 524,288
constexpr stree_count STREE_MAX_NODES = 0x800000;  // nodes and leaves of a tree
constexpr int STREE_MAX_ALPHABET = 128;         // the bytes below 128
#endif
// The string table's slots are taken in blocks of this many.
constexpr int STREE_TABLE_BLOCK = 8192;

struct suffix_tree;

// ---- the tree -----------------------------------------------------------

// A new empty tree over the codes 0..alphabet_size-1 (the byte values; 1 to
// STREE_MAX_ALPHABET), or nullptr when alphabet_size is out of range or memory runs out.
// With copy_strings the tree keeps its own copy of every string it stores;
// without, the caller's texts must outlive the tree unchanged.
suffix_tree* stree_new_tree(int alphabet_size, int copy_strings);

// Gives every record back to the pool and frees the strings and the tree.
// Nothing when tree is nullptr.  The caller's duty: delete a tree once.
void stree_delete_tree(suffix_tree* tree);

// Stores text[0..len) and inserts all its suffixes.  With copy_strings the
// text must have its NUL at len; without, it must outlive the tree
// unchanged.  id is the caller's number for the string (ids may repeat).  1
// on success; 0 when the string cannot be taken (a null tree or text, a
// negative length, all slots in use, a byte outside the alphabet, no
// memory, or the node limit STREE_MAX_NODES reached), after every suffix
// inserted so far has been removed again: the tree then holds what it held
// before and stays usable.
int stree_add_string(suffix_tree* tree, const char* text, int32_t len,
                     int32_t id);

// Removes the string with the given caller id (the lowest slot holding that
// id) with all its suffixes: 1, or 0 when no stored string has that id (or
// the tree is null).
int stree_remove_string(suffix_tree* tree, int32_t id);

// Internal nodes and leaves, root included (1 for an empty tree; 0 for
// a null tree).
stree_count stree_num_nodes(const suffix_tree* tree);

// The root: an internal node with an empty edge label (STREE_NONE for a
// null tree).
stree_ref stree_root(const suffix_tree* tree);

// ---- matching -------------------------------------------------------------

// Follows text[0..len) down from the edge position (record, pos), that is
// pos characters down record's incoming edge (0 <= pos <= its length).
// Returns the number of characters matched; the point where the walk
// stopped goes to *out_record and *out_pos.  A byte outside the tree's
// alphabet matches nothing.  -1, with nothing written, for a null tree,
// text (unless len is 0) or output pointer, STREE_NONE, a negative len or a
// pos outside the edge.
int32_t stree_walk(const suffix_tree* tree, stree_ref record, int32_t pos,
                   const char* text, int32_t len, stree_ref* out_record,
                   int32_t* out_pos);

// stree_walk from the root (-1 as there).  The matched count equals len
// exactly when the
// text occurs in a stored string; every occurrence is then a suffix that ends
// at or below the stop record (list them with stree_traverse_subtree and
// stree_get_suffix).  A whole stored suffix stops at the record where it
// ends, with pos equal to that record's edge length.
int32_t stree_match(const suffix_tree* tree, const char* text, int32_t len,
                    stree_ref* out_record, int32_t* out_pos);

// ---- records ----------------------------------------------------------------

// The preorder number of a record (root 0, children in byte order), from 0
// to stree_num_nodes() - 1.  Numbers are given anew, once, at the first call
// after the tree has changed.  STREE_NO_ID for a null tree or STREE_NONE.
// A leaf of the wide tree keeps no number of its own: its number is worked
// out from the next internal node in preorder, at the cost of the siblings
// after the leaf and the levels climbed to find that node.
constexpr uint32_t STREE_NO_ID = 0xffffffffu;
uint32_t stree_node_id(suffix_tree* tree, stree_ref record);

// Length of the record's path label (0 for the root; -1 for a null tree or
// STREE_NONE).
int32_t stree_get_labellen(const suffix_tree* tree, stree_ref record);

// Copies up to buflen characters of the record's path label into buf, from
// its start, and returns the number copied (0 for the root).  No NUL added.
// -1 for a null tree, STREE_NONE, a negative buflen or a null buf.
int32_t stree_get_label(const suffix_tree* tree, stree_ref record, char* buf,
                        int32_t buflen);

// The k-th (from 1) suffix ending exactly at the record: 1 with its slot,
// start position and caller id, or 0 when there is no k-th (or a null tree
// or output pointer, or STREE_NONE).  A leaf has exactly one; an internal
// node one per string whose suffix ends there.
int stree_get_suffix(const suffix_tree* tree, stree_ref record, int k,
                     int32_t* out_strid, int32_t* out_pos, int32_t* out_id);

// Depth-first walk of the subtree at `record` (the whole tree for the root):
// enter(record, data) on the way down, leave(record, data) on the way up,
// children in byte order.  Either callback may be null.  The callbacks must
// not change the tree.  Nothing for a null tree or STREE_NONE.
typedef void (*stree_visit_fn)(suffix_tree* tree, stree_ref record,
                               void* data);
void stree_traverse_subtree(suffix_tree* tree, stree_ref record,
                            stree_visit_fn enter, stree_visit_fn leave,
                            void* data);
void stree_traverse(suffix_tree* tree, stree_visit_fn enter,
                    stree_visit_fn leave, void* data);

// ---- memory ---------------------------------------------------------------

// The tree keeps a side index that finds the children of nodes with many
// children without walking their lists; insertion builds it as it goes.
// This gives its memory back (lookups then walk the lists, and insertions
// that follow index their nodes again); 1 when there was any (0 for a null
// tree).
int stree_index_release(suffix_tree* tree);

// ---- consistency ------------------------------------------------------------

// Checks every structural invariant that can be checked from the records.
// Returns nullptr when the tree is sound, else a description of the first
// fault found (also for a null tree).  `tidy` 0 skips the rule that every internal node other than
// the root has two children or an end record.  Costs time quadratic in the
// tree's depth: for tests and debugging.
const char* stree_check(const suffix_tree* tree, int tidy = 1);

STREE_NS_END

#endif  // VOK_STREE_STREE_H
