// The tree against the model (history.h) over random histories, and what
// they cannot reach: deep chains, a full table, damage, stale references.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

#include "history.h"

namespace {

using history::History;

struct Shape {
  std::string alphabet;  // the bytes texts are made of
  int alphabet_size;     // the tree's
  int threshold;         // the child index's (1: every node)
  bool copy;
  uint32_t histories;
  int maxlen;
};

// Adds, each failing at every request of a random kind in turn, some with
// a refused byte; removals of known and unknown ids; index releases.
void random_histories(const Shape& s) {
  for (uint32_t seed = 1; seed <= s.histories; ++seed) {
    std::mt19937 rng(seed);
    History h(s.alphabet_size, s.copy, s.threshold);
    if (seed % 2) history::crowd_offsets(h, 1024);  // above any history's strings
    std::vector<std::string> made{""};
    std::string trace;
    for (int step = 0; step < 6; ++step) {
      std::string text = rng() % 3 ? "" : made[rng() % made.size()];
      for (int n = int(rng() % (s.maxlen + 1)); n > 0; --n)
        text += s.alphabet[rng() % s.alphabet.size()];
      if (rng() % 16 == 0) text.insert(rng() % (text.size() + 1), 1, char(0x80 + rng() % 128));
      made.push_back(text);
      auto how = static_cast<history::Fail>(rng() % 4);
      int32_t id = int32_t(rng() % 4);
      trace += " add(" + std::to_string(how) + ") " + std::to_string(id) + ":" + text;
      std::string e = history::add(h, text, id, how);
      if (e.empty() && rng() % 3 == 0) {
        id = int32_t(rng() % 5);
        trace += " remove " + std::to_string(id);
        e = history::remove(h, id);
      }
      if (rng() % 8 == 0) stree_index_release(h.tree), trace += " release";
      ASSERT_EQ(e, "") << "history " << seed << ":" << trace;
    }
    ASSERT_EQ(history::finish(h), "") << "history " << seed;
  }
}

TEST(Tree, RandomHistoriesMatchTheModel) {
  const Shape shapes[] = {
      {"ab", 128, STREE_INDEX_THRESHOLD, true, 600, 12},
      {"abc", 128, 1, true, 600, 12},
      {std::string("\0a\177", 3), 128, STREE_INDEX_THRESHOLD, false, 400, 10},
      {"abcdefgh ", 128, 1, false, 250, 16},
      {"bcd", 100, 1, true, 250, 8},  // 'd' is code 100, outside
      {"a\x80\xfe\xff", STREE_MAX_ALPHABET, 1, true, 250, 10},  // narrow: refused
  };
  for (const Shape& s : shapes) random_histories(s);
}

// A tree built in one go from stored strings is the tree their insertion
// gives, links included.  A build that fails at any record request, any
// page body, any allocation of its own or the sorter's, or the node limit
// gives every page
// back; one that gets through never met its failing allocation, which is
// then the next one.
TEST(Tree, BuiltInOneGoMatchesTheModel) {
  const std::string alphabets[] = {"ab", "abc", "a", "abcdefgh ", "a\x7f\x80\xff"};
  auto store = [](History& h, const std::vector<std::string>& texts) {
    for (size_t i = 0; i < texts.size(); ++i) {
      const bool fits = int_stree_table_append(h.tree, texts[i].data(), int32_t(texts[i].size()),
                                               int32_t(i % 3)) == int32_t(i);
      h.texts[int32_t(i)] = texts[i];
      h.ids[int32_t(i)] = int32_t(i % 3);
      if (!fits) return false;
    }
    return true;
  };
  for (uint32_t seed = 1; seed <= 500; ++seed) {
    std::mt19937 rng(seed);
    const std::string& letters = alphabets[seed % 5];
    std::vector<std::string> texts;
    for (int n = 1 + int(rng() % 7); n > 0; --n) {
      std::string text = texts.empty() || rng() % 3 ? "" : texts[rng() % texts.size()];
      for (int k = int(rng() % 14); k > 0; --k) text += letters[rng() % letters.size()];
      texts.push_back(text);
    }
    // Small windows make the link walks take many turns.  Every third
    // build leaves the links to be set after it: 1 when both went through,
    // 2 when the build did and setting the links did not.
    const int64_t window = seed % 3 ? 1 + int64_t(rng() % 64) : STREE_LINK_WINDOW;
    const bool later = seed % 3 == 0;
    auto build = [window, later, threads = 1 + int(seed % 4)](suffix_tree* tree) {
      const stree_build_outcome built =
          int_stree_build(tree, nullptr, window, threads, nullptr, !later).outcome;
      if (built != STREE_BUILD_DONE) return 0;
      return int_stree_set_links(tree, nullptr, window, threads) == STREE_BUILD_DONE ? 1 : 2;
    };
    History h(STREE_MAX_ALPHABET, true, seed % 2 ? 1 : STREE_INDEX_THRESHOLD);
    if (!store(h, texts)) {  // a byte above 127 in the narrow tree
      ASSERT_EQ(STREE_MAX_ALPHABET, 128) << seed;
      continue;
    }
    ASSERT_EQ(build(h.tree), 1) << seed;
    ASSERT_EQ(history::check(h), "") << "seed " << seed;
    const stree_count records = h.tree->num_nodes - 1;
    ASSERT_EQ(history::finish(h), "");
    if (later) {  // adding or removing a string first sets the links a build left
      History g(STREE_MAX_ALPHABET, true, STREE_INDEX_THRESHOLD);
      ASSERT_TRUE(store(g, texts));
      ASSERT_EQ(int_stree_build(g.tree, nullptr, window, 1, nullptr, false).outcome,
                STREE_BUILD_DONE);
      ASSERT_EQ(seed % 2 ? history::add(g, texts[0] + "b", 7) : history::remove(g, 0), "") << seed;
      ASSERT_EQ(history::finish(g), "");
    }
    if (seed % 10) continue;
    // how: a record request, an allocation of the build, a page body (which
    // the records' threads ask for too).
    for (int how = 0; how < 3; ++how)
      for (long n = 1;; ++n) {
        History f(STREE_MAX_ALPHABET, true, STREE_INDEX_THRESHOLD);
        ASSERT_TRUE(store(f, texts));
        how == 2 ? stree_pool_fail_body_at(n) : how ? stree_build_fail_at(n) : stree_pool_fail_at(n);
        const int built = build(f.tree);
        int_stree_sorted next;
        const unsigned char nul = 0;
        const bool swallowed = how == 1 && built == 1 && int_stree_sort_suffixes(&nul, 1, &next);
        int_stree_sorted_free(&next);
        stree_build_fail_at(0);
        stree_pool_fail_at(0);
        stree_pool_fail_body_at(0);
        ASSERT_FALSE(swallowed) << "seed " << seed << ": allocation " << n << " failed unnoticed";
        if (built == 2) {  // the build stands, its links still to be set
          ASSERT_EQ(int_stree_set_links(f.tree), STREE_BUILD_DONE)
              << "seed " << seed << " failing at " << n;
        }
        if (built) {
          ASSERT_EQ(history::check(f), "") << "seed " << seed << " failing at " << n;
        }
        ASSERT_EQ(history::finish(f), "") << "seed " << seed << " failing at " << n;
        if (built == 1) break;
      }
    for (stree_count more : {0, 1}) {  // the records fit exactly, or one too many
      History f(STREE_MAX_ALPHABET, true, STREE_INDEX_THRESHOLD);
      ASSERT_TRUE(store(f, texts));
      f.tree->num_nodes = STREE_MAX_NODES - records + more;
      EXPECT_EQ(build(f.tree), 1 - more) << seed;
      EXPECT_EQ(f.tree->num_nodes, more ? 0 : STREE_MAX_NODES) << seed;
      EXPECT_EQ(history::finish(f), "");
    }
  }
  // Strings it cannot build from: a NUL inside, one not in the block.
  History h(128, true, STREE_INDEX_THRESHOLD);
  ASSERT_TRUE(store(h, {"ab", std::string("a\0b", 3)}));
  EXPECT_EQ(int_stree_build_stored(h.tree), 0);
  History g(128, true, STREE_INDEX_THRESHOLD);
  ASSERT_EQ(int_stree_table_add(g.tree, "ab", 2, 0), 0);
  EXPECT_EQ(int_stree_build_stored(g.tree), 0);
}

// A build on three threads has the pool map blocks ahead for its leaves
// (in a process of its own, with no page bodies at hand), which its records
// then fill, each block once: too large for the model, but two pages
// sharing a body break the structure the checker sees.
TEST(Tree, BuildOnThreadsFillsTheBlocksMappedAhead) {
  std::mt19937 rng(9);
  History h(STREE_MAX_ALPHABET, true, STREE_INDEX_THRESHOLD);
  for (int32_t i = 0; i < 350; ++i) {
    std::string text;
    for (int k = 0; k < 2000; ++k) text += "abcd"[rng() % 4];
    ASSERT_EQ(int_stree_table_append(h.tree, text.data(), int32_t(text.size()), i), i);
  }
  ASSERT_EQ(int_stree_build(h.tree, nullptr, STREE_LINK_WINDOW, 3).outcome, STREE_BUILD_DONE);
  EXPECT_EQ(stree_check(h.tree, 1), nullptr);
  EXPECT_EQ(history::finish(h), "");
}

// Every record in preorder: leaf or not, its edge's place in the block and
// length, its code and its end records.
std::vector<int64_t> shape_of(suffix_tree* t) {
  std::vector<stree_ref> refs;
  stree_traverse(t, history::collect, nullptr, &refs);
  std::vector<int64_t> shape;
  for (stree_ref r : refs) {
    const bool root = r == t->root;
    shape.insert(shape.end(), {int_stree_isaleaf(t, r), root ? 0 : int_stree_edge_string(t, r) - t->block,
                               int_stree_edge_length(t, r), root ? 0 : int_stree_code(t, r),
                               int_stree_num_ends(t, r)});
  }
  return shape;
}

// Texts that share pieces of hundreds of characters, so that the build
// keeps many common prefixes apart as long values, in parts long enough to
// give back the order's pages as they pass them: on threads the tree is the
// one thread's, whichever order the parts are taken in.
TEST(Tree, BuildOnThreadsKeepsLongCommonPrefixes) {
  std::mt19937 rng(12);
  std::string shared(700, ' ');
  for (char& c : shared) c = "abcd"[rng() % 4];
  std::vector<std::string> texts(900);
  for (std::string& text : texts) {
    text = shared.substr(rng() % 350, 260 + rng() % 90);
    for (int k = int(rng() % 250); k > 0; --k) text += "abcd"[rng() % 4];
  }
  std::vector<int64_t> one;
  for (int threads : {1, 2, 3, 4}) {
    History h(STREE_MAX_ALPHABET, true, STREE_INDEX_THRESHOLD);
    for (int32_t i = 0; i < int32_t(texts.size()); ++i)
      ASSERT_EQ(int_stree_table_append(h.tree, texts[i].data(), int32_t(texts[i].size()), i), i);
    ASSERT_EQ(int_stree_build(h.tree, nullptr, STREE_LINK_WINDOW, threads).outcome, STREE_BUILD_DONE);
    if (threads == 1) one = shape_of(h.tree);
    else EXPECT_TRUE(shape_of(h.tree) == one) << threads << " threads";
    EXPECT_EQ(history::finish(h), "");
  }
}

// Hundreds of indexed nodes leave the tree as texts are removed: the
// child index's table must keep every remaining node reachable.  Twelve
// letters fill blocks of eleven children, which then lose some; most of the
// letters have codes below 64, so that a write past a block into the code
// set of the block after it changes that set.
TEST(Tree, ManyIndexedNodesComeAndGo) {
  std::mt19937 rng(100);
  History h(128, true, 1);
  for (int32_t i = 0; i < 60; ++i) {
    std::string& text = h.texts[i];
    for (int n = 40 + int(rng() % 80); n > 0; --n) text += "0123456789ab"[rng() % 12];
    ASSERT_EQ(stree_add_string(h.tree, text.c_str(), int32_t(text.size()), h.ids[i] = i), 1);
  }
  ASSERT_GT(stree_index_nodes(h.tree), 600);
  while (!h.ids.empty()) {
    auto it = std::next(h.ids.begin(), rng() % h.ids.size());
    ASSERT_EQ(stree_remove_string(h.tree, it->second), 1);
    h.texts.erase(it->first);
    h.ids.erase(it);
    ASSERT_EQ(stree_check(h.tree, 1), nullptr) << h.ids.size();
    if (h.ids.size() % 20 == 0) {
      ASSERT_EQ(history::check(h), "");
    }
  }
  EXPECT_EQ(history::finish(h), "");
}

// A text of one repeated byte is a chain as deep as the text; walks,
// numbering and removal must not recurse.
TEST(Tree, DeepChains) {
  for (const char* unit : {"a", "ab"}) {
    History h(128, true, STREE_INDEX_THRESHOLD);
    std::string text;
    while (text.size() < 200000) text += unit;
    ASSERT_EQ(stree_add_string(h.tree, text.c_str(), int32_t(text.size()), 0), 1);
    // Every suffix but the whole text ends at a node of its own.
    EXPECT_EQ(stree_num_nodes(h.tree), int32_t(text.size()) + 1);
    stree_ref at;
    int32_t pos, n = int32_t(text.size()) - 8;
    EXPECT_EQ(stree_match(h.tree, text.c_str() + 8, n, &at, &pos), n);
    EXPECT_EQ(stree_get_labellen(h.tree, at), n);
    // Built in one go from the text stored twice (the second copy moves the
    // block): the same nodes, each suffix ending twice.
    History b(128, true, STREE_INDEX_THRESHOLD);
    for (int32_t id : {0, 1})
      ASSERT_EQ(int_stree_table_append(b.tree, text.c_str(), int32_t(text.size()), id), id);
    ASSERT_EQ(int_stree_build_stored(b.tree), 1);
    EXPECT_EQ(stree_num_nodes(b.tree), int32_t(text.size()) + 1);
    EXPECT_EQ(stree_match(b.tree, text.c_str() + 8, n, &at, &pos), n);
    int32_t slot[2], start[2], id;
    for (int k : {0, 1}) ASSERT_EQ(stree_get_suffix(b.tree, at, k + 1, &slot[k], &start[k], &id), 1);
    EXPECT_EQ(slot[0] + slot[1], 1);
    EXPECT_EQ(start[0] + start[1], 16);
    EXPECT_EQ(history::finish(b), "");
    ASSERT_EQ(stree_remove_string(h.tree, 0), 1);
    EXPECT_EQ(stree_num_nodes(h.tree), 1);
    // A node of many children is indexed at the default threshold.
    ASSERT_EQ(stree_add_string(h.tree, "abcdefghijklmnop", 16, 1), 1);
    EXPECT_GT(stree_index_nodes(h.tree), 0);
    EXPECT_EQ(history::finish(h), "");
  }
}

// The checker finds each kind of damage, and only while it lasts.
TEST(Tree, CheckerFindsDamage) {
  History h(128, true, STREE_INDEX_THRESHOLD);
  ASSERT_EQ(history::add(h, "xyxz", 0), "");
  suffix_tree* t = h.tree;
  stree_ref x = int_stree_first_child(t, t->root), leaf = int_stree_first_child(t, x);
  stree_ref y = int_stree_next_sibling(x), z = int_stree_next_sibling(y);
  // Each change is undone from a copy of the records' words.
  auto damage = [&](auto change) {
    std::vector<std::vector<uint32_t>> kept;
    for (stree_ref r : {x, y, z, leaf}) {
      size_t words = (r == x ? sizeof(stree_node) : sizeof(stree_leaf)) / 4;
      kept.emplace_back(int_stree_words(r), int_stree_words(r) + words);
    }
    stree_count nodes = t->num_nodes;
    change();
    EXPECT_NE(stree_check(t, 0), nullptr);
    int i = 0;
    for (stree_ref r : {x, y, z, leaf}) std::copy(kept[i].begin(), kept[i].end(), int_stree_words(r)), ++i;
    t->num_nodes = nodes;
    EXPECT_EQ(stree_check(t, 1), nullptr);
  };
  // z spells "y" from y's text: two children with one code.
  damage([&] {
    int_stree_header(z) = (int_stree_header(z) & STREE_FIRST_CHAR_KEEP) | (int_stree_header(y) & ~STREE_FIRST_CHAR_KEEP);
    int_stree_leaf(z)->strpos = int_stree_leaf(y)->strpos;
  });
  damage([&] { int_stree_leaf(z)->strpos = int_stree_leaf(y)->strpos; });
  damage([&] { int_stree_node(x)->edgelen = int_stree_node(x)->edgelen + 1; });
  damage([&] { int_stree_leaf(leaf)->link = z; });
  damage([&] { int_stree_header(x) |= STREE_NODE_SPARE_BITS; });
  damage([&] { ++t->num_nodes; });
}

// The edits refuse what their contracts refuse and change nothing then.
TEST(Tree, EditsRefuseOutsideTheirContracts) {
  History h(128, true, STREE_INDEX_THRESHOLD);
  ASSERT_EQ(history::add(h, "xyxzxy", 0), "");
  suffix_tree* t = h.tree;
  std::vector<stree_ref> refs;
  stree_traverse(t, history::collect, nullptr, &refs);
  for (stree_ref r : refs) {
    if (r == t->root) continue;
    for (int32_t len : {0, int_stree_edge_length(t, r), int_stree_edge_length(t, r) + 1})
      EXPECT_EQ(int_stree_split_edge(t, r, len), STREE_NONE) << len;
    const stree_count nodes = t->num_nodes;
    t->num_nodes = STREE_MAX_NODES;  // a split would pass the node limit
    EXPECT_EQ(int_stree_split_edge(t, r, 1), STREE_NONE);
    t->num_nodes = nodes;
    EXPECT_EQ(int_stree_add_child(t, int_stree_get_parent(t, r), r), STREE_NONE);
    EXPECT_EQ(int_stree_replace_child(t, r, r, r), 0);
  }
  EXPECT_EQ(history::check(h), "");
}

// A full string table refuses a text and leaves the tree as it was; a
// released slot is handed out again.
TEST(Tree, FullTable) {
  if (STREE_MAX_STRINGS > STREE_TABLE_BLOCK) GTEST_SKIP() << "the wide table grows";
  History h(128, true, STREE_INDEX_THRESHOLD);
  for (int32_t i = 0; i < STREE_MAX_STRINGS; ++i) {
    ASSERT_EQ(stree_add_string(h.tree, i % 2 ? "ab" : "", 2 * (i % 2), i), 1);
    h.texts[i] = i % 2 ? "ab" : "";
    h.ids[i] = i;
  }
  EXPECT_EQ(history::add(h, "abc", 1), "");
  EXPECT_EQ(history::remove(h, 5), "");
  EXPECT_EQ(history::add(h, "abc", 9), "");
  EXPECT_EQ(h.ids.at(5), 9);
  EXPECT_EQ(history::finish(h), "");
}

// A read through a reference to a record given back is caught in the
// sanitized build, also after its tree went and new pages were opened.
TEST(Tree, StaleReferencesAreCaughtWhenSanitized) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "only the sanitized build catches stale reads";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto read_stale = [](bool new_pages) {
    History h(128, true, STREE_INDEX_THRESHOLD);
    stree_add_string(h.tree, "abab", 4, 0);
    stree_ref leaf = int_stree_first_child(h.tree, int_stree_first_child(h.tree, h.tree->root));
    stree_remove_string(h.tree, 0);
    if (new_pages) {
      history::finish(h);
      History other(128, true, STREE_INDEX_THRESHOLD);
      std::string text(20000, 'a');
      for (size_t i = 0; i < text.size(); i += 7) text[i] = 'b';
      stree_add_string(other.tree, text.c_str(), 20000, 1);
    }
    std::printf("%u\n", int_stree_header(leaf));
  };
  EXPECT_DEATH(read_stale(false), "use-after-poison|use-after-free");
  EXPECT_DEATH(read_stale(true), "use-after-poison|use-after-free");
#endif
}

}  // namespace
