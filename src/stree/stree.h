// stree: a generalized suffix tree over up to 8192 byte strings.
//
// The tree is built online (one string at a time, left to right, without a
// terminator) and keeps, for every suffix of every stored string, either a
// leaf of its own or an end record on the internal node where the suffix
// ends.  Records are packed (records.h) and come from a process-wide paged
// pool, so a tree over megabytes of text costs a few words per character.
//
// Conventions
//   * Every operation takes the tree first.  Records are passed as stree_ref
//     values; STREE_NONE is the null reference.
//   * Failure is reported by return value: 0 or STREE_NONE for failure, 1 or
//     a record for success, -1 for a refused string-table entry.  Nothing is
//     printed.  An edit that fails leaves the tree as it was.
//   * Edits that may turn a leaf into an internal node return the record that
//     now stands in the tree; the leaf's record is gone, so callers go on
//     with the returned record.
//   * Leaves and end records store no parent, suffix link or suffix start;
//     these are derived on demand by short walks.
//   * No operation recurses to the depth of the tree.
//   * The node pool is shared by every tree of the process; nothing here is
//     safe to call from more than one thread.
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
#ifndef VOK_STREE_STREE_H
#define VOK_STREE_STREE_H

#include <cstddef>
#include <cstdint>

#include "records.h"

struct suffix_tree {
  stree_ref root;            // internal node with an empty edge
  int32_t num_nodes;         // internal nodes and leaves, root included
  char** strings;            // STREE_MAX_STRINGS text pointers; null = free
  int32_t* lengths;          // length of each stored string
  int32_t* ids;              // the caller's id of each stored string
  int32_t next_free;         // lowest free slot; STREE_MAX_STRINGS when full
  int copy_strings;          // the table owns private copies of its strings
  int alphabet_size;         // codes below this are accepted (1..128)
  int renumber_pending;      // node_id values are stale
  unsigned char char_map[128];  // character -> code (identity here)
};

// ===== Node pool (pool.cpp) ================================================
// Records are handed out from zero-filled pages of 27,648 bytes (2304 units
// of 12 bytes; a node takes two units, a leaf or an end record one).  All
// kinds come from one current page, in the order they are asked for; a page
// is full once the next record does not fit.  A full page is released once
// every record it handed out has been given back.  Slots are never reused.

// A new internal node with the given packed edge start and length, all other
// words zero; STREE_NONE when memory runs out.
stree_ref int_stree_new_node(suffix_tree* tree, uint32_t edgestr,
                             int32_t edgelen);
// A new leaf for string strid whose edge starts at edgepos; first_char is set
// from the stored string.  STREE_NONE when memory runs out.
stree_ref int_stree_new_leaf(suffix_tree* tree, int32_t strid,
                             int32_t edgepos);
// A new end record for the suffix of strid starting at pos; next and
// children zero.  STREE_NONE when memory runs out.
stree_ref int_stree_new_endrec(suffix_tree* tree, int32_t strid, int32_t pos);
// Sets an internal node's edge start, keeping its cached first code.
void int_stree_set_edgestr(suffix_tree* tree, stree_ref node, uint32_t edgestr);
// Gives any record back to the pool.
void int_stree_free_record(suffix_tree* tree, stree_ref record);

// Test hooks.  After stree_pool_fail_at(n) with n > 0, the n-th record
// request from now fails (once); 0 disarms.  stree_pool_requests() counts
// every record request since the process started.
void stree_pool_fail_at(long n);
long stree_pool_requests();
// After stree_pool_fail_body_at(n) with n > 0, the n-th page body the pool
// asks the system for from now is refused (once), as when memory has run
// out; the pool then takes the child index's memory back and asks again.
void stree_pool_fail_body_at(long n);
// Pages currently allocated (for tests of page release).
long stree_pool_pages_in_use();

// ===== String table and tree object (table.cpp) ===========================

