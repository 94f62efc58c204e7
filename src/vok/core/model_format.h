// The layout of a model file and the decoded views of a model in memory
// (fitted_model.h describes both).  Internal to the core.
#ifndef VOK_CORE_MODEL_FORMAT_H
#define VOK_CORE_MODEL_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fitted_model.h"
#include "settings.h"
#include "succinct.h"

// The sections of a file, in this order; each starts at a multiple of 8
// bytes and holds elements of one size (for the byte order).
enum vok_section : uint32_t {
  VOK_SEC_LOUDS,            // u64: the tree, 1^children 0 per state
  VOK_SEC_LOUDS_RANK,       // u32: ones before each word
  VOK_SEC_LOUDS_ZEROS,      // u32: word of every sampled zero
  VOK_SEC_LOUDS_ONES,       // u32: word of every sampled one
  VOK_SEC_CHARS,            // u8: the character of each state's incoming edge
  VOK_SEC_FAIL,             // u64: packed failure states
  VOK_SEC_DIST,             // u64: packed distances to the nearest feature state
  VOK_SEC_FAR,              // u32: (state, feature state) pairs by state
  VOK_SEC_FEATURE_BITS,     // u64: which states are feature states
  VOK_SEC_FEATURE_RANK,     // u32
  VOK_SEC_COLUMNS,          // u64: packed column of each feature state by rank
  VOK_SEC_NUMBER_LOW,       // u64: packed low bits of the numbers by column
  VOK_SEC_NUMBER_HIGH,      // u64: unary high parts of the numbers
  VOK_SEC_NUMBER_RANK,      // u32
  VOK_SEC_NUMBER_ONES,      // u32
  VOK_SEC_NAME_ENDS,        // u64: per column, as many zeros as the bytes its
                            // name adds to its s_f, then a one
  VOK_SEC_NAME_RANK,        // u32
  VOK_SEC_NAME_ONES,        // u32
  VOK_SEC_NAME_BYTES,       // u8: those bytes, by column
  VOK_SECTIONS
};

// Distances of a state to the nearest feature state along its failure
// chain: 0 to VOK_DIST_MAX steps, none, or in the VOK_SEC_FAR table.
constexpr uint32_t VOK_DIST_BITS = 4;
constexpr uint32_t VOK_DIST_MAX = 13;
constexpr uint32_t VOK_DIST_NONE = 14;
constexpr uint32_t VOK_DIST_FAR = 15;

struct vok_section_entry {
  uint64_t offset;  // from the file's start
  uint64_t bytes;
  uint32_t element;  // bytes per element: 1, 4 or 8
  uint32_t id;
};

// The header, at offset 0; every field little-endian.
struct vok_model_header {
  char magic[8];
  uint32_t version;
  uint32_t sections;  // VOK_SECTIONS
  uint64_t file_bytes;
  int64_t word_delimited, min_freq, max_freq, min_branches;
  double max_parent_prob, max_link_prob;
  uint64_t flags;     // VOK_MODEL_WIDE
  uint64_t states;    // of the automaton, root included
  uint64_t features;
  uint64_t numbers;   // every feature number lies below this
  uint32_t fail_width, column_width, number_low_width, reserved;
  uint64_t far;       // entries of VOK_SEC_FAR
  uint64_t name_bits; // bits of VOK_SEC_NAME_ENDS
  uint64_t depth;     // characters the deepest state spells
  vok_section_entry table[VOK_SECTIONS];
};
constexpr uint64_t VOK_MODEL_WIDE = 1;  // fitted on the wide tree
// Version 2 and later: how the model applies.
constexpr uint64_t VOK_MODEL_UTF8 = 2;           // only UTF-8 character starts emit
constexpr uint64_t VOK_MODEL_LOWER_ASCII = 4;    // texts are lowercased (ASCII A-Z)
constexpr uint64_t VOK_MODEL_LOWER_UNICODE = 8;  // the fit's texts were lowercased
                                                 // by Python's str.lower()
constexpr uint64_t VOK_MODEL_FLAGS_V1 = VOK_MODEL_WIDE;
constexpr uint64_t VOK_MODEL_FLAGS_V2 =
    VOK_MODEL_WIDE | VOK_MODEL_UTF8 | VOK_MODEL_LOWER_ASCII | VOK_MODEL_LOWER_UNICODE;

// Version 2 and later: the document-frequency settings of the fit, right after
// the header (the sections follow it).  A file is written as version 1,
// byte for byte as before these settings existed, unless one of them or
// one of the flags above is used.
struct vok_model_df {
  double min_df, max_df;
  int64_t max_features;
  uint64_t shares;  // VOK_MODEL_MIN_DF_SHARE | VOK_MODEL_MAX_DF_SHARE
};
constexpr uint64_t VOK_MODEL_MIN_DF_SHARE = 1;
constexpr uint64_t VOK_MODEL_MAX_DF_SHARE = 2;
// Version 3 only: the later selection settings, right after the frequency
// settings; a file is version 3 only when one of them is used.
struct vok_model_v3 {
  int64_t max_shortest;  // 0: no limit
  int64_t reserved;      // 0
};
// Where the sections may start: after the header, in version 2 after the
// frequency settings, in version 3 after the later settings.  So each block
// of settings starts where the sections of the version before would.
inline uint64_t vok_model_header_bytes(uint32_t version) {
  return ((sizeof(vok_model_header) + 7) & ~uint64_t{7}) +
         (version >= 2 ? sizeof(vok_model_df) : 0) + (version >= 3 ? sizeof(vok_model_v3) : 0);
}

// A model in memory: its bytes and views of its sections.
struct vok_model {
  const unsigned char* bytes = nullptr;
  size_t size = 0;
  void (*release)(void*) = nullptr;  // gives the bytes back
  void* context = nullptr;
  vok_settings settings;
  uint64_t states = 0, features = 0;
  uint64_t depth = 0;  // characters the deepest state spells
  vok_bits_view louds;
  const uint8_t* chars = nullptr;
  vok_packed_view fail, dist, columns, number_low;
  const uint32_t* far = nullptr;  // pairs
  uint64_t far_count = 0;
  vok_bits_view feature_bits, number_high;
  uint32_t number_low_width = 0;
  vok_bits_view name_ends;
  const uint8_t* name_bytes = nullptr;
  uint32_t root_child[256] = {};  // the root's child by character, 0: none
};

// 64-bit checksum of a block of bytes (four lanes of multiply and rotate,
// then the tail byte by byte).
uint64_t vok_checksum(const unsigned char* bytes, size_t size);

// What the builder hands the writer: the automaton in breadth-first order
// (state 0 the root) and the features by column.
struct vok_automaton {
  vok_settings settings;
  std::vector<uint32_t> parent;     // trie parent of each state (root: 0)
  std::vector<uint8_t> chars;       // character of each state's incoming edge
  std::vector<uint32_t> fail;       // failure state (root: 0)
  std::vector<uint32_t> column_of;  // 1 + column of a feature state, else 0
  std::vector<uint32_t> numbers;    // feature number by column, ascending
  uint64_t number_bound = 0;        // above every number
  std::vector<uint32_t> name_lengths;  // by column
  std::string name_bytes;
};

// vok_model_adopt, which with `trusted` (bytes this process's writer has
// just made) reads the header and the sections' places but counts nothing
// again.
vok_model* vok_model_take(const void* bytes, size_t size, void (*release)(void*),
                          void* context, bool trusted, const char** why);

// The model file of an automaton; empty when memory runs out.
std::vector<unsigned char> vok_model_write(const vok_automaton& a);

#endif  // VOK_CORE_MODEL_FORMAT_H
