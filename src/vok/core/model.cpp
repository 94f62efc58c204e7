// A fitted model: loading and checking its file, matching texts, naming
// its features.
#include "fitted_model.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "emitting.h"
#include "model_format.h"

namespace {

// The nearest feature state along u's failure chain, from u's distance, or
// 0 when it has none.  A far one is looked up among the far table's first
// `entries` entries (all of them once the file is checked); UINT32_MAX when
// u has no entry there, which only a file being checked can show.
inline uint32_t nearest_feature(const vok_model* m, uint32_t u, uint64_t entries) {
  const uint32_t code = vok_packed_get(m->dist, u);
  if (code == VOK_DIST_NONE) return 0;
  if (code == VOK_DIST_FAR) {
    const uint32_t* far = m->far;
    uint64_t lo = 0, hi = entries;
    while (lo < hi) {
      const uint64_t mid = (lo + hi) / 2;
      if (far[2 * mid] < u) lo = mid + 1; else hi = mid;
    }
    return lo < entries && far[2 * lo] == u ? far[2 * lo + 1] : UINT32_MAX;
  }
  for (uint32_t k = 0; k < code; ++k) u = vok_packed_get(m->fail, u);
  return u;
}
inline uint32_t nearest_feature(const vok_model* m, uint32_t u) {
  return nearest_feature(m, u, m->far_count);
}

// ---- checking a file ---------------------------------------------------------

// The checks of a file's sections against its header, and of every bound
// the matcher relies on.  Each returns false at the first fault.
struct checker {
  vok_model* m;
  const vok_model_header& h;
  bool trusted;  // the file is this process's own writing: no recounts

  template <typename T>
  bool take(vok_section id, uint64_t count, const T** at) {
    const vok_section_entry& e = h.table[id];
    if (count > m->size / sizeof(T)) return false;  // before count * sizeof(T) can overflow
    if (e.id != id || e.element != sizeof(T) || e.offset % 8 != 0 ||
        e.offset < vok_model_header_bytes(h.version) || e.bytes != count * sizeof(T) ||
        e.offset > m->size - 8 || e.bytes > m->size - 8 - e.offset)
      return false;
    *at = reinterpret_cast<const T*>(m->bytes + e.offset);
    return true;
  }

  // A bit vector of nbits with its rank directory (and select samples of
  // its zeros and ones where asked), each checked against the bits in
  // place: the ones before every word by one pass, and each sample by the
  // counts of the word it names.
  bool bits(vok_section words, vok_section rank, vok_section zeros, vok_section ones,
            uint64_t nbits, vok_bits_view* v) {
    if (nbits > uint64_t{8} * m->size) return false;
    const uint64_t n = vok_bits_words(nbits);
    if (!take(words, n, &v->words) || !take(rank, n, &v->ones_before)) return false;
    v->nbits = nbits;
    if (!trusted) {
      // Bits past the end must be clear, or the counts would include them.
      const uint64_t tail = nbits & 63;
      for (uint64_t w = (nbits + 63) / 64; w < n; ++w)
        if (v->words[w] != 0) return false;
      if (tail != 0 && (v->words[nbits / 64] >> tail) != 0) return false;
      uint64_t before = 0;
      for (uint64_t w = 0; w < n; ++w) {
        if (v->ones_before[w] != before) return false;
        before += static_cast<uint64_t>(int_stree_popcount(v->words[w]));
      }
    }
    // The last word is padding: the count before it is the total.
    v->ones = v->ones_before[n - 1];
    v->zeros = nbits - v->ones;
    auto zeros_before = [&](uint64_t w) { return std::min(64 * w, nbits) - v->ones_before[w]; };
    auto ones_before = [&](uint64_t w) { return uint64_t{v->ones_before[w]}; };
    return (zeros == VOK_SECTIONS || sampled(zeros, v->zeros, n, zeros_before, &v->zero_samples)) &&
           (ones == VOK_SECTIONS || sampled(ones, v->ones, n, ones_before, &v->one_samples));
  }

