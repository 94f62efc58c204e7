// The node pool: zeroed records, one page for records of every kind, page
// opening once a record does not fit, page release only once every record
// has come back, and failure injection.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "tree_builders.h"

namespace {

using treetest::capacity;
using treetest::kind;
using treetest::take;
using treetest::take_fresh;

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree = stree_new_tree(128, 1);
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(int_stree_table_add(tree, "q", 1, 0), 0);
  }
  void TearDown() override { stree_delete_tree(tree); }
  void give_back(const std::vector<stree_ref>& rs) {
    for (stree_ref r : rs) int_stree_free_record(tree, r);
  }
  suffix_tree* tree = nullptr;
};

constexpr kind kKinds[] = {kind::node, kind::leaf, kind::endrec};
int words_of(kind k) { return k == kind::node ? 6 : 3; }
uint32_t units_of(kind k) { return k == kind::node ? 2 : 1; }

// Fills a whole page of a kind with 0xff bytes, returns it (the page goes
// away), then checks that a new page of that kind hands out records in
// which every word the maker does not set is zero.
TEST_F(PoolTest, RecordsStartZeroedEvenAfterDirtyPageWasReleased) {
  for (kind k : kKinds) {
    SCOPED_TRACE(static_cast<int>(k));
    std::vector<stree_ref> page{take_fresh(tree, k)};
    for (int i = 1; i < capacity(k); ++i) page.push_back(take(tree, k));
    for (stree_ref r : page)
      for (int w = 0; w < words_of(k); ++w) int_stree_words(r)[w] = ~0u;
    long pages = stree_pool_pages_in_use();
    give_back(page);
    ASSERT_EQ(stree_pool_pages_in_use(), pages - 1);

    std::vector<stree_ref> fresh{take_fresh(tree, k)};
    for (int i = 1; i < capacity(k); ++i) fresh.push_back(take(tree, k));
    for (stree_ref r : fresh) {
      const uint32_t* w = int_stree_words(r);
      switch (k) {
        case kind::node:
          EXPECT_EQ(w[0], 0u);
          EXPECT_EQ(w[1], 0u);
          EXPECT_EQ(w[2], 0u);
          EXPECT_EQ(w[3], 0u);
          EXPECT_EQ(w[4], stree_pack_pos(0, 0));
          EXPECT_EQ(int_stree_node(r)->edgelen, 1);
          EXPECT_EQ(int_stree_node(r)->code, uint32_t{'q'});
          break;
        case kind::leaf:
          EXPECT_EQ(w[0], STREE_LEAF_BIT |
                              (uint32_t{'q'} << STREE_FIRST_CHAR_SHIFT));
          EXPECT_EQ(w[1], 0u);
          EXPECT_EQ(w[2], stree_pack_pos(0, 0));
          break;
        case kind::endrec:
          EXPECT_EQ(w[0], stree_pack_pos(0, 0));
          EXPECT_EQ(w[1], 0u);
          EXPECT_EQ(w[2], 0u);
          break;
      }
      if (HasFailure()) break;
    }
    give_back(fresh);
  }
}

TEST_F(PoolTest, MakersSetTheirWords) {
  ASSERT_EQ(int_stree_table_add(tree, "xyzw", 4, 0), 1);
  stree_ref n = int_stree_new_node(tree, stree_pack_pos(1, 3), 77);
  stree_ref l = int_stree_new_leaf(tree, 1, 2);
  stree_ref e = int_stree_new_endrec(tree, 8191, STREE_MAX_POSITION);
  ASSERT_NE(n, STREE_NONE);
  ASSERT_NE(l, STREE_NONE);
  ASSERT_NE(e, STREE_NONE);
  EXPECT_EQ(int_stree_node(n)->edgestr, stree_pack_pos(1, 3));
  EXPECT_EQ(int_stree_node(n)->edgelen, 77);
  EXPECT_EQ(int_stree_node(n)->header, 0u);
  EXPECT_EQ(int_stree_leaf(l)->header,
            STREE_LEAF_BIT | (uint32_t{'z'} << STREE_FIRST_CHAR_SHIFT));
  EXPECT_EQ(int_stree_leaf(l)->strpos, stree_pack_pos(1, 2));
  EXPECT_EQ(stree_pos_strid(int_stree_endrec(e)->strpos), 8191);
  EXPECT_EQ(stree_pos_offset(int_stree_endrec(e)->strpos), STREE_MAX_POSITION);
  give_back({n, l, e});
}

