// The corpus of one tree layout: storing, building, selecting, reading out.
#include "tree_corpus.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "match.h"

VOK_NS_BEGIN

namespace {

// Tells the hook, if any, where the work stands; false when it asks to stop.
bool tick(const vok_hook* hook, const char* phase, uint64_t done, uint64_t total) {
  return !hook || !hook->tick || hook->tick(hook->data, phase, done, total);
}

// The tree that holds the stored copies.
const suffix_tree* storage(const vok_tree_corpus* c) {
  return c->store ? c->store : c->tree;
}

// Relays the tree's reports of its work to the core's hook, noting a stop.
struct relay {
  const vok_hook* hook;
  bool stopped = false;

  static bool pass_on(void* data, const char* phase, int64_t done, int64_t total) {
    auto* r = static_cast<relay*>(data);
    if (tick(r->hook, phase, static_cast<uint64_t>(done), static_cast<uint64_t>(total)))
      return true;
    r->stopped = true;
    return false;
  }
  // The hook for the tree, or null when there is none to relay to.
  const stree_build_hook* for_tree(stree_build_hook* storage) {
    if (!hook) return nullptr;
    *storage = stree_build_hook{pass_on, this};
    return storage;
  }
};

// The tree could not be built in one go: insert the documents one by one
// into a new tree whose strings are the stored copies.
vok_status insert_stored(vok_tree_corpus* c, const vok_hook* hook) {
  c->store = c->tree;
  c->tree = stree_new_tree(STREE_MAX_ALPHABET, 0);
  if (!c->tree) return VOK_NO_MEMORY;
  const suffix_tree* store = c->store;
  relay within{hook};
  stree_build_hook storage;
  const stree_build_hook* tree_hook = within.for_tree(&storage);
  for (uint64_t k = 0; k < c->docs; ++k) {
    if ((k & 1023) == 0 && !tick(hook, "inserting", k, c->docs)) return VOK_STOPPED;
    const int32_t slot = static_cast<int32_t>(k);
    if (!int_stree_add_string_hooked(c->tree, store->strings[slot], store->lengths[slot],
                                     slot, tree_hook)) {
      if (within.stopped) return VOK_STOPPED;
      c->failed_doc = k;
      return VOK_REFUSED;
    }
  }
  return VOK_OK;
}

// Whether inserting the documents after the build in one go ran out of
// memory must run out too.  The narrow tree's message names the document
// that could not be added, which only insertion finds, and its trees are
// small (STREE_MAX_NODES records), so it always tries; the wide tree tries
// only when the least memory the insertion's records take can still be had.
bool insertion_cannot_fit(const stree_build_result& built) {
  return STREE_MAX_ALPHABET == 256 && !int_stree_can_reserve(built.insertion_needs);
}

// Receives tokens one at a time and hands them to the sink in runs, as
// feature numbers or, with kColumns, as columns (ranks among the seen
// features; every token of a stored document's bag is one).
template <bool kColumns>
class token_out {
 public:
  token_out(const vok_selection& sel, const vok_sink& sink) : sel_(sel), sink_(sink) {}
  token_out(const token_out&) = delete;
  token_out& operator=(const token_out&) = delete;
  ~token_out() { flush(); }

  // The features from internal record v up to the root (root excluded),
  // deepest first.
  void chain(uint32_t v) {
    const vok_chains& chains = sel_.chains;
    if (vok_in_set(sel_.features.bits, v)) put(v);
    for (uint32_t a = chains.ancestor[vok_internal_rank(chains, v)]; a != 0;
         a = chains.ancestor[vok_internal_rank(chains, a)])
      put(a);
  }

 private:
  static constexpr size_t kRun = 1024;
  void put(uint32_t v) {
    if (used_ == kRun) flush();
    run_[used_++] = kColumns ? vok_set_rank(sel_.seen.bits, sel_.seen.before, v) : v;
  }
  void flush() {
    if (used_ > 0) sink_.take(sink_.data, run_, used_);
    used_ = 0;
  }