  // The samples of `count` zeros or ones: sample k names the word that
  // holds the (k * VOK_SELECT_SAMPLE)-th, the last one the padding word.
  template <typename Before>
  bool sampled(vok_section id, uint64_t count, uint64_t n, Before before, const uint32_t** at) {
    const uint64_t k_end = (count + VOK_SELECT_SAMPLE - 1) / VOK_SELECT_SAMPLE;
    if (!take(id, k_end + 1, at)) return false;
    if (trusted) return true;
    const uint32_t* sample = *at;
    for (uint64_t k = 0; k < k_end; ++k) {
      const uint64_t w = sample[k], target = k * VOK_SELECT_SAMPLE;
      if (w + 1 >= n || before(w) > target || before(w + 1) <= target) return false;
    }
    return sample[k_end] == n - 1;
  }

  bool packed(vok_section id, uint64_t count, uint32_t width, vok_packed_view* p) {
    if (width > 32) return false;
    p->width = width;
    p->count = count;
    return take(id, vok_packed_words(count, width), &p->words);
  }

  // The states, in one pass: every state but the root is a child of an
  // earlier state, the children of each are in ascending character, every
  // failure state lies in a shallower level than its state, and each
  // distance follows from its failure state's (which comes before it, and
  // is checked already), the far table's feature states found as matching
  // finds them.  State u's children are the ones between the tree's zeros
  // u - 1 and u, which a scan finds a word at a time.
  bool states() {
    const uint64_t states = m->states;
    if (m->louds.ones != states - 1 || m->louds.zeros != states) return false;
    // States come level by level; the next level ends after the last child
    // of the states seen so far.  `kids`: the children of the states before u.
    uint64_t u = 0, kids = 0, level_start = 0, level_end = 1, depth = 0, far = 0;
    int64_t last_zero = -1;
    vok_packed_cursor fail(m->fail), dist(m->dist);
    const uint64_t words = vok_bits_words(m->louds.nbits);
    for (uint64_t w = 0; w < words && u < states; ++w) {
      for (uint64_t zeros = ~m->louds.words[w]; zeros != 0 && u < states; zeros &= zeros - 1, ++u) {
        const int64_t zero = static_cast<int64_t>(64 * w) + __builtin_ctzll(zeros);
        const uint64_t n = static_cast<uint64_t>(zero - last_zero - 1);
        last_zero = zero;
        if (u > 0 && kids < u) return false;  // u must be one of them
        if (u == level_end) {
          level_start = level_end;
          level_end = kids + 1;
          ++depth;
        }
        const uint8_t* c = m->chars + kids + 1;  // the children's characters
        for (uint64_t k = 1; k < n; ++k)
          if (c[k] <= c[k - 1]) return false;
        kids += n;
        const uint32_t f = fail.next();
        if (u == 0 ? f != 0 : f >= level_start) return false;
        if (!distance_follows(u, f, dist.next(), &far)) return false;
      }
    }
    m->depth = depth;
    return u == states && depth == h.depth && far == m->far_count;
  }

  // Whether state u's distance code is the one its failure state f's
  // gives; a far one's entry is the next in the far table.
  bool distance_follows(uint64_t u, uint32_t f, uint32_t stored, uint64_t* far) const {
    const uint32_t up = u == 0 ? VOK_DIST_NONE : vok_packed_get(m->dist, f);
    uint32_t code = VOK_DIST_NONE;
    if (vok_bit(m->feature_bits, u)) code = 0;
    else if (up == VOK_DIST_FAR || up == VOK_DIST_MAX) code = VOK_DIST_FAR;
    else if (up != VOK_DIST_NONE) code = up + 1;
    if (stored != code) return false;
    if (code != VOK_DIST_FAR) return true;
    const uint64_t k = (*far)++;
    return k < m->far_count && m->far[2 * k] == u && m->far[2 * k + 1] == nearest_feature(m, f, k);
  }

