// The calls of one layout's corpus (tree_corpus.h), declared once per
// layout: tree_corpus.h includes this inside its layout's namespace, and
// core.cpp inside namespace vok_wide, which is how it reaches the wide
// layout's corpus without the wide tree's headers.  No include guard on
// purpose; corpus.h and model_format.h come first.  Each call keeps the contract of its
// vok_corpus_ namesake in corpus.h.
struct vok_tree_corpus;

vok_tree_corpus* vok_tree_new(const vok_settings& settings);
void vok_tree_delete(vok_tree_corpus* c);
vok_limits vok_tree_limits();

vok_status vok_tree_append(vok_tree_corpus* c, const char* text, size_t len);
uint64_t vok_tree_num_docs(const vok_tree_corpus* c);
uint64_t vok_tree_failed_doc(const vok_tree_corpus* c);
void vok_tree_document(const vok_tree_corpus* c, uint64_t doc,
                       const char** text, size_t* len);
vok_status vok_tree_build(vok_tree_corpus* c, const vok_hook* hook);
vok_status vok_tree_select(vok_tree_corpus* c, unsigned reads,
                           const vok_hook* hook);
void vok_tree_bag(const vok_tree_corpus* c, uint64_t doc, const vok_sink& sink);
void vok_tree_apply(const vok_tree_corpus* c, const char* text, size_t len,
                    const vok_sink& sink);
void vok_tree_each_feature(const vok_tree_corpus* c, vok_feature_fn visit,
                           void* data);
vok_stats vok_tree_stats(const vok_tree_corpus* c);
// The automaton of the model of a corpus selected for its bags
// (model_build.cpp); VOK_MISUSE before that, VOK_NO_MEMORY.
vok_status vok_tree_automaton(const vok_tree_corpus* c, vok_automaton* a);