// Stores text[0..len) under the lowest free slot.  With copy_strings the
// text must be NUL-terminated at len.  Returns the slot, or -1 when the table
// is full, a byte lies outside the alphabet, or no memory is left; the table
// is then unchanged.
int32_t int_stree_table_add(suffix_tree* tree, const char* text, int32_t len,
                            int32_t id);
// Empties a slot (frees the copy when copy_strings); nothing when empty.
void int_stree_table_release(suffix_tree* tree, int32_t slot);

// A new empty tree, or nullptr.  alphabet_size must be 1..128.
suffix_tree* stree_new_tree(int alphabet_size, int copy_strings);
// Gives every record back to the pool and frees the strings and the tree.
void stree_delete_tree(suffix_tree* tree);

// ===== Navigation (navigate.cpp) ==========================================

inline bool int_stree_isaleaf(const suffix_tree*, stree_ref r) {
  return (int_stree_header(r) & STREE_LEAF_BIT) != 0;
}
// Pointer to the first character of the record's edge label (nullptr for
// the root).
inline const char* int_stree_edge_string(const suffix_tree* tree,
                                         stree_ref r) {
  uint32_t packed;
  if (int_stree_isaleaf(tree, r)) {
    packed = int_stree_leaf(r)->strpos;
  } else {
    if (int_stree_node(r)->edgelen == 0) return nullptr;  // the root
    packed = int_stree_node(r)->edgestr;
  }
  return tree->strings[stree_pos_strid(packed)] + stree_pos_offset(packed);
}
inline int32_t int_stree_edge_length(const suffix_tree* tree, stree_ref r) {
  if (!int_stree_isaleaf(tree, r)) return int_stree_node(r)->edgelen;
  uint32_t packed = int_stree_leaf(r)->strpos;
  return tree->lengths[stree_pos_strid(packed)] - stree_pos_offset(packed);
}
// The record's key among its siblings: the code of its edge label's first
// character (kept in the record for leaves and internal nodes alike).
inline int int_stree_code(const suffix_tree* tree, stree_ref r) {
  if (int_stree_isaleaf(tree, r))
    return static_cast<int>(int_stree_header(r) >> STREE_FIRST_CHAR_SHIFT);
  return static_cast<int>(int_stree_node(r)->code);
}
// The word holding an internal node's first child: the head end record's
// children word when the node has end records, its own otherwise.
inline stree_ref& int_stree_first_child_ref(stree_ref node) {
  stree_node* n = int_stree_node(node);
  return int_stree_has_endrecs(node) ? int_stree_endrec(n->children)->children
                                     : n->children;
}
// First child of a record (STREE_NONE for a leaf or a childless node).
stree_ref int_stree_first_child(const suffix_tree* tree, stree_ref r);
// Next sibling, or STREE_NONE for a last child.
inline stree_ref int_stree_next_sibling(stree_ref r) {
  return int_stree_is_last(r) ? STREE_NONE : int_stree_link(r);
}

// The child whose code equals the code of ch (low 8 bits), or STREE_NONE.
// An indexed node answers from its index block; otherwise the sibling list
// is walked, and a walk that passes int_stree_index_threshold() siblings
// gives the node a block (see the child index below).
stree_ref int_stree_find_child(const suffix_tree* tree, stree_ref node,
                               int ch);
// The parent; STREE_NONE for the root.
stree_ref int_stree_get_parent(const suffix_tree* tree, stree_ref r);
// Start position, in its string, of the suffix a leaf stands for.
int32_t int_stree_get_leafpos(const suffix_tree* tree, stree_ref leaf);
// Number of children (0 for a leaf).
int int_stree_num_children(const suffix_tree* tree, stree_ref r);
// Suffixes ending exactly here: 1 for a leaf, the end records of a node.
int int_stree_num_ends(const suffix_tree* tree, stree_ref r);
// STREE_NONE for the root; suffix_link for a node; for a leaf the record at
// which its suffix one character shorter ends (found by skip/count from the
// parent's suffix link, or from the root when the parent has none yet).
stree_ref int_stree_leaf_suffix_link(const suffix_tree* tree, stree_ref r);

