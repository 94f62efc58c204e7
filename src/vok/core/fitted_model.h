// A fitted model: what applying vok's features to new documents needs and
// nothing more, in one immutable block of memory that is also its file.
//
// Its features are the seen ones: those the fit's selection keeps that
// occur in at least one training bag.  Feature f occurs at a position of a
// text when the text there spells s_f, the shortest substring of f's class
// (its parent's path label and the first character of its edge); the
// features of a position are nested, and are written longest first.  The
// model is the Aho-Corasick automaton of the reversed strings s_f, read
// from right to left over a text: its states are the suffixes of the s_f
// (one per node and child character of the tree at most, so the model is
// linear in the training text), in breadth-first order.  Per state it keeps
// the character of its incoming edge, its failure state, and how many
// failure steps away the nearest s_f is (0 to 13; 14: none; 15: looked up
// in a short table), so that a position's features cost one step each.
// Per feature it keeps its column (its rank among the features by number),
// its number, and what its name adds to s_f.
//
// The file format (all integers little-endian):
//   header      magic "\x89VOKMDL\n", version, the section table, the
//               settings of the fit, the counts and widths below
//   sections    LOUDS of the automaton's tree with its rank and select
//               directories; edge characters; failure states and distances
//               (packed); the distance table; the set of feature states with
//               its ranks; their columns (packed); the feature numbers
//               (Elias-Fano); the names' remainders
//   checksum    64 bits over everything before it
// A model does not depend on the tree layout of the fit.  Loading checks
// the checksum and every structural bound the matcher relies on, so that
// no file, however made, crashes it or keeps it from ending in time linear
// in the text.
//
// A model is immutable: any number of threads may read one at once, each
// with a workspace of its own (vok_model_work).  Nothing here is
// process-wide.
#ifndef VOK_CORE_FITTED_MODEL_H
#define VOK_CORE_FITTED_MODEL_H

#include <cstddef>
#include <cstdint>

#include "corpus.h"

struct vok_model;
struct vok_model_work;

// The first bytes of every model file.
constexpr char VOK_MODEL_MAGIC[8] = {'\x89', 'V', 'O', 'K', 'M', 'D', 'L', '\n'};
// The latest version written and read: 3 when the fit used --max-shortest,
// else 2 when it used --utf8, lowercasing or a document-frequency setting,
// else 1.
constexpr uint32_t VOK_MODEL_VERSION = 3;

// Whether the bytes begin as a model file does (its magic), however long.
bool vok_is_model(const void* bytes, size_t size);

// The model of a corpus selected with VOK_READ_MODEL; VOK_NO_MEMORY when it
// cannot be made.  The corpus can be deleted afterwards.
vok_status vok_corpus_model(const vok_corpus* corpus, vok_model** model);

// A model from the bytes of a model file, copied into memory of its own
// (vok_model_open), or taken as they are, to be handed to release(context)
// when the model goes (vok_model_adopt; bytes aligned to 8).  Null when the
// bytes are no sound model; *why then says why ("not a vok model", "of a
// later version", "truncated", "damaged (checksum)", "damaged (structure)",
// "out of memory").  vok_model_adopt releases the bytes itself on failure.
vok_model* vok_model_open(const void* bytes, size_t size, const char** why);
vok_model* vok_model_adopt(const void* bytes, size_t size,
                           void (*release)(void* context), void* context,
                           const char** why);
void vok_model_delete(vok_model* model);

// The model file's bytes (valid while the model lives).
const void* vok_model_bytes(const vok_model* model, size_t* size);

// The fit's settings (wide: whether the fit used the wide tree).
vok_settings vok_model_settings(const vok_model* model);
// Number of features (columns).
uint64_t vok_model_features(const vok_model* model);
// Writes the feature numbers, ascending (by column), to
// numbers[0..vok_model_features).  Allocates nothing.
void vok_model_numbers(const vok_model* model, uint64_t* numbers);
// Calls visit for every feature, in ascending number (that is by column),
// with its number and name (count and children 0).  The name is valid
// during the call only.  Allocates its scratch; false when that fails.
bool vok_model_each_feature(const vok_model* model, vok_feature_fn visit, void* data);

// A workspace for matching: a buffer that grows with the longest document
// matched.  One per thread.
vok_model_work* vok_model_work_new();
void vok_model_work_delete(vok_model_work* work);

// The bag of text[0..len) up to its first NUL byte, as vok-apply writes it
// from the fit's tree with the unseen features left out.  False (nothing
// written) when the workspace cannot grow.  Time linear in len plus the
// tokens written.
bool vok_model_apply(const vok_model* model, vok_model_work* work,
                     const char* text, size_t len, const vok_sink& sink);

#endif  // VOK_CORE_FITTED_MODEL_H