  // Columns are a permutation, numbers ascend below the bound, the names'
  // ends are one per column.
  bool features() {
    std::vector<bool> used(m->features, false);
    vok_packed_cursor columns(m->columns), low(m->number_low);
    for (uint64_t k = 0; k < m->features; ++k) {
      const uint32_t c = columns.next();
      if (c >= m->features || used[c]) return false;
      used[c] = true;
    }
    if (m->number_high.ones != m->features) return false;
    int64_t prev = -1;
    uint64_t c = 0;
    for (uint64_t w = 0; w < vok_bits_words(m->number_high.nbits); ++w)
      for (uint64_t bits = m->number_high.words[w]; bits != 0; bits &= bits - 1, ++c) {
        const uint64_t one = 64 * w + static_cast<uint64_t>(__builtin_ctzll(bits));
        const uint64_t n = ((one - c) << m->number_low_width) | low.next();
        if (static_cast<int64_t>(n) <= prev || n >= h.numbers) return false;
        prev = static_cast<int64_t>(n);
      }
    return m->name_ends.ones == m->features &&
           take(VOK_SEC_NAME_BYTES, m->name_ends.zeros, &m->name_bytes);
  }
};

// Reads the header and checks the whole file; fills in the views.
const char* check(vok_model* m, bool trusted) {
  if (m->size < sizeof(vok_model_header) + 8 || std::memcmp(m->bytes, VOK_MODEL_MAGIC, 8) != 0)
    return m->size >= 8 && std::memcmp(m->bytes, VOK_MODEL_MAGIC, 8) == 0 ? "truncated"
                                                                          : "not a vok model";
  vok_model_header h;
  std::memcpy(&h, m->bytes, sizeof h);
  if (h.file_bytes > m->size) return "truncated";
  // The checksum covers every later version too, so damage is told first.
  uint64_t sum;
  std::memcpy(&sum, m->bytes + m->size - 8, 8);
  if (vok_checksum(m->bytes, m->size - 8) != sum) return "damaged (checksum)";
  if (h.version > VOK_MODEL_VERSION) return "of a later version";
  if (h.version >= 2 && (h.flags & ~VOK_MODEL_FLAGS_V2) != 0) return "of a later version";
  if (h.version < 1 || h.sections != VOK_SECTIONS || h.file_bytes != m->size ||
      (h.version == 1 && (h.flags & ~VOK_MODEL_FLAGS_V1) != 0) ||
      m->size < vok_model_header_bytes(h.version) + 8 ||
      (h.flags & VOK_MODEL_LOWER_ASCII && h.flags & VOK_MODEL_LOWER_UNICODE))
    return "damaged (structure)";
  if (h.version >= 2) {
    vok_model_df df;
    std::memcpy(&df, m->bytes + vok_model_header_bytes(1), sizeof df);
    if (df.shares & ~(VOK_MODEL_MIN_DF_SHARE | VOK_MODEL_MAX_DF_SHARE)) return "damaged (structure)";
    m->settings.min_df = df.min_df;
    m->settings.max_df = df.max_df;
    m->settings.max_features = df.max_features;
    m->settings.min_df_share = (df.shares & VOK_MODEL_MIN_DF_SHARE) != 0;
    m->settings.max_df_share = (df.shares & VOK_MODEL_MAX_DF_SHARE) != 0;
  }
  if (h.version >= 3) {
    vok_model_v3 v3;
    std::memcpy(&v3, m->bytes + vok_model_header_bytes(2), sizeof v3);
    if (v3.max_shortest <= 0 || v3.reserved != 0) return "damaged (structure)";
    m->settings.max_shortest = v3.max_shortest;
  }
  m->settings.utf8 = (h.flags & VOK_MODEL_UTF8) != 0;
  m->settings.lowercase = h.flags & VOK_MODEL_LOWER_ASCII     ? vok_settings::LOWER_ASCII
                          : h.flags & VOK_MODEL_LOWER_UNICODE ? vok_settings::LOWER_UNICODE
                                                              : vok_settings::LOWER_NONE;
  m->settings.word_delimited = h.word_delimited;
  m->settings.min_freq = h.min_freq;
  m->settings.max_freq = h.max_freq;
  m->settings.min_branches = h.min_branches;
  m->settings.max_parent_prob = h.max_parent_prob;
  m->settings.max_link_prob = h.max_link_prob;
  m->settings.wide = (h.flags & VOK_MODEL_WIDE) != 0;
  m->states = h.states;
  m->features = h.features;
  m->far_count = h.far;
  m->number_low_width = h.number_low_width;
  checker c{m, h, trusted};
  const bool sound =
      vok_settings_fault(m->settings).name == nullptr && h.states >= 1 &&
      h.states < (uint64_t{1} << 32) && h.features < h.states && h.numbers <= (uint64_t{1} << 32) &&
      h.number_low_width < 32 && h.far < h.states &&
      c.bits(VOK_SEC_LOUDS, VOK_SEC_LOUDS_RANK, VOK_SEC_LOUDS_ZEROS, VOK_SEC_LOUDS_ONES,
             2 * h.states - 1, &m->louds) &&
      c.take(VOK_SEC_CHARS, h.states, &m->chars) &&
      h.fail_width == vok_width_for(h.states - 1) &&
      c.packed(VOK_SEC_FAIL, h.states, h.fail_width, &m->fail) &&
      c.packed(VOK_SEC_DIST, h.states, VOK_DIST_BITS, &m->dist) &&
      c.take(VOK_SEC_FAR, 2 * h.far, &m->far) &&
      c.bits(VOK_SEC_FEATURE_BITS, VOK_SEC_FEATURE_RANK, VOK_SECTIONS, VOK_SECTIONS, h.states,
             &m->feature_bits) &&
      m->feature_bits.ones == h.features &&
      c.packed(VOK_SEC_COLUMNS, h.features, h.column_width, &m->columns) &&
      c.packed(VOK_SEC_NUMBER_LOW, h.features, h.number_low_width, &m->number_low) &&
      c.bits(VOK_SEC_NUMBER_HIGH, VOK_SEC_NUMBER_RANK, VOK_SECTIONS, VOK_SEC_NUMBER_ONES,
             (h.numbers >> h.number_low_width) + h.features + 1, &m->number_high) &&
      h.name_bits >= h.features &&
      c.bits(VOK_SEC_NAME_ENDS, VOK_SEC_NAME_RANK, VOK_SECTIONS, VOK_SEC_NAME_ONES, h.name_bits,
             &m->name_ends) &&
      (trusted ? (m->depth = h.depth, c.take(VOK_SEC_NAME_BYTES, m->name_ends.zeros, &m->name_bytes))
               : c.states() && c.features());
  if (!sound) return "damaged (structure)";
  // The root's children, by character.
  const uint64_t degree = vok_select0(m->louds, 0);
  for (uint64_t k = 0; k < degree; ++k) m->root_child[m->chars[1 + k]] = static_cast<uint32_t>(1 + k);
  return nullptr;
}

// ---- matching -------------------------------------------------------------------

// The child of state u (not the root) by character a, or 0.  Its children
// start at position start of the tree's bits, after the zeros of the states
// before it, so the ones before that position number start - u.
inline uint32_t child(const vok_model* m, uint32_t u, unsigned char a) {
  const uint64_t start = vok_select0(m->louds, u - 1) + 1;
  const uint64_t first = start - u + 1;
  const uint64_t* words = m->louds.words;
  // The run of ones at start: the children.
  uint64_t run = 0;
  for (uint64_t pos = start;;) {
    const uint64_t zeros = ~(words[pos >> 6] >> (pos & 63));
    const unsigned n = zeros == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(zeros));
    const unsigned room = 64 - static_cast<unsigned>(pos & 63);
    const unsigned got = n < room ? n : room;
    run += got;
    pos += got;
    if (got < room) break;
  }
  const uint8_t* c = m->chars + first;
  if (run <= 8) {
    for (uint64_t k = 0; k < run && c[k] <= a; ++k)
      if (c[k] == a) return static_cast<uint32_t>(first + k);
    return 0;
  }
  const uint8_t* at = std::lower_bound(c, c + run, a);
  return at != c + run && *at == a ? static_cast<uint32_t>(first + (at - c)) : 0;
}

