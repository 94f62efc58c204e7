// examples/library_example.cpp prints what a brute-force reading of its
// three strings says: every occurrence of each pattern, the path label at
// which its match ends, the longest prefix found of a missing pattern, and
// the number of nodes and leaves before and after a string is removed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "reference.h"
#include "run_program.h"

namespace {

struct stored {
  int id;
  std::string text;
};

// The path label of the pattern's locus: the pattern extended while every
// occurrence goes on with the same character.
std::string path_label(const std::vector<stored>& strings, std::string p) {
  for (;;) {
    int next = -1;  // -1 none yet, -2 no single extension
    for (const stored& s : strings)
      for (size_t j = 0; j + p.size() <= s.text.size(); ++j) {
        if (s.text.compare(j, p.size(), p) != 0) continue;
        int c = j + p.size() < s.text.size() ? s.text[j + p.size()] : -2;
        next = next == -1 || next == c ? c : -2;
      }
    if (next < 0) return p;
    p += static_cast<char>(next);
  }
}

std::string find_line(const std::vector<stored>& strings,
                      const std::string& p) {
  std::string occurrences;
  size_t n = 0;
  for (const stored& s : strings)
    for (size_t j = 0; j + p.size() <= s.text.size(); ++j)
      if (s.text.compare(j, p.size(), p) == 0) {
        occurrences += " " + std::to_string(s.id) + ":" + std::to_string(j);
        ++n;
      }
  char head[64];
  if (n == 0) {
    // The longest prefix that occurs.
    std::string prefix = p;
    while (!prefix.empty()) {
      prefix.pop_back();
      bool found = false;
      for (const stored& s : strings)
        found = found || s.text.find(prefix) != std::string::npos;
      if (found) break;
    }
    std::snprintf(head, sizeof head, "%-6s ", p.c_str());
    return head + std::string("no occurrence; the longest prefix found is \"") +
           prefix + "\"\n";
  }
  std::snprintf(head, sizeof head, "%-6s %zu occurrence%s (string:position):",
                p.c_str(), n, n == 1 ? "" : "s");
  return head + occurrences + "; path label \"" + path_label(strings, p) +
         "\"\n";
}

std::string node_count(const std::vector<stored>& strings) {
  std::vector<std::string> docs;
  for (const stored& s : strings) docs.push_back(s.text);
  return std::to_string(reference_build(docs).records.size()) +
         " nodes and leaves\n";
}

TEST(LibraryExample, PrintsWhatTheStringsHold) {
  std::vector<stored> strings = {{10, "banana"}, {11, "bandana"}, {12, "cabana"}};
  std::string want;
  for (const stored& s : strings)
    want += "added " + std::to_string(s.id) + " \"" + s.text + "\"\n";
  want += node_count(strings);
  for (const char* p : {"ana", "ban", "cab", "band"}) want += find_line(strings, p);
  strings.erase(strings.begin() + 1);
  want += "removed 11 \"bandana\"\n";
  for (const char* p : {"ana", "band"}) want += find_line(strings, p);
  want += node_count(strings);

  program_result r = run_program({VOK_LIBRARY_EXAMPLE});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.err, "");
}

}  // namespace
