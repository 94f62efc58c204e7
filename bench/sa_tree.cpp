// A measurement, not a part of vok: how long the same generalized suffix
// tree takes when it is built from a suffix array instead of online.
//
// Reads a corpus as sa_lcp does (one document per line, the line breaks as
// separators) and
//   1. builds the suffix array with libdivsufsort and the LCP array with
//      Kasai's algorithm, comparisons stopping at a line break,
//   2. builds the tree's records in one pass over the LCP intervals: nodes
//      of 24 bytes (header, sibling link, children, suffix link, edge start,
//      edge length) and leaves and end records of 12, cut in turn from one
//      mapping, children in the order of the suffix array, that is by
//      ascending first byte, and siblings linked as vok links them (a last
//      sibling's link is its parent),
//   3. sets every internal node's suffix link from the inverse suffix array:
//      the node at one less depth above the end of the suffix one character
//      shorter than the node's leftmost suffix,
//   4. walks the finished records in preorder without a stack (down through
//      first children, up through last siblings' links), numbering them and
//      writing each suffix's locus, as vok's counting walk does.
// Prints "key value" pairs: the seconds of each step, the numbers of nodes,
// leaves and end records, the suffix links that did not land at the right
// depth (must be 0), and the bytes of records.
//
// Build: g++ -O2 -std=c++20 sa_tree.cpp -o sa_tree -ldivsufsort
// Usage: sa_tree CORPUS
#include <divsufsort.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "phase_clock.h"
#include "suffix_array.h"

namespace {

constexpr uint32_t kNone = 0;  // unit 0 is never handed out
constexpr uint32_t kLeafBit = 1u << 23;
constexpr uint32_t kLastBit = 1u << 24;
constexpr uint32_t kEndsBit = 1u << 25;
constexpr uint32_t kIdMask = kLeafBit - 1;
constexpr int kUnitWords = 3;  // a leaf or end record; a node is two units

// Node words, after the header and link shared with leaves.
constexpr int kChildren = 2, kSuffixLink = 3, kEdgeStart = 4, kEdgeLen = 5;

struct arena {
  uint32_t* words = nullptr;
  uint32_t next = 1;  // in units
  uint32_t* at(uint32_t ref) { return words + size_t{ref} * kUnitWords; }
  uint32_t take(uint32_t units) {
    uint32_t r = next;
    next += units;
    return r;
  }
};

struct open_node {
  int32_t depth;
  uint32_t node;  // its number among the nodes
  uint32_t tail;  // last child so far, kNone for none
};

struct builder {
  const std::vector<int32_t>& sa;
  const std::vector<int32_t>& dist;  // per position: characters to its line break
  arena& a;
  // Per node, by number: depth, parent, leftmost suffix, record.
  std::vector<int32_t> depth, left;
  std::vector<uint32_t> parent, record;
  std::vector<uint32_t> end_node;  // per rank: the node the suffix ends at or below
  std::vector<open_node> stack;
  long long leaves = 0, endrecs = 0;

  uint32_t* node_words(uint32_t node) { return a.at(record[node]); }