// The transitions looked up lately, by state and character: text repeats,
// so most lookups find their answer here instead of in the tree's bits.
class transition_cache {
 public:
  transition_cache() : entries_(kSize) {}
  uint32_t child(const vok_model* m, uint32_t u, unsigned char a) {
    const uint64_t key = (uint64_t{u} << 8 | a) + 1;  // 0: empty
    entry& e = entries_[(key * 0x9e3779b97f4a7c15u) >> (64 - kBits)];
    if (e.key != key) e = entry{key, ::child(m, u, a)};
    return e.child;
  }

 private:
  static constexpr int kBits = 15;
  static constexpr size_t kSize = size_t{1} << kBits;
  struct entry {
    uint64_t key = 0;
    uint32_t child = 0;
  };
  std::vector<entry> entries_;
};

inline uint32_t next_state(const vok_model* m, transition_cache* cache, uint32_t u,
                           unsigned char a) {
  for (;;) {
    if (u == 0) return m->root_child[a];
    if (const uint32_t v = cache->child(m, u, a)) return v;
    u = vok_packed_get(m->fail, u);
  }
}

uint32_t column_of(const vok_model* m, uint32_t state) {
  return vok_packed_get(m->columns, vok_rank1(m->feature_bits, state));
}

uint32_t number_of(const vok_model* m, uint32_t column) {
  const uint64_t high = vok_select1(m->number_high, column) - column;
  return static_cast<uint32_t>((high << m->number_low_width) | vok_packed_get(m->number_low, column));
}

