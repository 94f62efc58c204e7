// Writing a model file from an automaton.
#include <bit>
#include <cstring>
#include <new>

#include "model_format.h"

static_assert(std::endian::native == std::endian::little,
              "model files are little-endian; a big-endian port must swap on write and read");

namespace {

// The distances of every state to the nearest feature state along its
// failure chain, and the far table, in state order.
void distances(const vok_automaton& a, vok_packed_builder* dist, std::vector<uint32_t>* far) {
  const size_t states = a.parent.size();
  std::vector<uint32_t> steps(states), nearest(states);
  for (size_t u = 0; u < states; ++u) {
    uint32_t code = VOK_DIST_NONE;
    if (a.column_of[u] != 0) {
      steps[u] = 0;
      nearest[u] = static_cast<uint32_t>(u);
      code = 0;
    } else if (u > 0 && steps[a.fail[u]] != UINT32_MAX) {
      steps[u] = steps[a.fail[u]] + 1;  // the failure state comes earlier
      nearest[u] = nearest[a.fail[u]];
      code = steps[u] <= VOK_DIST_MAX ? steps[u] : VOK_DIST_FAR;
    } else {
      steps[u] = UINT32_MAX;
    }
    if (code == VOK_DIST_FAR) {
      far->push_back(static_cast<uint32_t>(u));
      far->push_back(nearest[u]);
    }
    dist->push(code);
  }
}

struct file_writer {
  std::vector<unsigned char> out;
  vok_model_header header{};

  template <typename T>
  void section(vok_section id, const T* data, size_t count) {
    out.resize((out.size() + 7) & ~size_t{7}, 0);
    header.table[id] = vok_section_entry{out.size(), count * sizeof(T), sizeof(T), id};
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    out.insert(out.end(), bytes, bytes + count * sizeof(T));
  }
  template <typename T>
  void section(vok_section id, const std::vector<T>& v) {
    section(id, v.data(), v.size());
  }
  void bits(vok_section words, vok_section rank, const vok_bits_builder& b) {
    section(words, b.words);
    section(rank, b.ones_before);
  }
};

}  // namespace