// Walks text[0..len) down from edge position (record, pos) through internal
// nodes only.  Returns the characters matched; the stop point goes to
// *out_record / *out_pos.  Entering a leaf stops at (leaf, 0) without
// counting the leaf's first character.
int32_t int_stree_walk_to_leaf(const suffix_tree* tree, stree_ref record,
                               int32_t pos, const char* text, int32_t len,
                               stree_ref* out_record, int32_t* out_pos);
// As int_stree_walk_to_leaf, but goes on along a leaf's edge.
int32_t stree_walk(const suffix_tree* tree, stree_ref record, int32_t pos,
                   const char* text, int32_t len, stree_ref* out_record,
                   int32_t* out_pos);
// stree_walk from (root, 0).  The matched count equals len exactly when the
// text occurs in a stored string; every occurrence is then a suffix that ends
// at or below the stop record (list them with stree_traverse_subtree and
// stree_get_suffix).  A whole stored suffix stops at its locus with pos equal
// to that record's edge length.
int32_t stree_match(const suffix_tree* tree, const char* text, int32_t len,
                    stree_ref* out_record, int32_t* out_pos);

// ===== Numbering and traversal (traverse.cpp) =============================

// Gives every node and leaf its preorder node_id (children in list order,
// that is, path labels in byte order) when renumber_pending is set; no
// stack, no extra memory.  Numbers go stale with any later add or remove.
void int_stree_renumber(suffix_tree* tree);
inline uint32_t stree_node_id(suffix_tree* tree, stree_ref r) {
  if (tree->renumber_pending) int_stree_renumber(tree);
  return int_stree_id(r);
}

// Depth-first walk of the subtree at `record` (the whole tree for the root):
// enter(record, data) on the way down, leave(record, data) on the way up,
// children in list order.  Either callback may be null.  No stack is used.
// The callbacks must not change the tree (leave may give back the record it
// is called for, which is how a subtree is freed).
typedef void (*stree_visit_fn)(suffix_tree* tree, stree_ref record,
                               void* data);
void stree_traverse_subtree(suffix_tree* tree, stree_ref record,
                            stree_visit_fn enter, stree_visit_fn leave,
                            void* data);
void stree_traverse(suffix_tree* tree, stree_visit_fn enter,
                    stree_visit_fn leave, void* data);
// Length of the record's path label (0 for the root); climbs to the root.
int32_t stree_get_labellen(const suffix_tree* tree, stree_ref record);
// Copies up to buflen characters of the path label into buf, from its
// start, and returns the number copied (0 for the root).  No NUL is added.
int32_t stree_get_label(const suffix_tree* tree, stree_ref record, char* buf,
                        int32_t buflen);
// The k-th (from 1) suffix ending at the record: 1 with its slot, start
// position and caller id, or 0 when there is no k-th.
int stree_get_suffix(const suffix_tree* tree, stree_ref record, int k,
                     int32_t* out_strid, int32_t* out_pos, int32_t* out_id);

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
// or no memory.
int int_stree_add_endrec(suffix_tree* tree, stree_ref node, int32_t strid,
                         int32_t pos);
// Moves the start of a record's edge label by delta characters within its
// string: positive shortens the edge at its front, negative lengthens it
// (a leaf's first_char follows).  Used by splitting and folding.
void int_stree_shift_edge(suffix_tree* tree, stree_ref record, int32_t delta);

// ===== Child index (index.cpp) ============================================
//
// A side table that answers child lookups of nodes with many children
// without walking their sibling lists.  A lookup that passes at least
// int_stree_index_threshold() siblings gives its node a block holding the
// node's children in code order; while a node carries STREE_INDEXED_BIT,
// every edit of its child list keeps its block equal to the list.  The index
// never makes an operation fail: where it cannot get memory, the node stays
// (or becomes again) unindexed and is served by its list.  It is shared by
// all trees of the process, like the node pool.

