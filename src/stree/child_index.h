// The child index of a tree: a side table that answers child lookups of
// nodes with many children without walking their sibling lists.
//
// Insertion's lookups that pass at least `threshold` siblings give their
// node a block holding the node's children in code order; while a node
// carries STREE_INDEXED_BIT, every edit of its child list keeps its block
// equal to the list.  Reads never build blocks.  The index never makes an
// operation fail: where it cannot get memory, the node stays (or becomes
// again) unindexed and is served by its list.
//
// Each tree owns its index (suffix_tree::index); it lives and dies with the
// tree and is given back by stree_index_release.
#ifndef VOK_STREE_CHILD_INDEX_H
#define VOK_STREE_CHILD_INDEX_H

#include <cstddef>
#include <cstdint>

#include "records.h"

STREE_NS_BEGIN

struct stree_index_block;
struct stree_index_run;

// A node and its block side by side in the open-addressing table.
struct stree_index_entry {
  stree_ref node;  // STREE_NONE: empty slot
  stree_index_block* block;
};

constexpr int STREE_INDEX_CLASSES = 4;  // block sizes
constexpr int STREE_INDEX_THRESHOLD = 6;

struct stree_child_index {
  stree_index_entry* table = nullptr;
  uint32_t mask = 0;  // slots - 1; slots is a power of two
  uint32_t used = 0;  // nodes indexed
  stree_index_run* runs = nullptr;  // every run of blocks taken
  char* run_next = nullptr;         // the unused end of the newest run
  size_t run_left = 0;              // its bytes
  stree_index_block* free_blocks[STREE_INDEX_CLASSES] = {};
  int threshold = STREE_INDEX_THRESHOLD;  // 0: no indexing
  long allocations = 0;  // allocations made (for failure injection)
  long fail_at = 0;      // allocation number that fails; 0 = never
};

struct suffix_tree;

// The child of an indexed node with this code, or STREE_NONE; *pred (when
// not null) receives the last child with a lower code, or STREE_NONE.
stree_ref int_stree_index_child(const suffix_tree* tree, stree_ref node,
                                int code, stree_ref* pred);
// Gives node a block if it has none and memory allows.
void int_stree_index_build(suffix_tree* tree, stree_ref node);
// Keeps an indexed node's block current after its list gained `child` with
// `code` (a full block that cannot grow is dropped), got `child` in the
// place of its child with `code`, or lost its child with `code`.
void int_stree_index_add(suffix_tree* tree, stree_ref node, int code,
                         stree_ref child);
void int_stree_index_set(suffix_tree* tree, stree_ref node, int code,
                         stree_ref child);
void int_stree_index_remove(suffix_tree* tree, stree_ref node, int code);
// Drops the block of a node that leaves the tree (nothing for others).
void int_stree_index_forget(suffix_tree* tree, stree_ref node);
// nullptr when the node's block (or the absence of one) agrees with its
// list and its bit, else what is wrong.  Used by stree_check.
const char* int_stree_index_check(const suffix_tree* tree, stree_ref node);

STREE_NS_END

#endif  // VOK_STREE_CHILD_INDEX_H
