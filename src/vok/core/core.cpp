// The layout-neutral calls of corpus.h: the one place where the tree
// layout is chosen.  A corpus holds the corpus of the layout its settings
// ask for (the narrow tree, or the wide one with `wide`) and forwards every
// call to it.
#include <algorithm>
#include <new>
#include <thread>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "corpus.h"
#include "fitted_model.h"
#include "model_format.h"
#include "testing.h"
#include "tree_corpus.h"

// The wide layout's corpus, compiled from the same sources with STREE_WIDE.
namespace vok_wide {
#include "tree_corpus_calls.h"
}  // namespace vok_wide
namespace stree_wide {
void stree_pool_fail_from(long n);
void stree_build_fail_at(long n);
long stree_pool_requests();
long stree_pool_pages_in_use();
long stree_pool_pages_passed();
}  // namespace stree_wide

struct vok_corpus {
  vok_settings settings;
  vok_tree_corpus* narrow = nullptr;
  vok_wide::vok_tree_corpus* wide = nullptr;
};

namespace {

// Calls f with the corpus of the corpus's layout.
template <typename F>
decltype(auto) on_layout(const vok_corpus* c, F&& f) {
  return c->wide ? f(c->wide) : f(c->narrow);
}

}  // namespace

vok_setting_fault vok_settings_fault(const vok_settings& s) {
  if (static_cast<unsigned long>(s.word_delimited) > 1) return {"word_delimited", "0 or 1"};
  if (!(s.min_freq > 1)) return {"min_freq", "greater than 1"};
  if (!(s.max_freq >= s.min_freq)) return {"max_freq", "at least min_freq"};
  if (!(s.min_branches > 1)) return {"min_branches", "greater than 1"};
  if (!(s.max_parent_prob > 0)) return {"max_parent_prob", "above 0"};  // false for NaN
  if (!(s.max_link_prob > 0)) return {"max_link_prob", "above 0"};
  // A count is a whole number of documents, at least one; a share lies in
  // [0, 1] (NaN fails both).
  auto df_bound = [](double v, bool share) {
    return share ? v >= 0 && v <= 1 : v >= 1 && v <= 4294967295.0 && v == static_cast<double>(static_cast<int64_t>(v));
  };
  constexpr const char* kDfRule = "a count of at least 1 (an int) or a share in [0, 1] (a float)";
  if (!df_bound(s.min_df, s.min_df_share)) return {"min_df", kDfRule};
  if (!df_bound(s.max_df, s.max_df_share)) return {"max_df", kDfRule};
  if (s.min_df_share == s.max_df_share && !(s.max_df >= s.min_df))
    return {"max_df", "at least min_df"};
  if (s.max_features < 0) return {"max_features", "at least 1, or 0 (None) for no limit"};
  if (s.max_shortest < 0) return {"max_shortest", "at least 1, or 0 (None) for no limit"};
  if (static_cast<unsigned>(s.lowercase) > vok_settings::LOWER_UNICODE)
    return {"lowercase", "0, 1 (ASCII) or 2 (Unicode)"};
  if (s.threads < 0) return {"threads", "at least 0 (0: one per core)"};
  return {nullptr, nullptr};
}

int vok_settings_threads(const vok_settings& s) {
  long n = s.threads;
  if (n == 0) n = static_cast<long>(std::max(std::thread::hardware_concurrency(), 1u));
  return static_cast<int>(std::clamp(n, 1L, VOK_MAX_THREADS));
}

vok_limits vok_layout_limits(bool wide) {
  return wide ? vok_wide::vok_tree_limits() : vok_tree_limits();
}

vok_corpus* vok_corpus_new(const vok_settings& settings) {
  if (vok_settings_fault(settings).name) return nullptr;
  auto* c = new (std::nothrow) vok_corpus;
  if (!c) return nullptr;
  c->settings = settings;
  if (settings.wide) {
    c->wide = vok_wide::vok_tree_new(settings);
  } else {
    c->narrow = vok_tree_new(settings);
  }
  if (!c->wide && !c->narrow) {
    delete c;
    return nullptr;
  }
  return c;
}