  void append_child(open_node& p, uint32_t child) {
    uint32_t* n = node_words(p.node);
    if (p.tail != kNone) a.at(p.tail)[1] = child;
    else if (n[0] & kEndsBit) a.at(n[kChildren])[2] = child;
    else n[kChildren] = child;
    p.tail = child;
  }
  void add_endrec(open_node& p, int32_t pos) {
    uint32_t e = a.take(1);
    uint32_t* w = a.at(e);
    uint32_t* n = node_words(p.node);
    w[0] = static_cast<uint32_t>(pos);
    if (n[0] & kEndsBit) {  // the new head keeps the first child
      w[1] = n[kChildren];
      w[2] = a.at(n[kChildren])[2];
    } else {
      w[2] = n[kChildren];
      n[0] |= kEndsBit;
    }
    n[kChildren] = e;
    ++endrecs;
  }
  // The suffix of rank r goes to p, the deepest node on its path.
  void place(open_node& p, int32_t r) {
    const int32_t pos = sa[r];
    end_node[r] = p.node;
    if (dist[pos] == p.depth) {
      add_endrec(p, pos);
      return;
    }
    uint32_t leaf = a.take(1);
    a.at(leaf)[0] = kLeafBit;
    a.at(leaf)[2] = static_cast<uint32_t>(pos + p.depth);
    append_child(p, leaf);
    ++leaves;
  }
  open_node& push(int32_t d, int32_t leftmost) {
    record.push_back(a.take(2));
    depth.push_back(d);
    left.push_back(leftmost);
    parent.push_back(0);
    uint32_t node = static_cast<uint32_t>(depth.size() - 1);
    node_words(node)[0] = node;  // its number, until the walk numbers it
    stack.push_back(open_node{d, node, kNone});
    return stack.back();
  }
  // x's subtree is complete and its parent is the node numbered p.
  void hang(const open_node& x, uint32_t p) {
    if (x.tail != kNone) {
      a.at(x.tail)[0] |= kLastBit;
      a.at(x.tail)[1] = record[x.node];
    }
    parent[x.node] = p;
    uint32_t* w = node_words(x.node);
    w[kEdgeStart] = static_cast<uint32_t>(left[x.node] + depth[p]);
    w[kEdgeLen] = static_cast<uint32_t>(depth[x.node] - depth[p]);
  }
  // Closes the open nodes deeper than h; one of depth h is made when the
  // closed ones need it as their parent.
  void close_to(int32_t h) {
    while (h < stack.back().depth) {
      open_node x = stack.back();
      stack.pop_back();
      if (h > stack.back().depth) push(h, left[x.node]);
      open_node& p = stack.back();
      hang(x, p.node);
      append_child(p, record[x.node]);
    }
  }
  // The suffix of rank `prev` shares h characters with the next one.
  void step(int32_t prev, int32_t h) {
    if (h > stack.back().depth) {
      place(push(h, sa[prev]), prev);
    } else {
      place(stack.back(), prev);
      close_to(h);
    }
  }
  void finish() {
    open_node& root = stack.front();
    if (root.tail != kNone) {
      a.at(root.tail)[0] |= kLastBit;
      a.at(root.tail)[1] = record[0];
    }
    node_words(0)[0] |= kLastBit;
  }
};

// Every node's suffix link: its leftmost suffix less its first character
// ends at or below the link's target, which lies at one less depth.
long long set_links(builder& b, const std::vector<int32_t>& rank) {
  long long wrong = 0;
  for (uint32_t v = 1; v < b.depth.size(); ++v) {
    const int32_t d = b.depth[v];
    uint32_t u = 0;
    if (d > 1) {
      u = b.end_node[rank[b.left[v] + 1]];
      while (b.depth[u] > d - 1) u = b.parent[u];
      wrong += b.depth[u] != d - 1;
    }
    b.node_words(v)[kSuffixLink] = b.record[u];
  }
  return wrong;
}

// vok's counting walk in outline: numbers in preorder, a running total of
// suffixes, and each suffix noted under the number of the node it ends at
// (a leaf's parent).  Gives
// the records numbered and the suffixes counted, for a check.
struct walked {
  uint32_t records, suffixes;
};
walked walk(arena& a, uint32_t root, std::vector<uint32_t>* loci) {
  std::vector<uint32_t> ids;  // numbers of the open nodes
  uint32_t next_id = 0, total = 0;
  int32_t depth = 0;
  uint32_t x = root;
  for (;;) {
    uint32_t* w = a.at(x);
    const uint32_t id = next_id++;
    w[0] = (w[0] & ~kIdMask) | id;
    if (w[0] & kLeafBit) {
      (*loci)[w[2] - static_cast<uint32_t>(depth)] = ids.back();
      ++total;
    } else {
      uint32_t child = w[kChildren];
      if (w[0] & kEndsBit) {
        for (uint32_t e = child; e != kNone; e = a.at(e)[1], ++total)
          (*loci)[a.at(e)[0]] = id;
        child = a.at(child)[2];
      }
      if (child != kNone) {
        ids.push_back(id);
        depth += static_cast<int32_t>(w[kEdgeLen]);
        x = child;
        continue;
      }
    }
    for (;;) {
      if (x == root) return walked{next_id, total};
      const bool last = (a.at(x)[0] & kLastBit) != 0;
      x = a.at(x)[1];
      if (!last) break;
      ids.pop_back();
      depth -= static_cast<int32_t>(a.at(x)[kEdgeLen]);
    }
  }
}

// The loci in document order, separators left out, hashed (FNV-1a over the
// numbers); vok_phases -s 0 prints the same hash of vok's loci.
uint64_t loci_hash(const std::vector<unsigned char>& text, const std::vector<uint32_t>& loci) {
  uint64_t h = 0xcbf29ce484222325u;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != '\n') h = (h ^ loci[i]) * 0x100000001b3u;
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned char> text;
  if (int status = read_corpus_arg(argc, argv, &text)) return status;
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  const int32_t n = static_cast<int32_t>(text.size());

