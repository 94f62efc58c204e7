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
#if defined(STREE_WIDE)
  if (!grow(tree->bases)) return false;
#endif
  tree->slots = slots;
  return true;
}

#if defined(STREE_WIDE)
// ---- text offsets ------------------------------------------------------------
//
// Records keep a position as one word, an offset into the runs of offsets
// that strings are given one after another (a string of length n takes
// n + 1, its NUL's included, so that a suffix's end has an offset too).
// A removed string leaves its run unused; once the unused runs would take
// more offsets than the stored strings hold (or the next run would pass the
// limit) the runs are dealt out anew, densely, and every record's offset is
// rewritten: the work of a rewrite is paid for by the offsets added since
// the last one.

// Grows a malloc'd array to at least `need` entries (doubling); false when
// memory runs out, the array then as it was.
template <typename T>
bool grow_to(T*& array, size_t& room, size_t need) {
  if (need <= room) return true;
  const size_t bigger = std::max({need, 2 * room, size_t{64}});
  T* moved = static_cast<T*>(std::realloc(array, bigger * sizeof(T)));
  if (!moved) return false;
  array = moved;
  room = bigger;
  return true;
}

// Stretches the table of stretches covers with runs up to `end` offsets,
// and the entry after them.
size_t stretches_for(uint64_t end) {
  return static_cast<size_t>((end + STREE_STRETCH_OFFSETS - 1) >> STREE_STRETCH_BITS) + 1;
}

// Enters the run [base, base + count) of span `i` in the table of stretches:
// every stretch that starts in it, and the entry after the last, which
// bounds the search in the stretch that the run ends in.
void enter_run(uint32_t* stretch_first, uint64_t base, uint64_t count, uint32_t i) {
  const uint64_t end = base + count;
  for (uint64_t s = (base + STREE_STRETCH_OFFSETS - 1) >> STREE_STRETCH_BITS;
       s << STREE_STRETCH_BITS < end; ++s)
    stretch_first[s] = i;
  stretch_first[((end - 1) >> STREE_STRETCH_BITS) + 1] = i;
}

// Moves an offset from its run to the same place of its slot's new run
// (`bases`: the new runs' starts).
void rewrite(const suffix_tree* tree, stree_pos_field& f, const uint32_t* bases) {
  const stree_pos p = int_stree_pos(tree, f);
  f.at = bases[stree_pos_strid(p)] + static_cast<uint32_t>(stree_pos_offset(p));
}

void rewrite_visit(suffix_tree* tree, stree_ref r, void* bases) {
  const auto* s = static_cast<const uint32_t*>(bases);
  if (int_stree_isaleaf(tree, r)) {
    rewrite(tree, int_stree_leaf(r)->strpos, s);
    return;
  }
  stree_node* n = int_stree_node(r);
  if (n->edgelen > 0) rewrite(tree, n->edgestr, s);
  if (int_stree_has_endrecs(r))
    for (stree_ref e = n->children; e != STREE_NONE; e = int_stree_endrec(e)->next)
      rewrite(tree, int_stree_endrec(e)->strpos, s);
}

// Deals the runs out anew to the stored strings in slot order, `more`
// offsets left free after them, and rewrites every record's offset.  False
// when memory runs out or the runs cannot fit the limit, the tree then
// unchanged.
bool pack_offsets(suffix_tree* tree, uint64_t more, uint64_t limit) {
  if (tree->live_offsets + more > limit) return false;
  uint32_t* bases = static_cast<uint32_t*>(std::calloc(static_cast<size_t>(tree->slots), sizeof(uint32_t)));
  size_t span_room = 0, stretch_room = 0;
  stree_span* spans = nullptr;
  uint32_t* stretch_first = nullptr;
  uint32_t count = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot) count += tree->strings[slot] != nullptr;
  if (!bases || !grow_to(spans, span_room, count + size_t{1}) ||
      !grow_to(stretch_first, stretch_room, stretches_for(tree->live_offsets + more))) {
    std::free(bases);
    std::free(spans);
    std::free(stretch_first);
    return false;
  }
  uint64_t next = 0;
  uint32_t i = 0;
  for (int32_t slot = 0; slot < tree->slots; ++slot) {
    if (!tree->strings[slot]) continue;
    const uint64_t run = static_cast<uint64_t>(tree->lengths[slot]) + 1;
    bases[slot] = static_cast<uint32_t>(next);
    spans[i] = {static_cast<uint32_t>(next), slot};
    enter_run(stretch_first, next, run, i++);
    next += run;
  }
  stree_traverse(tree, rewrite_visit, nullptr, bases);
  std::free(tree->bases);
  std::free(tree->spans);
  std::free(tree->stretch_first);
  tree->bases = bases;
  tree->spans = spans;
  tree->span_count = count;
  tree->span_room = span_room;
  tree->stretch_first = stretch_first;
  tree->stretch_room = stretch_room;
  tree->next_offset = next;
  tree->offsets_apart = 1;  // the block's strings stay where they were
  return true;
}

// Gives `slot` a run for a string of `len` bytes, kept at `stored`; false
// when memory runs out or no run fits, the offsets then as they were (but
// perhaps dealt out anew).
bool give_run(suffix_tree* tree, int32_t slot, int32_t len, const char* stored) {
  const uint64_t run = static_cast<uint64_t>(len) + 1;
  const uint64_t limit = tree->offset_limit ? tree->offset_limit : STREE_OFFSET_LIMIT;
  const uint64_t unused = tree->next_offset - tree->live_offsets;
  // A rewrite walks the table's slots as well as the records.  One that
  // only tidies may fail for memory: the run is then taken after the rest.
  const uint64_t paid = tree->live_offsets + static_cast<uint64_t>(tree->slots) + run;
  const bool full = tree->next_offset + run > limit;
  if ((full || unused > paid) && !pack_offsets(tree, run, limit) && full) return false;
  const uint64_t base = tree->next_offset;
  // Every run holds an offset, so fewer than 2^32 are ever given.
  if (!grow_to(tree->spans, tree->span_room, tree->span_count + size_t{1}) ||
      !grow_to(tree->stretch_first, tree->stretch_room, stretches_for(base + run))) return false;
  tree->spans[tree->span_count] = {static_cast<uint32_t>(base), slot};
  enter_run(tree->stretch_first, base, run, tree->span_count++);
  tree->bases[slot] = static_cast<uint32_t>(base);
  tree->next_offset = base + run;
  tree->live_offsets += run;
  if (!tree->block || stored != tree->block + base) tree->offsets_apart = 1;
  return true;
}
#else
// The narrow layout keeps no offsets.
bool give_run(suffix_tree*, int32_t, int32_t, const char*) { return true; }
#endif

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

// Frees the tables of text offsets (nothing in the narrow layout).
void free_offsets([[maybe_unused]] suffix_tree* tree) {
#if defined(STREE_WIDE)
  std::free(tree->bases);
  std::free(tree->spans);
  std::free(tree->stretch_first);
#endif
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
  if (!give_run(tree, slot, len, stored)) {
    if (tree->copy_strings) std::free(stored);
    return -1;
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
  if (!give_run(tree, slot, len, stored)) return -1;
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
#if defined(STREE_WIDE)
  tree->live_offsets -= static_cast<uint64_t>(tree->lengths[slot]) + 1;
#endif
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
    free_offsets(tree);
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
  std::free(tree->unlinked.wide);
  free_offsets(tree);
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