  const vok_selection& sel_;
  const vok_sink& sink_;
  size_t used_ = 0;
  uint32_t run_[kRun];
};

// Calls f with the token receiver the sink asks for.
template <typename F>
void with_token_out(const vok_selection& sel, const vok_sink& sink, F&& f) {
  if (sink.columns) {
    token_out<true> out(sel, sink);
    f(out);
  } else {
    token_out<false> out(sel, sink);
    f(out);
  }
}

// The loci are read in order, but the record numbers in them lead to places
// in the sets and in the ancestor table unrelated to their addresses, which
// miss the caches once the tree is large.  So the set words of the record
// kAhead places further on are asked of memory first, and its ancestor
// entry (whose place those words give) kAhead places after that.
constexpr size_t kAhead = 16;

void fetch_sets(const vok_selection& sel, uint32_t v) {
  __builtin_prefetch(sel.features.bits + (v >> VOK_SET_SHIFT));
  __builtin_prefetch(sel.chains.internal + (v >> VOK_SET_SHIFT));
  __builtin_prefetch(sel.chains.internal_before + (v >> VOK_SET_SHIFT));
}

void fetch_ancestor(const vok_selection& sel, uint32_t v) {
  __builtin_prefetch(sel.chains.ancestor + vok_internal_rank(sel.chains, v));
}

// The path labels of the features: a preorder walk that keeps the path
// length of the record entered last.  Only internal records can be
// features (a leaf has no children), and preorder is ascending number.
struct label_walk {
  const vok_tree_corpus* c;
  vok_feature_fn visit;
  void* data;
  int64_t depth;
};

void enter_label(suffix_tree* tree, stree_ref x, void* data) {
  if (int_stree_isaleaf(tree, x) || x == tree->root) return;
  auto* walk = static_cast<label_walk*>(data);
  const int32_t edge = int_stree_edge_length(tree, x);
  walk->depth += edge;
  const vok_selection& sel = walk->c->sel;
  const uint32_t id = int_stree_id(x);
  if (!vok_in_set(sel.features.bits, id)) return;
  // A path label directly precedes, in the string of its last edge, that
  // edge's end.
  const char* end = int_stree_edge_string(tree, x) + edge;
  // With utf8 the name is the longest substring of the class that ends at
  // a character boundary (a feature has one).
  const int64_t named = walk->c->settings.utf8
                            ? vok_label_whole(end, walk->depth, walk->depth - edge + 1)
                            : walk->depth;
  vok_feature f{id, 0, 0, end - walk->depth, static_cast<size_t>(named)};
  if (sel.jobs & VOK_JOB_COUNTS) {
    f.count = sel.counts.of[id];
    f.children = static_cast<uint32_t>(int_stree_num_children(tree, x));
  }
  walk->visit(walk->data, f);
}

void leave_label(suffix_tree* tree, stree_ref x, void* data) {
  if (int_stree_isaleaf(tree, x) || x == tree->root) return;
  static_cast<label_walk*>(data)->depth -= int_stree_edge_length(tree, x);
}

// Whether reading `reads` follows suffix links: the suffix-link rule, a
// model (its transitions), new documents matched against the tree.
bool links_needed(const vok_settings& settings, unsigned reads) {
  return vok_selection_link_rule_on(settings) || (reads & (VOK_READ_MODEL | VOK_READ_APPLIED));
}

}  // namespace

vok_limits vok_tree_limits() {
  return vok_limits{static_cast<uint64_t>(STREE_MAX_STRINGS),
                    static_cast<uint64_t>(STREE_MAX_POSITION) + 1,
                    STREE_MAX_ALPHABET == 256};
}

vok_tree_corpus* vok_tree_new(const vok_settings& settings) {
  auto* c = new (std::nothrow) vok_tree_corpus;
  if (!c) return nullptr;
  c->settings = settings;
  c->tree = stree_new_tree(STREE_MAX_ALPHABET, 1);
  if (!c->tree) {
    delete c;
    return nullptr;
  }
  return c;
}

void vok_tree_delete(vok_tree_corpus* c) {
  if (!c) return;
  vok_selection_free(&c->sel);
  stree_delete_tree(c->tree);  // before the tree holding its strings
  stree_delete_tree(c->store);
  delete c;
}

vok_status vok_tree_append(vok_tree_corpus* c, const char* text, size_t len) {
  if (c->stage != VOK_STORING) return VOK_MISUSE;
  if (c->docs == static_cast<uint64_t>(STREE_MAX_STRINGS)) return VOK_TOO_MANY_DOCS;
  if (const void* nul = std::memchr(text, 0, len))
    len = static_cast<size_t>(static_cast<const char*>(nul) - text);
  if (len > static_cast<size_t>(STREE_MAX_POSITION) + 1 ||
      int_stree_table_append(c->tree, text, static_cast<int32_t>(len),
                             static_cast<int32_t>(c->docs)) < 0) {
    c->failed_doc = c->docs;
    return VOK_REFUSED;
  }
  ++c->docs;
  return VOK_OK;
}

uint64_t vok_tree_num_docs(const vok_tree_corpus* c) { return c->docs; }

uint64_t vok_tree_failed_doc(const vok_tree_corpus* c) { return c->failed_doc; }

void vok_tree_document(const vok_tree_corpus* c, uint64_t doc,
                       const char** text, size_t* len) {
  const suffix_tree* t = storage(c);
  if (doc >= c->docs) {
    *text = "";
    *len = 0;
    return;
  }
  *text = t->strings[doc];
  *len = static_cast<size_t>(t->lengths[doc]);
}

vok_status vok_tree_build(vok_tree_corpus* c, const vok_hook* hook) {
  if (c->stage != VOK_STORING) return VOK_MISUSE;
  c->stage = VOK_BROKEN;
  if (!tick(hook, "sorting", 0, 0)) return VOK_STOPPED;
  relay within{hook};
  stree_build_hook storage;
  // The suffix links wait for a selection that needs them (links_needed).
  const stree_build_result built =
      int_stree_build(c->tree, within.for_tree(&storage), STREE_LINK_WINDOW,
                      vok_settings_threads(c->settings), &c->runs, false);
  if (built.outcome == STREE_BUILD_STOPPED) return VOK_STOPPED;
  if (built.outcome == STREE_BUILD_NO_MEMORY && insertion_cannot_fit(built)) return VOK_NO_MEMORY;
  if (built.outcome != STREE_BUILD_DONE) {
    const vok_status status = insert_stored(c, hook);
    if (status != VOK_OK) return status;
  }
  c->stage = VOK_BUILT;
  return VOK_OK;
}