std::vector<unsigned char> vok_model_write(const vok_automaton& a) {
  try {
    const uint64_t states = a.parent.size();
    const uint64_t features = a.numbers.size();
    file_writer w;
    vok_model_header& h = w.header;
    std::memcpy(h.magic, VOK_MODEL_MAGIC, sizeof h.magic);
    const vok_settings& fit = a.settings;
    const bool later = fit.utf8 || fit.lowercase != vok_settings::LOWER_NONE || vok_settings_use_df(fit);
    h.version = fit.max_shortest != 0 ? 3 : later ? 2 : 1;
    h.sections = VOK_SECTIONS;
    h.word_delimited = a.settings.word_delimited;
    h.min_freq = a.settings.min_freq;
    h.max_freq = a.settings.max_freq;
    h.min_branches = a.settings.min_branches;
    h.max_parent_prob = a.settings.max_parent_prob;
    h.max_link_prob = a.settings.max_link_prob;
    h.flags = (fit.wide ? VOK_MODEL_WIDE : 0) | (fit.utf8 ? VOK_MODEL_UTF8 : 0) |
              (fit.lowercase == vok_settings::LOWER_ASCII ? VOK_MODEL_LOWER_ASCII : 0) |
              (fit.lowercase == vok_settings::LOWER_UNICODE ? VOK_MODEL_LOWER_UNICODE : 0);
    h.states = states;
    h.features = features;
    h.numbers = a.number_bound;
    w.out.resize(static_cast<size_t>(vok_model_header_bytes(h.version)), 0);
    if (h.version >= 2) {
      const vok_model_df df{fit.min_df, fit.max_df, fit.max_features,
                            (fit.min_df_share ? VOK_MODEL_MIN_DF_SHARE : 0) |
                                (fit.max_df_share ? VOK_MODEL_MAX_DF_SHARE : 0)};
      std::memcpy(w.out.data() + vok_model_header_bytes(1), &df, sizeof df);
    }
    if (h.version >= 3) {
      const vok_model_v3 v3{fit.max_shortest, 0};
      std::memcpy(w.out.data() + vok_model_header_bytes(2), &v3, sizeof v3);
    }

    // The tree: the children of every state, in order, as ones, then a zero.
    std::vector<uint32_t> children(states, 0);
    for (uint64_t u = 1; u < states; ++u) ++children[a.parent[u]];
    vok_bits_builder louds;
    louds.words.reserve(vok_bits_words(2 * states));
    for (uint64_t u = 0; u < states; ++u) louds.push_run(children[u]);
    louds.finish();
    // The depth: the levels, each ending after the last child of the one
    // before.
    for (uint64_t u = 0, level_end = 1, next_end = 1; u < states; ++u) {
      if (u == level_end) {
        level_end = next_end;
        ++h.depth;
      }
      next_end += children[u];
    }
    w.bits(VOK_SEC_LOUDS, VOK_SEC_LOUDS_RANK, louds);
    w.section(VOK_SEC_LOUDS_ZEROS, louds.zero_samples);
    w.section(VOK_SEC_LOUDS_ONES, louds.one_samples);
    w.section(VOK_SEC_CHARS, a.chars);

    h.fail_width = vok_width_for(states > 0 ? states - 1 : 0);
    vok_packed_builder fail(h.fail_width);
    fail.reserve(states);
    for (uint32_t f : a.fail) fail.push(f);
    w.section(VOK_SEC_FAIL, fail.words);
    vok_packed_builder dist(VOK_DIST_BITS);
    dist.reserve(states);
    std::vector<uint32_t> far;
    distances(a, &dist, &far);
    w.section(VOK_SEC_DIST, dist.words);
    w.section(VOK_SEC_FAR, far);
    h.far = far.size() / 2;

    vok_bits_builder feature_bits;
    h.column_width = vok_width_for(features > 0 ? features - 1 : 0);
    vok_packed_builder columns(h.column_width);
    for (uint64_t u = 0; u < states; ++u) {
      feature_bits.push(a.column_of[u] != 0);
      if (a.column_of[u] != 0) columns.push(a.column_of[u] - 1);
    }
    feature_bits.finish();
    w.bits(VOK_SEC_FEATURE_BITS, VOK_SEC_FEATURE_RANK, feature_bits);
    w.section(VOK_SEC_COLUMNS, columns.words);

    // The numbers, ascending: the low bits packed, the high parts in unary
    // (Elias-Fano), which the column's one finds.
    uint32_t low = 0;
    while (features > 0 && (a.number_bound >> (low + 1)) >= features) ++low;
    h.number_low_width = low;
    vok_packed_builder lows(low);
    vok_bits_builder high;
    uint64_t at = 0;
    for (uint32_t n : a.numbers) {
      lows.push(n & ((uint64_t{1} << low) - 1));
      high.nbits += (n >> low) - at;  // zeros: the words they cross start clear
      high.words.resize((high.nbits + 63) / 64, 0);
      at = n >> low;
      high.push(true);
    }
    high.nbits += (a.number_bound >> low) + 1 - at;  // the trailing zeros
    high.words.resize((high.nbits + 63) / 64, 0);
    high.finish();
    w.section(VOK_SEC_NUMBER_LOW, lows.words);
    w.bits(VOK_SEC_NUMBER_HIGH, VOK_SEC_NUMBER_RANK, high);
    w.section(VOK_SEC_NUMBER_ONES, high.one_samples);
    vok_bits_builder ends;
    for (uint32_t length : a.name_lengths) {
      ends.nbits += length;  // zeros: the words they cross start clear
      ends.words.resize((ends.nbits + 63) / 64, 0);
      ends.push(true);
    }
    ends.finish();
    h.name_bits = ends.nbits;
    w.bits(VOK_SEC_NAME_ENDS, VOK_SEC_NAME_RANK, ends);
    w.section(VOK_SEC_NAME_ONES, ends.one_samples);
    w.section(VOK_SEC_NAME_BYTES, a.name_bytes.data(), a.name_bytes.size());

    w.out.resize((w.out.size() + 7) & ~size_t{7}, 0);
    h.file_bytes = w.out.size() + sizeof(uint64_t);
    std::memcpy(w.out.data(), &h, sizeof h);
    const uint64_t sum = vok_checksum(w.out.data(), w.out.size());
    const auto* s = reinterpret_cast<const unsigned char*>(&sum);
    w.out.insert(w.out.end(), s, s + sizeof sum);
    return std::move(w.out);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

uint64_t vok_checksum(const unsigned char* bytes, size_t size) {
  constexpr uint64_t kP1 = 0x9e3779b185ebca87u, kP2 = 0xc2b2ae3d27d4eb4fu;
  auto round = [](uint64_t acc, uint64_t input) {
    acc += input * kP2;
    acc = (acc << 31) | (acc >> 33);
    return acc * kP1;
  };
  uint64_t lane[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
  size_t i = 0;
  for (; i + 32 <= size; i += 32)
    for (int k = 0; k < 4; ++k) {
      uint64_t v;
      std::memcpy(&v, bytes + i + 8 * k, 8);
      lane[k] = round(lane[k], v);
    }
  uint64_t h = size;
  for (int k = 0; k < 4; ++k) h = round(h ^ lane[k], uint64_t(k) + 1);
  for (; i < size; ++i) h = round(h, bytes[i]);
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  return h;
}