// Tokens in runs, to the sink.
class token_run {
 public:
  explicit token_run(const vok_sink& sink) : sink_(sink) {}
  token_run(const token_run&) = delete;
  token_run& operator=(const token_run&) = delete;
  ~token_run() {
    if (used_ > 0) sink_.take(sink_.data, run_, used_);
  }
  void put(uint32_t token) {
    if (used_ == kRun) {
      sink_.take(sink_.data, run_, used_);
      used_ = 0;
    }
    run_[used_++] = token;
  }

 private:
  static constexpr size_t kRun = 1024;
  const vok_sink& sink_;
  size_t used_ = 0;
  uint32_t run_[kRun];
};

}  // namespace

// A document is matched in pieces of this many positions at least (and of
// four times the automaton's depth), so that the workspace stays small
// however long the document.
constexpr size_t kPiece = size_t{1} << 16;

struct vok_model_work {
  std::vector<uint32_t> state;  // the state at each position of a piece
  transition_cache cache;
};

bool vok_is_model(const void* bytes, size_t size) {
  return size >= 8 && std::memcmp(bytes, VOK_MODEL_MAGIC, 8) == 0;
}

vok_model* vok_model_adopt(const void* bytes, size_t size, void (*release)(void*),
                           void* context, const char** why) {
  return vok_model_take(bytes, size, release, context, false, why);
}

vok_model* vok_model_take(const void* bytes, size_t size, void (*release)(void*),
                          void* context, bool trusted, const char** why) {
  auto* m = new (std::nothrow) vok_model;
  if (!m) {
    if (release) release(context);
    *why = "out of memory";
    return nullptr;
  }
  m->bytes = static_cast<const unsigned char*>(bytes);
  m->size = size;
  m->release = release;
  m->context = context;
  try {
    *why = check(m, trusted);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
  }
  if (*why) {
    vok_model_delete(m);
    return nullptr;
  }
  return m;
}

vok_model* vok_model_open(const void* bytes, size_t size, const char** why) {
  void* copy = std::malloc(size > 0 ? size : 1);  // malloc aligns to 8 at least
  if (!copy) {
    *why = "out of memory";
    return nullptr;
  }
  if (size > 0) std::memcpy(copy, bytes, size);
  return vok_model_adopt(copy, size, std::free, copy, why);
}