vok_status vok_tree_select(vok_tree_corpus* c, unsigned reads,
                           const vok_hook* hook) {
  if (c->stage != VOK_BUILT) return VOK_MISUSE;
  c->stage = VOK_BROKEN;
  if (links_needed(c->settings, reads)) {
    relay within{hook};
    stree_build_hook storage;
    const stree_build_outcome linked =
        int_stree_set_links(c->tree, within.for_tree(&storage), STREE_LINK_WINDOW,
                            vok_settings_threads(c->settings));
    if (linked == STREE_BUILD_STOPPED) return VOK_STOPPED;
    if (linked != STREE_BUILD_DONE) return VOK_NO_MEMORY;
  }
  // No more lookups but those of new documents: memory for the tables.
  if (!(reads & VOK_READ_APPLIED)) stree_index_release(c->tree);
  int_stree_pool_trim();
  unsigned jobs = 0;
  if (reads & VOK_READ_COUNTS) jobs |= VOK_JOB_COUNTS;
  if (reads & VOK_READ_APPLIED) jobs |= VOK_JOB_CHAINS;
  if (reads & VOK_READ_BAGS) jobs |= VOK_JOB_LOCI | VOK_JOB_CHAINS;
  if (reads & VOK_READ_MODEL) jobs |= VOK_JOB_SEEN | VOK_JOB_LOCI | VOK_JOB_CHAINS;
  if (reads == (VOK_READ_BAGS | VOK_READ_BAGS_ONLY)) jobs |= VOK_JOB_PASS;
  c->sel.docs = c->docs;
  const vok_status status = vok_selection_alloc(c->tree, c->settings, jobs, &c->sel)
                                ? vok_select_features(c->tree, c->settings, &c->sel, hook, &c->runs)
                                : VOK_NO_MEMORY;
  if (status != VOK_OK) {
    vok_selection_free(&c->sel);
    return status;
  }
  c->reads = reads;
  c->stage = VOK_SELECTED;
  return VOK_OK;
}

void vok_tree_bag(const vok_tree_corpus* c, uint64_t doc, const vok_sink& sink) {
  if (c->stage != VOK_SELECTED || !(c->reads & (VOK_READ_BAGS | VOK_READ_MODEL)) ||
      doc >= c->docs || (sink.columns && !(c->reads & VOK_READ_MODEL)))
    return;
  const vok_selection& sel = c->sel;
  const size_t first = sel.loci.first[doc];
  const size_t begin = vok_locus_place(sel.loci, first);
  const size_t count =
      vok_locus_place(sel.loci, first + static_cast<size_t>(c->tree->lengths[doc])) - begin;
  // The document's loci are those of its emitting positions, in order.
  const uint32_t* loci = sel.loci.at + begin;
  with_token_out(sel, sink, [&](auto& out) {
    for (size_t k = 0; k < count; ++k) {
      if (k + 2 * kAhead < count) fetch_sets(sel, loci[k + 2 * kAhead]);
      if (k + kAhead < count) fetch_ancestor(sel, loci[k + kAhead]);
      out.chain(loci[k]);
    }
  });
}

void vok_tree_apply(const vok_tree_corpus* c, const char* text, size_t len,
                    const vok_sink& sink) {
  if (c->stage != VOK_SELECTED || !(c->reads & VOK_READ_APPLIED)) return;
  if (const void* nul = std::memchr(text, 0, len))
    len = static_cast<size_t>(static_cast<const char*>(nul) - text);
  if (len > static_cast<size_t>(INT32_MAX)) return;
  const vok_sink numbers{sink.take, sink.data, false};  // columns are the bags' only
  with_token_out(c->sel, numbers, [&](auto& out) {
    vok_match_document(c->tree, text, static_cast<int32_t>(len), c->settings.word_delimited,
                       c->settings.utf8, [&](uint32_t deepest) { out.chain(deepest); });
  });
}

void vok_tree_each_feature(const vok_tree_corpus* c, vok_feature_fn visit,
                           void* data) {
  // After VOK_JOB_PASS only the tree's string table and text are left.
  if (c->stage != VOK_SELECTED || (c->sel.jobs & VOK_JOB_PASS)) return;
  label_walk walk{c, visit, data, 0};
  stree_traverse(c->tree, enter_label, leave_label, &walk);
}

vok_stats vok_tree_stats(const vok_tree_corpus* c) {
  vok_stats s{};
  if (c->stage != VOK_SELECTED) return s;
  s.records = static_cast<uint64_t>(c->tree->num_nodes);
  s.internal = c->sel.internal_records;
  s.features = c->sel.feature_count;
  return s;
}

VOK_NS_END