void vok_corpus_delete(vok_corpus* c) {
  if (!c) return;
  on_layout(c, [](auto* t) { vok_tree_delete(t); });
  delete c;
#if defined(__GLIBC__)
  // A corpus's tables are large and freed last to first; the heap keeps
  // what it freed unless asked, and a process that goes on (a fitted
  // vectorizer) should hold no more than what it still uses.
  malloc_trim(0);
#endif
}

const vok_settings& vok_corpus_settings(const vok_corpus* c) { return c->settings; }

vok_status vok_corpus_append(vok_corpus* c, const char* text, size_t len) {
  return on_layout(c, [&](auto* t) { return vok_tree_append(t, text, len); });
}

uint64_t vok_corpus_num_docs(const vok_corpus* c) {
  return on_layout(c, [](auto* t) { return vok_tree_num_docs(t); });
}

uint64_t vok_corpus_failed_doc(const vok_corpus* c) {
  return on_layout(c, [](auto* t) { return vok_tree_failed_doc(t); });
}

void vok_corpus_document(const vok_corpus* c, uint64_t doc, const char** text,
                         size_t* len) {
  on_layout(c, [&](auto* t) { vok_tree_document(t, doc, text, len); });
}

vok_status vok_corpus_build(vok_corpus* c, const vok_hook* hook) {
  return on_layout(c, [&](auto* t) { return vok_tree_build(t, hook); });
}

vok_status vok_corpus_select(vok_corpus* c, unsigned reads, const vok_hook* hook) {
  return on_layout(c, [&](auto* t) { return vok_tree_select(t, reads, hook); });
}

void vok_corpus_bag(const vok_corpus* c, uint64_t doc, const vok_sink& sink) {
  on_layout(c, [&](auto* t) { vok_tree_bag(t, doc, sink); });
}

void vok_corpus_apply(const vok_corpus* c, const char* text, size_t len,
                      const vok_sink& sink) {
  on_layout(c, [&](auto* t) { vok_tree_apply(t, text, len, sink); });
}

void vok_corpus_each_feature(const vok_corpus* c, vok_feature_fn visit, void* data) {
  on_layout(c, [&](auto* t) { vok_tree_each_feature(t, visit, data); });
}

vok_stats vok_corpus_stats(const vok_corpus* c) {
  return on_layout(c, [](auto* t) { return vok_tree_stats(t); });
}

vok_status vok_corpus_model(const vok_corpus* c, vok_model** model) {
  *model = nullptr;
  vok_automaton a;
  const vok_status built = on_layout(c, [&](auto* t) { return vok_tree_automaton(t, &a); });
  if (built != VOK_OK) return built;
  auto* bytes = new (std::nothrow) std::vector<unsigned char>(vok_model_write(a));
  if (!bytes || bytes->empty()) {
    delete bytes;
    return VOK_NO_MEMORY;
  }
  a = vok_automaton();  // its memory goes before the model is checked
  const char* why;
  *model = vok_model_take(
      bytes->data(), bytes->size(),
      [](void* v) { delete static_cast<std::vector<unsigned char>*>(v); }, bytes, true, &why);
  return *model ? VOK_OK : VOK_NO_MEMORY;
}

// ---- test hooks (testing.h) ------------------------------------------------

void vok_testing_fail_from(bool wide, long n) {
  wide ? stree_wide::stree_pool_fail_from(n) : stree_pool_fail_from(n);
}
void vok_testing_fail_build_at(bool wide, long n) {
  wide ? stree_wide::stree_build_fail_at(n) : stree_build_fail_at(n);
}
long vok_testing_requests(bool wide) {
  return wide ? stree_wide::stree_pool_requests() : stree_pool_requests();
}
long vok_testing_pages(bool wide) {
  return wide ? stree_wide::stree_pool_pages_in_use() : stree_pool_pages_in_use();
}
long vok_testing_pages_passed(bool wide) {
  return wide ? stree_wide::stree_pool_pages_passed() : stree_pool_pages_passed();
}
