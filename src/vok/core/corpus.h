// The core of vok: a corpus of documents, its suffix tree and the features
// selected from it.  Every front end (the programs, the Python package, the
// benchmark) goes through these calls and nothing else; none of them sees
// the tree.  This header is the core's public interface.
//
// Life of a corpus:
//   vok_corpus_new        settings, the tree layout among them
//   vok_corpus_append     every document, in order (numbered from 0)
//   vok_corpus_build      the tree of all of them
//   vok_corpus_select     counts and the five rules, for what will be read
//   read                  bags of stored documents (vok_corpus_bag), of new
//                         ones (vok_corpus_apply), the features themselves
//                         (vok_corpus_each_feature), the stored documents
//   vok_corpus_delete
// A call out of this order is refused with VOK_MISUSE.  Nothing prints.
// Reads take no memory and do not change the corpus; a corpus is used by
// one thread at a time (the tree's node pool is shared by the process).
#ifndef VOK_CORE_CORPUS_H
#define VOK_CORE_CORPUS_H

#include <cstddef>
#include <cstdint>

#include "settings.h"

// What a tree layout takes.
struct vok_limits {
  uint64_t max_docs;  // documents a corpus holds
  uint64_t longest;   // characters of the longest document
  bool every_byte;    // every byte from 1 to 255 is a character (else 1..127)
};
vok_limits vok_layout_limits(bool wide);

enum vok_status {
  VOK_OK = 0,
  VOK_TOO_MANY_DOCS,  // a document beyond max_docs
  VOK_REFUSED,        // the tree cannot take a document (vok_corpus_failed_doc):
                      // a byte outside the alphabet, the node limit, no memory
  VOK_NO_MEMORY,      // memory ran out outside any one document
  VOK_STOPPED,        // the hook asked to stop
  VOK_MISUSE,         // a call out of order, or invalid settings
};

// Called now and then during long work: the phase ("building",
// "selecting"), the work done and, where known, the whole (else 0).
// Returns false to stop the work, which then ends with VOK_STOPPED.
struct vok_hook {
  bool (*tick)(void* data, const char* phase, uint64_t done, uint64_t total);
  void* data;
};

struct vok_corpus;

// A new empty corpus; nullptr when the settings are invalid or memory runs
// out.
vok_corpus* vok_corpus_new(const vok_settings& settings);
// Gives back everything the corpus holds, to the system where it can
// (the memory freed, the tree's pages once no tree is left).  Nothing for
// nullptr.
void vok_corpus_delete(vok_corpus* corpus);

const vok_settings& vok_corpus_settings(const vok_corpus* corpus);

// Stores the next document: text[0..len) up to its first NUL byte.
// VOK_TOO_MANY_DOCS when the corpus is full, VOK_REFUSED when the layout
// cannot take the text (a byte outside its alphabet, too long, no memory
// for the copy); nothing is stored then.
vok_status vok_corpus_append(vok_corpus* corpus, const char* text, size_t len);
uint64_t vok_corpus_num_docs(const vok_corpus* corpus);
// The document that a failed append or build could not take.
uint64_t vok_corpus_failed_doc(const vok_corpus* corpus);
// Stored document `doc`: its text (valid while the corpus lives) and length.
void vok_corpus_document(const vok_corpus* corpus, uint64_t doc,
                         const char** text, size_t* len);

// Builds the tree of every stored document: in one go from their suffix
// array, and, should that fail for any reason, by inserting them one by one
// from the stored copies, which reports the document that cannot be taken
// (VOK_REFUSED).  VOK_NO_MEMORY when the tree cannot even be started.
vok_status vok_corpus_build(vok_corpus* corpus, const vok_hook* hook);

// What will be read after the selection: it decides the tables kept.
enum vok_reads : unsigned {
  VOK_READ_BAGS = 1,      // vok_corpus_bag
  VOK_READ_COUNTS = 2,    // counts and children in vok_corpus_each_feature
  VOK_READ_APPLIED = 4,   // vok_corpus_apply (keeps the tree's child index)
  VOK_READ_MODEL = 8,     // vok_corpus_model, and columns in vok_corpus_bag
  // With VOK_READ_BAGS alone: the bags are all that is read, so the tree's
  // records go back to the system as the selection reads them for the last
  // time, and its tables take their place (the run's peak is then the
  // build's).  vok_corpus_each_feature visits nothing after it.  Ignored
  // beside any other read.
  VOK_READ_BAGS_ONLY = 16,
};
// Counts every record's occurrences and applies the five rules.
// VOK_NO_MEMORY when its tables cannot be had.
vok_status vok_corpus_select(vok_corpus* corpus, unsigned reads,
                             const vok_hook* hook);

// Receives a bag, a run of tokens at a time, in the order vok writes them.
struct vok_sink {
  void (*take)(void* data, const uint32_t* tokens, size_t count);
  void* data;
  // Tokens as columns instead of feature numbers: a feature's rank among
  // the seen features (those of the stored documents' bags), from 0.
  // Only vok_corpus_bag writes columns, after VOK_READ_MODEL.
  bool columns;
};

// The bag of stored document `doc` (VOK_READ_BAGS or VOK_READ_MODEL): for every emitting
// position, the features from the locus of the suffix starting there up to
// the root, deepest first.
void vok_corpus_bag(const vok_corpus* corpus, uint64_t doc, const vok_sink& sink);
// The bag of a new document text[0..len) (VOK_READ_APPLIED): at every
// emitting position, every feature one of whose substrings starts there,
// deepest first.  Any bytes; one outside the alphabet matches nothing.  On
// a stored document it gives that document's bag.  Time linear in len.
void vok_corpus_apply(const vok_corpus* corpus, const char* text, size_t len,
                      const vok_sink& sink);

// One feature, as vok-dict writes it.  count and children are 0 without
// VOK_READ_COUNTS.  The label is the longest substring of the feature's
// class, valid while the corpus lives.
struct vok_feature {
  uint32_t number;
  uint32_t count;
  uint32_t children;
  const char* label;
  size_t label_len;
};
typedef void (*vok_feature_fn)(void* data, const vok_feature& feature);
// Calls visit for every feature, in ascending number.
void vok_corpus_each_feature(const vok_corpus* corpus, vok_feature_fn visit,
                             void* data);

// Sizes of the selected tree.
struct vok_stats {
  uint64_t records;   // internal nodes and leaves, root included
  uint64_t internal;  // internal nodes, root included
  uint64_t features;  // selected records
};
vok_stats vok_corpus_stats(const vok_corpus* corpus);

#endif  // VOK_CORE_CORPUS_H