  double sa_s, sa_cpu, lcp_s, lcp_cpu, build_s, build_cpu, links_s, links_cpu,
      walk_s, walk_cpu;
  phase_clock clock = start_clock();
  std::vector<int32_t> sa(n);
  if (divsufsort(text.data(), sa.data(), n) != 0) return 1;
  stop_clock(clock, &sa_s, &sa_cpu);

  clock = start_clock();
  std::vector<int32_t> rank, lcp;
  kasai_lcp(text, sa, &rank, &lcp);
  stop_clock(clock, &lcp_s, &lcp_cpu);

  clock = start_clock();
  std::vector<int32_t> dist(n);
  for (int32_t i = n - 1, d = 0; i >= 0; --i) d = dist[i] = text[i] == '\n' ? 0 : d + 1;
  const size_t bytes = (size_t{3} * static_cast<size_t>(n) + 2) * kUnitWords * 4;
  void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return 1;
  madvise(m, bytes, MADV_HUGEPAGE);
  arena a;
  a.words = static_cast<uint32_t*>(m);
  builder b{sa, dist, a, {}, {}, {}, {}, std::vector<uint32_t>(n), {}, 0, 0};
  b.push(0, 0);
  int32_t prev = -1, h = 0;
  for (int32_t r = 0; r < n; ++r) {
    h = r > 0 && lcp[r] < h ? lcp[r] : h;
    if (text[sa[r]] == '\n') continue;  // a separator's suffix is no document's
    if (prev >= 0) b.step(prev, h);
    prev = r;
    h = 0x7fffffff;
  }
  if (prev >= 0) b.step(prev, 0);
  b.close_to(0);
  b.finish();
  stop_clock(clock, &build_s, &build_cpu);
  if (b.depth.size() + static_cast<size_t>(b.leaves) > size_t{kIdMask} + 1) {
    std::fprintf(stderr, "more records than 23-bit numbers can tell apart\n");
    return 1;
  }

  clock = start_clock();
  long long wrong = set_links(b, rank);
  stop_clock(clock, &links_s, &links_cpu);

  clock = start_clock();
  std::vector<uint32_t> loci(n);
  const walked seen = walk(a, b.record[0], &loci);
  stop_clock(clock, &walk_s, &walk_cpu);

  std::printf("bytes %d\n", n);
  std::printf("sa_s %.6f\nlcp_s %.6f\nbuild_s %.6f\nlinks_s %.6f\nwalk_s %.6f\n",
              sa_s, lcp_s, build_s, links_s, walk_s);
  std::printf("sa_cpu_s %.6f\nlcp_cpu_s %.6f\nbuild_cpu_s %.6f\nlinks_cpu_s %.6f\n"
              "walk_cpu_s %.6f\n", sa_cpu, lcp_cpu, build_cpu, links_cpu, walk_cpu);
  std::printf("internal_nodes %zu\nleaves %lld\nendrecs %lld\n", b.depth.size(),
              b.leaves, b.endrecs);
  std::printf("wrong_links %lld\nrecord_bytes %zu\n", wrong,
              size_t{a.next} * kUnitWords * 4);
  std::printf("loci_hash %016llx\n", static_cast<unsigned long long>(loci_hash(text, loci)));
  std::printf("walked_records %u\nwalked_suffixes %u\n", seen.records, seen.suffixes);
  return 0;
}
