// Matching other documents against the fitted tree: for each emitting
// position of a new document, the deepest point of the tree its text
// reaches (the bags of vok-apply).
#ifndef VOK_CORE_MATCH_H
#define VOK_CORE_MATCH_H

#include <cstdint>

#include "emitting.h"
#include "layout.h"

VOK_NS_BEGIN

namespace vok_detail {

// A point of the tree: `child`'s incoming edge entered by `into`
// characters below `node` (child none and into 0: the point is `node`
// itself).  The text matched so far spells the path to the point, of
// length depth + into.
struct match_point {
  stree_ref node;
  int32_t depth;  // path length of node
  stree_ref child;
  int32_t into;
};

// Moves the point, which is at a node, down over text[from..to), which is
// known to be spelled below it: only the first character of every edge is
// looked at (skip/count).
inline void skip_down(const suffix_tree* tree, match_point* p, const char* text,
               int32_t from, int32_t to) {
  p->child = STREE_NONE;
  p->into = 0;
  while (from < to) {
    const stree_ref c = int_stree_find_child(tree, p->node, text[from]);
    if (c == STREE_NONE) return;  // not in a sound tree
    const int32_t length = int_stree_edge_length(tree, c);
    if (length > to - from || int_stree_isaleaf(tree, c)) {
      p->child = c;
      p->into = to - from;
      return;
    }
    p->node = c;
    p->depth += length;
    from += length;
  }
}

// Matches text[from..len) on from the point as far as the tree spells it.
inline void extend(const suffix_tree* tree, match_point* p, const char* text,
            int32_t from, int32_t len) {
  while (from < len) {
    if (p->child == STREE_NONE) {
      p->child = int_stree_find_child(tree, p->node, text[from]);
      if (p->child == STREE_NONE) return;
    }
    const char* edge = int_stree_edge_string(tree, p->child);
    const int32_t length = int_stree_edge_length(tree, p->child);
    while (p->into < length && from < len && edge[p->into] == text[from]) {
      ++p->into;
      ++from;
    }
    // A leaf's edge runs to the end of its string: nothing goes on from it.
    if (p->into < length || int_stree_isaleaf(tree, p->child)) return;
    p->node = p->child;
    p->depth += length;
    p->child = STREE_NONE;
    p->into = 0;
  }
}

// The point of text[j + 1..j + matched) from the point of text[j..j +
// matched): the node's suffix link, then skip/count over the rest.
inline void drop_first(const suffix_tree* tree, match_point* p, const char* text,
                int32_t j, int32_t matched) {
  const stree_ref link =
      p->node == tree->root ? STREE_NONE : int_stree_node(p->node)->suffix_link;
  if (link == STREE_NONE) {  // from the root (or a node without its link)
    *p = match_point{tree->root, 0, STREE_NONE, 0};
    skip_down(tree, p, text, j + 1, j + matched);
    return;
  }
  p->node = link;
  p->depth -= 1;
  skip_down(tree, p, text, j + 1 + p->depth, j + matched);
}

// The deepest internal record the point lies at or below: the record
// entered, or its parent when that is a leaf (a leaf, having no children,
// is never a feature: its position's features are its parent's).
inline stree_ref deepest_internal(const suffix_tree* tree, const match_point& p) {
  return p.into > 0 && !int_stree_isaleaf(tree, p.child) ? p.child : p.node;
}

// From one word start to the next the point that the last match still
// covers is found again by skip/count from the root when that text is short
// against the distance moved (at most this many characters for each
// character moved, so the work stays linear), else by the suffix links,
// one position at a time.
constexpr int32_t kJumpRatio = 4;

// The deepest points at word starts only (word_delimited 1; with utf8,
// those that begin a character).
template <typename At>
void match_word_starts(const suffix_tree* tree, const char* text, int32_t len, bool utf8,
                       At&& at) {
  const match_point root{tree->root, 0, STREE_NONE, 0};
  match_point p = root;
  int32_t from = 0;  // p spells text[from..from + p.depth + p.into)
  for (int32_t j = 0; j < len; ++j) {
    if (!vok_emits(text, len, j, 1, utf8)) continue;
    const int32_t end = from + p.depth + p.into;
    if (end <= j) {  // the last match ended before this word
      p = root;
    } else if (end - j <= kJumpRatio * (j - from)) {
      p = root;
      skip_down(tree, &p, text, j, end);
    } else {
      for (; from < j && p.depth + p.into > 0; ++from)
        drop_first(tree, &p, text, from, p.depth + p.into);
    }
    from = j;
    extend(tree, &p, text, j + p.depth + p.into, len);
    at(int_stree_id(deepest_internal(tree, p)));
  }
}

}  // namespace vok_detail

// Calls at(number) for every emitting position j of text[0..len) (as
// vok_emits says with word_delimited and utf8), with the number of the deepest record whose incoming
// edge the text from j enters by at least one character: where the longest
// prefix of text[j..len) that occurs in the tree ends (its matching
// statistic), the root (0) when none does; for a leaf, its parent's.  The
// features of position j are that record, if selected, and its selected
// ancestors.
// One walk down for the first position, then a suffix-link step and a
// skip/count walk per position; with word_delimited, from one word start to
// the next either that or skip/count from the root over the text the last
// match still covers, whichever is bounded by the distance moved: time
// linear in len.  A byte outside the
// tree's alphabet matches nothing.  On a stored document, the numbers are
// the loci of its suffixes.  Reads only, allocates nothing; the tree must
// be numbered and keep every node's suffix link.
template <typename At>
void vok_match_document(const suffix_tree* tree, const char* text,
                        int32_t len, long word_delimited, bool utf8, At&& at) {
  using namespace vok_detail;
  if (word_delimited) return match_word_starts(tree, text, len, utf8, at);
  match_point p{tree->root, 0, STREE_NONE, 0};
  for (int32_t j = 0; j < len; ++j) {
    extend(tree, &p, text, j + p.depth + p.into, len);
    const int32_t matched = p.depth + p.into;
    if (vok_emits(text, len, j, word_delimited, utf8))
      at(int_stree_id(deepest_internal(tree, p)));
    if (matched > 0) drop_first(tree, &p, text, j, matched);
  }
}

VOK_NS_END

#endif  // VOK_CORE_MATCH_H