// The child of an indexed node with this code, or STREE_NONE; *pred (when
// not null) receives the last child with a lower code, or STREE_NONE.
stree_ref int_stree_index_child(stree_ref node, int code, stree_ref* pred);
// Gives node a block if it has none and memory allows.
void int_stree_index_build(const suffix_tree* tree, stree_ref node);
// Keeps an indexed node's block current after its list gained `child` with
// `code` (a full block that cannot grow is dropped), got `child` in the
// place of its child with `code`, or lost its child with `code`.
void int_stree_index_add(stree_ref node, int code, stree_ref child);
void int_stree_index_set(stree_ref node, int code, stree_ref child);
void int_stree_index_remove(stree_ref node, int code);
// Drops the block of a node that leaves the tree (nothing for others).
void int_stree_index_forget(stree_ref node);
// nullptr when the node's block (or the absence of one) agrees with its
// list and its bit, else what is wrong.  Used by stree_check.
const char* int_stree_index_check(const suffix_tree* tree, stree_ref node);
int int_stree_index_threshold();

// Drops every block and the table (nodes keep working through their
// lists; lookups that walk far index their nodes again); 1 when it gave
// memory back.  vok calls it once the tree is built, so that the index's
// memory is free for the counting, and the pool calls it before it gives
// up for want of memory.
int stree_index_release();
// Siblings a lookup must pass before its node is indexed (default 6; 0
// turns indexing off).  For tests and measurements.
void stree_index_set_threshold(int children);
// Makes the n-th allocation of the index from now fail (0: never), and the
// number of nodes indexed now; for tests.
void stree_index_fail_at(long n);
long stree_index_nodes();

// ===== Insertion (insert.cpp) =============================================

// Stores text[0..len) and inserts all its suffixes.  With copy_strings the
// text must have its NUL at len (it is copied); without, the caller's text is
// referred to and must outlive the tree unchanged.  id is the caller's number
// for the string (ids may repeat).  1 on success; 0 when the table refuses
// the string, memory runs out or the node limit is reached, after every
// inserted suffix has been removed again and the slot released.  A tree that
// refused a string stays usable.
int stree_add_string(suffix_tree* tree, const char* text, int32_t len,
                     int32_t id);

// ===== Removal (remove.cpp) ===============================================

// Removes the suffixes 0..k-1 of the string in slot id (which must still be
// stored) and tidies the nodes they leave.  Takes no memory.
void stree_remove_suffixes(suffix_tree* tree, int32_t id, int32_t k);
// Removes the string with the given caller id (lowest such slot, as ids may
// repeat) and releases its slot: 1, or 0 when none is stored.  Any string
// may go: edge labels of nodes that outlive it are moved to another
// occurrence of the same path before its text is released.
int stree_remove_string(suffix_tree* tree, int32_t id);

int int_stree_remove_endrec(suffix_tree* tree, stree_ref node, int32_t strid,
                            int32_t pos);
void int_stree_remove_leaf(suffix_tree* tree, stree_ref record);
void int_stree_merge_single_child(suffix_tree* tree, stree_ref node);
void int_stree_free_subtree(suffix_tree* tree, stree_ref record);
void int_stree_unlink_child(suffix_tree* tree, stree_ref parent,
                            stree_ref child);

// ===== Consistency (check.cpp) ============================================

// Checks every structural invariant listed above that can be checked from
// the records (sorted unique sibling codes, link chains ending at the parent,
// head end record carrying the first child, num_nodes equal to the records
// reachable, leaf first_char, adjoining labels, tidy internal nodes).
// Returns nullptr when the tree is sound, else a description of the first
// fault found.  `tidy` 0 skips the tidy-node rule (after a rollback).
const char* stree_check(suffix_tree* tree, int tidy = 1);

// Assertion that names the condition, the module and the line; never fires
// on valid use.
[[noreturn]] void stree_assert_fail(const char* cond, const char* module,
                                    int line);
#define STREE_ASSERT(cond) \
  ((cond) ? (void)0 : stree_assert_fail(#cond, "stree", __LINE__))

#endif  // VOK_STREE_STREE_H
