// Faults that a review of the code demonstrated, each shown the way it was
// found: bytes outside the alphabet matched by their low bits, line ends
// that made documents, reads that wrote, and stale references that read
// whatever record had taken their place.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "brute_tree.h"
#include "output_index.h"
#include "run.h"
#include "run_program.h"

namespace {

namespace fs = std::filesystem;

// A byte outside the alphabet matches nothing, in lookups and in walks,
// whether it meets an internal node's edge or a leaf's.
TEST(Faults, BytesOutsideTheAlphabetMatchNothing) {
  auto t = brute::new_tree();
  ASSERT_EQ(stree_add_string(t.get(), "banana", 6, 0), 1);
  ASSERT_EQ(stree_add_string(t.get(), "xyz", 3, 1), 1);
  stree_ref r;
  int32_t pos;
  EXPECT_EQ(stree_match(t.get(), "b\xe1n\xe1", 4, &r, &pos), 1);  // a leaf
  EXPECT_EQ(stree_match(t.get(), "a\xeen", 3, &r, &pos), 1);      // a node
  EXPECT_EQ(stree_match(t.get(), "\xe1", 1, &r, &pos), 0);        // the root
  EXPECT_EQ(stree_match(t.get(), "\xf8yz", 3, &r, &pos), 0);
  EXPECT_EQ(int_stree_find_child(t.get(), t->root, 0xe1), STREE_NONE);
  EXPECT_EQ(int_stree_find_child(t.get(), t->root, 'b' | 0x80), STREE_NONE);
  EXPECT_EQ(stree_add_string(t.get(), "ban\xe1", 4, 2), 0);
}

// Reads take no memory and change nothing: not after the index has been
// given back, and not in the selection's suffix-link rule.
TEST(Faults, ReadsDoNotIndex) {
  brute::IndexEverything index;
  brute::Gen gen(5, "abcdefghij");
  auto t = brute::new_tree();
  brute::Collection c;
  for (int i = 0; i < 30; ++i)
    ASSERT_EQ(brute::add(t.get(), c, gen.random(60), i), 1);
  ASSERT_GT(stree_index_nodes(t.get()), 0);
  stree_index_release(t.get());
  const long allocations = t->index.allocations;
  for (const auto& [slot, text] : c) {
    stree_ref r;
    int32_t pos;
    for (size_t k = 0; k < text.size(); ++k)
      ASSERT_EQ(stree_match(t.get(), text.data() + k,
                            static_cast<int32_t>(text.size() - k), &r, &pos),
                static_cast<int32_t>(text.size() - k));
  }
  vok_settings s;
  s.max_link_prob = 0.5;
  s.max_parent_prob = 0.5;
  owned_selection o(t.get(), s);
  EXPECT_EQ(stree_index_nodes(t.get()), 0);
  EXPECT_EQ(t->index.allocations, allocations);
}

// A read through a reference to a record that was given back is caught in
// the sanitized build, also once its page has gone and new pages were
// opened (nothing is reused there).
TEST(Faults, StaleReferencesAreCaughtWhenSanitized) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "only the sanitized build catches stale reads";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto read_stale = [](bool new_pages) {
    auto t = brute::new_tree();
    brute::Gen gen(9, "ab");
    ASSERT_EQ(stree_add_string(t.get(), "abab", 4, 0), 1);
    stree_ref leaf = int_stree_first_child(t.get(), t->root);
    while (!int_stree_isaleaf(t.get(), leaf))
      leaf = int_stree_first_child(t.get(), leaf);
    ASSERT_EQ(stree_remove_string(t.get(), 0), 1);
    if (new_pages) {
      t.reset();
      t = brute::new_tree();
      const std::string text = gen.random(20000);
      ASSERT_EQ(stree_add_string(t.get(), text.c_str(), 20000, 1), 1);
    }
    std::printf("%u\n", int_stree_header(leaf));
  };
  EXPECT_DEATH(read_stale(false), "use-after-poison|use-after-free");
  EXPECT_DEATH(read_stale(true), "use-after-poison|use-after-free");
#endif
}

// Output lines pair one to one with input lines: the line end that a read
// of 524,287 characters leaves behind is no document, with LF or CRLF.
TEST(Faults, LineEndsLeftByAFullReadAreNoDocument) {
  temp_dir tmp;
  auto voks = [&](const std::string& text) {
    write_file(tmp / "in.txt", text);
    EXPECT_EQ(vok_run(vok_settings(), (tmp / "in.txt").c_str(),
                      (tmp / "out.txt").c_str()),
              0);
    return read_file(tmp / "out.txt");
  };
  brute::Gen gen(3, "ab c");
  for (size_t n : {size_t{524286}, size_t{524287}}) {
    const std::string line = gen.random(static_cast<int>(n));
    const std::string lf = voks("ab ac\n" + line + "\nab\n");
    EXPECT_EQ(std::count(lf.begin(), lf.end(), '\n'), 3) << n;
    EXPECT_EQ(voks("ab ac\r\n" + line + "\r\nab\r\n"), lf) << n;
  }
}

}  // namespace
