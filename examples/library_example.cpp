// Using the suffix tree as a library: build a tree over a few strings, find
// every occurrence of a pattern, read path labels, remove a string and
// delete the tree.
//
// Build against an installed vok with CMake:
//
//   find_package(vok REQUIRED)
//   add_executable(library_example library_example.cpp)
//   target_link_libraries(library_example PRIVATE vok::stree)
//
// which puts the installed include directory, and include/stree as well,
// on the include path: #include <stree/stree.h> and #include <stree/stree.h>
// both find the header.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <stree/stree.h>

namespace {

// One occurrence of a pattern: the caller's id of the string and the start
// position in it.
struct occurrence {
  int32_t id;
  int32_t pos;
  bool operator<(const occurrence& o) const {
    return id != o.id ? id < o.id : pos < o.pos;
  }
};

// Every suffix ending at or below a record starts with the record's path
// label, and so with every prefix of it: stree_get_suffix lists the suffixes
// ending at one record, stree_traverse_subtree visits the records below.
void collect_suffixes(suffix_tree* tree, stree_ref record, void* data) {
  auto* found = static_cast<std::vector<occurrence>*>(data);
  int32_t strid, pos, id;
  for (int k = 1; stree_get_suffix(tree, record, k, &strid, &pos, &id); ++k)
    found->push_back({id, pos});
}

// The path label of a record: the longest string that leads to it.
std::string path_label(suffix_tree* tree, stree_ref record) {
  std::string label(static_cast<size_t>(stree_get_labellen(tree, record)), ' ');
  int32_t n = stree_get_label(tree, record, label.data(),
                              static_cast<int32_t>(label.size()));
  label.resize(static_cast<size_t>(n));
  return label;
}

// Prints where the pattern occurs, with the stored strings' ids, and the
// path label of the record at which its match ends.
void find(suffix_tree* tree, const char* pattern) {
  int32_t len = static_cast<int32_t>(std::strlen(pattern));
  stree_ref record;
  int32_t pos;
  int32_t matched = stree_match(tree, pattern, len, &record, &pos);
  if (matched < len) {
    std::printf("%-6s no occurrence; the longest prefix found is \"%.*s\"\n",
                pattern, static_cast<int>(matched), pattern);
    return;
  }
  std::vector<occurrence> found;
  stree_traverse_subtree(tree, record, collect_suffixes, nullptr, &found);
  std::sort(found.begin(), found.end());
  std::printf("%-6s %zu occurrence%s (string:position):", pattern,
              found.size(), found.size() == 1 ? "" : "s");
  for (const occurrence& o : found) std::printf(" %d:%d", o.id, o.pos);
  std::printf("; path label \"%s\"\n", path_label(tree, record).c_str());
}

}  // namespace

int main() {
  // Alphabet of 128 (7-bit bytes); the tree keeps its own copies of the
  // strings.
  suffix_tree* tree = stree_new_tree(128, 1);
  if (!tree) return 1;

  // Each string is stored under an id of the caller's choice; the text
  // must be NUL-terminated at its length.
  const char* strings[] = {"banana", "bandana", "cabana"};
  for (int32_t i = 0; i < 3; ++i) {
    int32_t len = static_cast<int32_t>(std::strlen(strings[i]));
    if (!stree_add_string(tree, strings[i], len, 10 + i)) {
      std::printf("string %d refused\n", 10 + i);
      return 1;
    }
    std::printf("added %d \"%s\"\n", 10 + i, strings[i]);
  }
  std::printf("%d nodes and leaves\n", stree_num_nodes(tree));

  find(tree, "ana");
  find(tree, "ban");
  find(tree, "cab");  // one occurrence: the match ends on a leaf's edge
  find(tree, "band");

  if (!stree_remove_string(tree, 11)) return 1;
  std::printf("removed 11 \"bandana\"\n");
  find(tree, "ana");
  find(tree, "band");
  std::printf("%d nodes and leaves\n", stree_num_nodes(tree));

  stree_delete_tree(tree);
  return 0;
}