void vok_model_delete(vok_model* m) {
  if (!m) return;
  if (m->release) m->release(m->context);
  delete m;
}

const void* vok_model_bytes(const vok_model* m, size_t* size) {
  *size = m->size;
  return m->bytes;
}

vok_settings vok_model_settings(const vok_model* m) { return m->settings; }

uint64_t vok_model_features(const vok_model* m) { return m->features; }

vok_model_work* vok_model_work_new() { return new (std::nothrow) vok_model_work; }

void vok_model_work_delete(vok_model_work* work) { delete work; }

void vok_model_numbers(const vok_model* m, uint64_t* numbers) {
  for (uint64_t c = 0; c < m->features; ++c) numbers[c] = number_of(m, static_cast<uint32_t>(c));
}

bool vok_model_each_feature(const vok_model* m, vok_feature_fn visit, void* data) {
  try {
    // Each column's state.
    std::vector<uint32_t> state(m->features);
    for (uint64_t u = 0, k = 0; u < m->states; ++u)
      if (vok_bit(m->feature_bits, u)) state[vok_packed_get(m->columns, k++)] = static_cast<uint32_t>(u);
    std::string name;
    for (uint64_t c = 0; c < m->features; ++c) {
      // s_f is spelled by the edges from the feature's state up to the
      // root; the state's parent is the state whose run holds its one.
      name.clear();
      for (uint64_t v = state[c]; v != 0; v = vok_select1(m->louds, v - 1) - (v - 1))
        name += static_cast<char>(m->chars[v]);
      // The column's remainder: the zeros before its one, after the one
      // before.
      const uint64_t end = vok_select1(m->name_ends, c) - c;
      const uint64_t begin = c == 0 ? 0 : vok_select1(m->name_ends, c - 1) - (c - 1);
      name.append(reinterpret_cast<const char*>(m->name_bytes) + begin, end - begin);
      visit(data, vok_feature{number_of(m, static_cast<uint32_t>(c)), 0, 0, name.data(), name.size()});
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool vok_model_apply(const vok_model* m, vok_model_work* work, const char* text,
                     size_t len, const vok_sink& sink) {
  if (const void* nul = std::memchr(text, 0, len))
    len = static_cast<size_t>(static_cast<const char*>(nul) - text);
  const size_t depth = static_cast<size_t>(m->depth);
  const size_t piece = std::max(kPiece, std::min(len, 4 * depth));
  try {
    work->state.resize(std::min(len, piece));
  } catch (const std::bad_alloc&) {
    return false;
  }
  const long word_delimited = m->settings.word_delimited;
  const bool utf8 = m->settings.utf8;
  // A lowercasing model matches the text with ASCII A-Z lowered; the
  // lowering changes no blank and no UTF-8 byte, so emitting reads the
  // text as it is.
  const unsigned char lower = m->settings.lowercase != vok_settings::LOWER_NONE ? 0x20 : 0;
  auto byte = [&](size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c | lower : c);
  };
  token_run out(sink);
  for (size_t begin = 0; begin < len; begin += piece) {
    const size_t end = std::min(len, begin + piece);
    // The state at `end`: that of the text from there, which no state
    // spells more than `depth` characters of.
    uint32_t u = 0;
    for (size_t i = std::min(len, end + depth); i > end; --i)
      u = next_state(m, &work->cache, u, byte(i - 1));
    for (size_t i = end; i > begin; --i) {
      u = next_state(m, &work->cache, u, byte(i - 1));
      work->state[i - 1 - begin] = u;
    }
    for (size_t i = begin; i < end; ++i) {
      if (!vok_emits(text, static_cast<int64_t>(len), static_cast<int64_t>(i), word_delimited, utf8))
        continue;
      for (uint32_t p = nearest_feature(m, work->state[i - begin]); p != 0;
           p = nearest_feature(m, vok_packed_get(m->fail, p))) {
        const uint32_t column = column_of(m, p);
        out.put(sink.columns ? column : number_of(m, column));
      }
    }
  }
  return true;
}