// The record that fills the last slot of a page is still handed out from
// that page; only the request after it opens a new one.
TEST_F(PoolTest, LastSlotOfAPageMakesTheNextRequestOpenAPage) {
  for (kind k : kKinds) {
    SCOPED_TRACE(static_cast<int>(k));
    std::vector<stree_ref> page{take_fresh(tree, k)};
    long pages = stree_pool_pages_in_use();
    EXPECT_EQ(page[0] & 0xfffu, 0u) << "slot 0 of a page has offset 0";
    for (int i = 1; i < capacity(k); ++i) {
      page.push_back(take(tree, k));
      ASSERT_EQ(stree_pool_pages_in_use(), pages) << "at slot " << i;
      // Same page, consecutive slots.
      ASSERT_EQ(page[i] >> 12, page[0] >> 12);
      ASSERT_EQ(page[i] & 0xfffu, i * units_of(k));
    }
    stree_ref next = take(tree, k);
    EXPECT_EQ(stree_pool_pages_in_use(), pages + 1);
    EXPECT_NE(next >> 12, page[0] >> 12);
    EXPECT_EQ(next & 0xfffu, 0u);
    // The records of a page do not overlap.
    for (size_t i = 1; i < page.size(); ++i)
      EXPECT_EQ(reinterpret_cast<const char*>(int_stree_words(page[i])) -
                    reinterpret_cast<const char*>(int_stree_words(page[i - 1])),
                4 * words_of(k));
    page.push_back(next);
    give_back(page);
  }
}

// Records of all kinds come from one page, side by side in the order they
// are asked for.
TEST_F(PoolTest, KindsShareOnePage) {
  std::vector<stree_ref> rs{take_fresh(tree, kind::leaf)};
  rs.push_back(take(tree, kind::node));
  rs.push_back(take(tree, kind::endrec));
  rs.push_back(take(tree, kind::node));
  rs.push_back(take(tree, kind::leaf));
  const uint32_t offsets[] = {0, 1, 3, 4, 6};
  for (size_t i = 0; i < rs.size(); ++i) {
    EXPECT_EQ(rs[i] >> 12, rs[0] >> 12) << i;
    EXPECT_EQ(rs[i] & 0xfffu, offsets[i]) << i;
  }
  give_back(rs);
}

// A node does not fit in a page's last unit: it opens the next page, and the
// unit stays unused.  The page left behind is released when its records
// come back, at once when they all came back before.
TEST_F(PoolTest, NodeThatDoesNotFitOpensThePage) {
  for (bool returned_first : {false, true}) {
    SCOPED_TRACE(returned_first);
    std::vector<stree_ref> page{take_fresh(tree, kind::leaf)};
    for (int i = 2; i < capacity(kind::leaf); ++i)
      page.push_back(take(tree, kind::leaf));
    if (returned_first) give_back(page);
    long pages = stree_pool_pages_in_use();
    stree_ref n = take(tree, kind::node);
    EXPECT_EQ(n & 0xfffu, 0u);
    if (returned_first) {
      // The page went away first, so its number may serve the new page.
      EXPECT_EQ(stree_pool_pages_in_use(), pages) << "one page in, one out";
    } else {
      EXPECT_NE(n >> 12, page[0] >> 12);
      EXPECT_EQ(stree_pool_pages_in_use(), pages + 1);
      give_back(page);
      EXPECT_EQ(stree_pool_pages_in_use(), pages);
    }
    int_stree_free_record(tree, n);
  }
}

TEST_F(PoolTest, FullPageIsReleasedOnlyWhenItsLastRecordReturns) {
  for (kind k : kKinds) {
    SCOPED_TRACE(static_cast<int>(k));
    std::vector<stree_ref> page{take_fresh(tree, k)};
    for (int i = 1; i < capacity(k); ++i) page.push_back(take(tree, k));
    stree_ref keep_current = take(tree, k);  // opens the following page
    long pages = stree_pool_pages_in_use();
    // Return in a scrambled order; one record stays out until the end.
    std::mt19937 rng(17);
    std::shuffle(page.begin(), page.end(), rng);
    for (size_t i = 0; i + 1 < page.size(); ++i) {
      int_stree_free_record(tree, page[i]);
      ASSERT_EQ(stree_pool_pages_in_use(), pages) << "after " << i + 1;
    }
    int_stree_free_record(tree, page.back());
    EXPECT_EQ(stree_pool_pages_in_use(), pages - 1);
    int_stree_free_record(tree, keep_current);
  }
}

// A page that is still current is never released, even when every record it
// has handed out so far has come back.
TEST_F(PoolTest, CurrentPageStaysWhileSlotsRemain) {
  for (kind k : kKinds) {
    SCOPED_TRACE(static_cast<int>(k));
    std::vector<stree_ref> some{take_fresh(tree, k)};
    for (int i = 1; i < 10; ++i) some.push_back(take(tree, k));
    long pages = stree_pool_pages_in_use();
    give_back(some);
    EXPECT_EQ(stree_pool_pages_in_use(), pages);
    // The slots handed back are not handed out again.
    stree_ref next = take(tree, k);
    EXPECT_EQ(next >> 12, some[0] >> 12);
    EXPECT_EQ(next & 0xfffu, 10 * units_of(k));
    int_stree_free_record(tree, next);
  }
}

