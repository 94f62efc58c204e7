// The string table and the tree object.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>
#include <type_traits>

#include "stree_internal.h"

STREE_NS_BEGIN

namespace {

// Gives the table room for `slots` entries; false when memory runs out (the
// table is then as it was, perhaps with larger arrays).
bool grow_table(suffix_tree* tree, int32_t slots) {
  if (slots <= tree->slots) return true;
  const size_t n = static_cast<size_t>(slots);
  auto grow = [&](auto*& array) {
    using T = std::remove_reference_t<decltype(*array)>;
    T* bigger = static_cast<T*>(std::realloc(array, n * sizeof(T)));
    if (!bigger) return false;
    std::memset(bigger + tree->slots, 0, (n - static_cast<size_t>(tree->slots)) * sizeof(T));
    array = bigger;
    return true;
  };
  if (!grow(tree->strings) || !grow(tree->lengths) || !grow(tree->ids)) return false;
  tree->slots = slots;
  return true;
}

// Whether the table refuses text[0..len) in `slot`; grows the table's
// arrays when the slot lies beyond them.
bool refuses(suffix_tree* tree, int32_t slot, const char* text, int32_t len) {
  if (slot >= STREE_MAX_STRINGS || len < 0 || len > STREE_MAX_POSITION + 1)
    return true;
  if (slot >= tree->slots &&
      !grow_table(tree, slot <= STREE_MAX_STRINGS - slot
                            ? std::max(2 * slot, STREE_TABLE_BLOCK)
                            : STREE_MAX_STRINGS))
    return true;
  for (int32_t i = 0; i < len; ++i)
    if (int_stree_code_of(tree, text[i]) >= tree->alphabet_size) return true;
  return false;
}

// Fills the slot and moves next_free past the slots in use.
int32_t fill_slot(suffix_tree* tree, int32_t slot, char* stored, int32_t len,
                  int32_t id) {
  tree->strings[slot] = stored;
  tree->lengths[slot] = len;
  tree->ids[slot] = id;
  int32_t next = slot + 1;
  while (next < tree->slots && tree->strings[next]) ++next;
  tree->next_free = next;
  return slot;
}

// Whether a stored string's copy lies in the text block (and so is freed
// with the block, not on its own).
bool in_block(const suffix_tree* tree, const char* s) {
  return tree->block && s >= tree->block && s < tree->block + tree->block_used;
}

// Room for `more` bytes at the end of the block, which may move: the
// pointers of the strings in it move along.  False when memory runs out.
bool reserve_block(suffix_tree* tree, size_t more) {
  if (tree->block_room - tree->block_used >= more) return true;
  constexpr size_t kFirstRoom = size_t{1} << 16;
  const size_t room =
      std::max({tree->block_used + more, 2 * tree->block_room, kFirstRoom});
  // The old place as a number: once moved, its pointers are not to be used.
  const uintptr_t old = reinterpret_cast<uintptr_t>(tree->block);
  char* moved = static_cast<char*>(std::realloc(tree->block, room));
  if (!moved) return false;
  if (reinterpret_cast<uintptr_t>(moved) != old)
    for (int32_t slot = 0; slot < tree->slots; ++slot) {
      const uintptr_t at = reinterpret_cast<uintptr_t>(tree->strings[slot]);
      if (tree->strings[slot] && at >= old && at < old + tree->block_used)
        tree->strings[slot] = moved + (at - old);
    }
  tree->block = moved;
  tree->block_room = room;
  return true;
}

}  // namespace

int32_t int_stree_table_add(suffix_tree* tree, const char* text, int32_t len,
                            int32_t id) {
  const int32_t slot = tree->next_free;
  if (refuses(tree, slot, text, len)) return -1;
  char* stored = const_cast<char*>(text);
  if (tree->copy_strings) {
    stored = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
    if (!stored) return -1;
    std::memcpy(stored, text, static_cast<size_t>(len));
    stored[len] = '\0';
  }
  return fill_slot(tree, slot, stored, len, id);
}

int32_t int_stree_table_append(suffix_tree* tree, const char* text,
                               int32_t len, int32_t id) {
  STREE_ASSERT(tree->copy_strings);
  const int32_t slot = tree->next_free;
  if (refuses(tree, slot, text, len)) return -1;
  if (!reserve_block(tree, static_cast<size_t>(len) + 1)) return -1;
  char* stored = tree->block + tree->block_used;
  std::memcpy(stored, text, static_cast<size_t>(len));
  stored[len] = '\0';
  tree->block_used += static_cast<size_t>(len) + 1;
  return fill_slot(tree, slot, stored, len, id);
}

void int_stree_table_release(suffix_tree* tree, int32_t slot) {
  if (slot < 0 || slot >= tree->slots || !tree->strings[slot]) return;
  if (tree->copy_strings && !in_block(tree, tree->strings[slot]))
    std::free(tree->strings[slot]);
  tree->strings[slot] = nullptr;
  if (slot < tree->next_free) tree->next_free = slot;
}

suffix_tree* stree_new_tree(int alphabet_size, int copy_strings) {
  if (alphabet_size < 1 || alphabet_size > STREE_MAX_ALPHABET) return nullptr;
  auto* tree = new (std::nothrow) suffix_tree();  // zeroed but for the index
  if (!tree) return nullptr;
  // Bytes are their own codes; in the narrow layout those above 127 lie
  // outside every alphabet.
  for (int c = 0; c < 256; ++c)
    tree->char_map[c] = c < STREE_MAX_ALPHABET ? static_cast<unsigned char>(c)
                                               : STREE_NO_CODE;
  if (grow_table(tree, std::min(STREE_TABLE_BLOCK, STREE_MAX_STRINGS)))
    tree->root = int_stree_new_node(tree, 0, 0);
  if (tree->root == STREE_NONE) {
    int_stree_release_pages(tree);
    std::free(tree->strings);
    std::free(tree->lengths);
    std::free(tree->ids);
    delete tree;
    return nullptr;
  }
  tree->num_nodes = 1;
  tree->copy_strings = copy_strings;
  tree->alphabet_size = alphabet_size;
  int_stree_set_last(tree->root, true);
  return tree;
}

void stree_delete_tree(suffix_tree* tree) {
  if (!tree) return;
  stree_index_release(tree);  // before the pages: it clears node bits
  int_stree_release_pages(tree);
  for (int32_t slot = 0; slot < tree->slots; ++slot)
    int_stree_table_release(tree, slot);
  std::free(tree->strings);
  std::free(tree->lengths);
  std::free(tree->ids);
  std::free(tree->block);
  delete tree;
}

stree_count stree_num_nodes(const suffix_tree* tree) { return tree ? tree->num_nodes : 0; }
stree_ref stree_root(const suffix_tree* tree) { return tree ? tree->root : STREE_NONE; }

void stree_assert_fail(const char* cond, const char* module, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "Assertion failed: %s, module %s, line %d\n", cond,
               module, line);
  std::abort();
}

STREE_NS_END
