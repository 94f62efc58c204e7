// The string table and the tree object.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stree.h"

int32_t int_stree_table_add(suffix_tree* tree, const char* text, int32_t len,
                            int32_t id) {
  int32_t slot = tree->next_free;
  if (slot >= STREE_MAX_STRINGS || len < 0 || len > STREE_MAX_POSITION + 1)
    return -1;
  for (int32_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c & 0x80 || tree->char_map[c] >= tree->alphabet_size) return -1;
  }
  char* stored = const_cast<char*>(text);
  if (tree->copy_strings) {
    stored = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
    if (!stored) return -1;
    std::memcpy(stored, text, static_cast<size_t>(len));
    stored[len] = '\0';
  }
  tree->strings[slot] = stored;
  tree->lengths[slot] = len;
  tree->ids[slot] = id;
  int32_t next = slot + 1;
  while (next < STREE_MAX_STRINGS && tree->strings[next]) ++next;
  tree->next_free = next;
  return slot;
}

void int_stree_table_release(suffix_tree* tree, int32_t slot) {
  if (slot < 0 || slot >= STREE_MAX_STRINGS || !tree->strings[slot]) return;
  if (tree->copy_strings) std::free(tree->strings[slot]);
  tree->strings[slot] = nullptr;
  if (slot < tree->next_free) tree->next_free = slot;
}

suffix_tree* stree_new_tree(int alphabet_size, int copy_strings) {
  if (alphabet_size < 1 || alphabet_size > 128) return nullptr;
  auto* tree = static_cast<suffix_tree*>(std::calloc(1, sizeof(suffix_tree)));
  if (!tree) return nullptr;
  for (int c = 0; c < 128; ++c) tree->char_map[c] = static_cast<unsigned char>(c);
  tree->strings = static_cast<char**>(
      std::calloc(STREE_MAX_STRINGS, sizeof(char*)));
  tree->lengths = static_cast<int32_t*>(
      std::calloc(STREE_MAX_STRINGS, sizeof(int32_t)));
  tree->ids = static_cast<int32_t*>(
      std::calloc(STREE_MAX_STRINGS, sizeof(int32_t)));
  if (tree->strings && tree->lengths && tree->ids)
    tree->root = int_stree_new_node(tree, 0, 0);
  if (tree->root == STREE_NONE) {
    std::free(tree->strings);
    std::free(tree->lengths);
    std::free(tree->ids);
    std::free(tree);
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
  int_stree_free_subtree(tree, tree->root);
  for (int32_t slot = 0; slot < STREE_MAX_STRINGS; ++slot)
    int_stree_table_release(tree, slot);
  std::free(tree->strings);
  std::free(tree->lengths);
  std::free(tree->ids);
  std::free(tree);
}

void stree_assert_fail(const char* cond, const char* module, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "Assertion failed: %s, module %s, line %d\n", cond,
               module, line);
  std::abort();
}