// Several pages' worth of records taken and returned at random: live records
// never share memory, keep what was written into them, and every page is
// gone once all of its slots are back.
TEST_F(PoolTest, RandomTakeAndReturnAgainstAModel) {
  std::mt19937 rng(4711);
  long base_pages = stree_pool_pages_in_use();
  std::map<const uint32_t*, std::pair<stree_ref, kind>> live;  // by address
  uint32_t stamp = 1;
  std::map<stree_ref, uint32_t> stamps;
  std::vector<stree_ref> order;
  for (int step = 0; step < 30000; ++step) {
    bool give = !order.empty() && rng() % 3 == 0;
    if (give) {
      size_t i = rng() % order.size();
      stree_ref r = order[i];
      order[i] = order.back();
      order.pop_back();
      ASSERT_EQ(int_stree_words(r)[1], stamps[r]) << "record overwritten";
      live.erase(int_stree_words(r));
      stamps.erase(r);
      int_stree_free_record(tree, r);
      continue;
    }
    kind k = kKinds[rng() % 3];
    stree_ref r = take(tree, k);
    ASSERT_NE(r, STREE_NONE);
    ASSERT_EQ(stamps.count(r), 0u) << "reference handed out twice";
    const uint32_t* w = int_stree_words(r);
    // No overlap with the live record at the nearest lower address.
    auto above = live.lower_bound(w);
    if (above != live.begin()) {
      auto below = std::prev(above);
      ASSERT_LE(below->first + words_of(below->second.second), w);
    }
    if (above != live.end()) {
      ASSERT_LE(w + words_of(k), above->first);
    }
    live[w] = {r, k};
    stamps[r] = stamp;
    int_stree_words(r)[1] = stamp++;
    order.push_back(r);
  }
  for (const auto& [r, s] : stamps) ASSERT_EQ(int_stree_words(r)[1], s);
  give_back(order);
  // At most the current page of this test remains, besides the pages that
  // held records before it.
  EXPECT_LE(stree_pool_pages_in_use(), base_pages + 1);
}

TEST_F(PoolTest, InjectedFailureHitsExactlyTheNthRequest) {
  for (kind k : kKinds) {
    SCOPED_TRACE(static_cast<int>(k));
    stree_ref r0 = take_fresh(tree, k);
    long pages = stree_pool_pages_in_use();
    long before = stree_pool_requests();
    stree_pool_fail_at(3);
    stree_ref r1 = take(tree, k);
    stree_ref r2 = take(tree, k);
    stree_ref r3 = take(tree, k);
    stree_ref r4 = take(tree, k);
    EXPECT_NE(r1, STREE_NONE);
    EXPECT_NE(r2, STREE_NONE);
    EXPECT_EQ(r3, STREE_NONE);
    EXPECT_NE(r4, STREE_NONE);
    EXPECT_EQ(stree_pool_requests(), before + 4);
    // The failed request used no slot and opened no page.
    EXPECT_EQ(r1 & 0xfffu, 1 * units_of(k));
    EXPECT_EQ(r2 & 0xfffu, 2 * units_of(k));
    EXPECT_EQ(r4 & 0xfffu, 3 * units_of(k));
    EXPECT_EQ(stree_pool_pages_in_use(), pages);
    // It fails once only.
    std::vector<stree_ref> more;
    for (int i = 0; i < 50; ++i) {
      more.push_back(take(tree, k));
      EXPECT_NE(more.back(), STREE_NONE);
    }
    give_back(more);
    give_back({r0, r1, r2, r4});
  }
}

// A failure injected at the request that would open a page opens nothing;
// the next request opens the page.
TEST_F(PoolTest, InjectedFailureAtAPageOpening) {
  std::vector<stree_ref> page{take_fresh(tree, kind::leaf)};
  for (int i = 1; i < capacity(kind::leaf); ++i)
    page.push_back(take(tree, kind::leaf));
  long pages = stree_pool_pages_in_use();
  stree_pool_fail_at(1);
  EXPECT_EQ(take(tree, kind::leaf), STREE_NONE);
  EXPECT_EQ(stree_pool_pages_in_use(), pages);
  stree_ref next = take(tree, kind::leaf);
  EXPECT_NE(next, STREE_NONE);
  EXPECT_EQ(stree_pool_pages_in_use(), pages + 1);
  EXPECT_EQ(next & 0xfffu, 0u);
  page.push_back(next);
  give_back(page);
}

TEST_F(PoolTest, InjectionCanBeDisarmedAndCountsEveryKind) {
  long before = stree_pool_requests();
  stree_pool_fail_at(2);
  stree_pool_fail_at(0);
  std::vector<stree_ref> rs;
  for (kind k : kKinds) rs.push_back(take(tree, k));
  for (stree_ref r : rs) EXPECT_NE(r, STREE_NONE);
  EXPECT_EQ(stree_pool_requests(), before + 3);
  // A later arming counts from the moment it is made.
  stree_pool_fail_at(2);
  stree_ref a = take(tree, kind::endrec);
  stree_ref b = take(tree, kind::node);
  EXPECT_NE(a, STREE_NONE);
  EXPECT_EQ(b, STREE_NONE);
  rs.push_back(a);
  give_back(rs);
}

}  // namespace
