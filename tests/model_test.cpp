// The fitted model against the brute-force model (model.h) on random
// collections and settings: on the training documents it writes vok's
// bags, on others vok-apply's without the features no training bag holds,
// by number and by column, with the names vok-dict gives them; and so does
// the same model loaded back from its bytes.  Then files damaged in every
// way a test can think of: each is refused, or, when a crafted one passes
// the checks, matching on it still ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "corpus.h"
#include "fitted_model.h"
#include "model.h"
#include "model_format.h"

namespace {

struct deleter {
  void operator()(vok_corpus* c) const { vok_corpus_delete(c); }
  void operator()(vok_model* m) const { vok_model_delete(m); }
  void operator()(vok_model_work* w) const { vok_model_work_delete(w); }
};
using corpus_ptr = std::unique_ptr<vok_corpus, deleter>;
using model_ptr = std::unique_ptr<vok_model, deleter>;
using work_ptr = std::unique_ptr<vok_model_work, deleter>;

void append_tokens(void* data, const uint32_t* tokens, size_t n) {
  auto* out = static_cast<std::string*>(data);
  for (size_t k = 0; k < n; ++k) *out += model::hex(tokens[k]) + " ";
}

// The lines the model writes for the documents, by number or by column.
std::string apply(const vok_model* m, const std::vector<std::string>& docs, bool columns) {
  work_ptr work(vok_model_work_new());
  std::string out;
  for (const std::string& d : docs) {
    EXPECT_TRUE(vok_model_apply(m, work.get(), d.data(), d.size(),
                                vok_sink{append_tokens, &out, columns}));
    out += "\n";
  }
  return out;
}

// The lines with every token not in `kept` left out; with `columns`, each
// token replaced by its rank in `kept`.
std::string only(const std::string& lines, const std::set<std::string>& kept, bool columns) {
  std::vector<std::string> order(kept.begin(), kept.end());
  std::sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) {
    return std::stoul(a, nullptr, 16) < std::stoul(b, nullptr, 16);
  });
  std::string out;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    std::istringstream tokens(line);
    for (std::string t; tokens >> t;) {
      if (!kept.count(t)) continue;
      out += columns ? model::hex(uint32_t(std::find(order.begin(), order.end(), t) - order.begin())) : t;
      out += " ";
    }
    out += "\n";
  }
  return out;
}

// Makes a file's checksum right again after a change.
void resum(std::vector<unsigned char>* b) {
  const uint64_t sum = vok_checksum(b->data(), b->size() - 8);
  std::memcpy(b->data() + b->size() - 8, &sum, 8);
}

void collect_name(void* data, const vok_feature& f) {
  static_cast<std::vector<std::pair<uint32_t, std::string>>*>(data)->emplace_back(
      f.number, std::string(f.label, f.label_len));
}

TEST(Model, RandomCollectionsMatchTheBruteForceModel) {
  const std::string alphabets[] = {"ab ", "ab \t", "abc  ", std::string("a\x01 \\\xc3\xa9", 6)};
  for (uint32_t seed = 1; seed <= 600; ++seed) {
    std::mt19937 rng(seed);
    const std::string& letters = alphabets[seed % 4];
    vok_settings s;
    s.wide = seed % 4 == 3 || seed % 5 == 0;
    s.word_delimited = rng() % 2;
    s.min_freq = 2 + rng() % 2;
    s.min_branches = 2 + rng() % 2;
    if (rng() % 3 == 0) s.max_parent_prob = 0.5 + (rng() % 50) / 100.0;
    if (seed % 3 == 0) {  // the opt-in settings
      s.min_df_share = rng() % 2;
      s.min_df = s.min_df_share ? (rng() % 5) / 10.0 : 1 + rng() % 3;
      s.max_df_share = rng() % 2;
      s.max_df = s.max_df_share ? 0.5 + (rng() % 6) / 10.0 : 3 + rng() % 4;
      s.max_features = rng() % 3 ? 0 : 1 + rng() % 6;
      s.utf8 = rng() % 2;
      s.lowercase = rng() % 2 ? vok_settings::LOWER_ASCII : vok_settings::LOWER_NONE;
      s.max_shortest = rng() % 3 ? 0 : 1 + rng() % 4;
    }
    std::vector<std::string> docs, others;
    for (int n = 1 + int(rng() % 8); n > 0; --n) {
      std::string d = docs.empty() || rng() % 3 ? "" : docs[rng() % docs.size()];
      for (int k = int(rng() % 20); k > 0; --k) d += letters[rng() % letters.size()];
      docs.push_back(d);
    }
    for (int n = int(rng() % 4); n > 0; --n) {
      const std::string& from = docs[rng() % docs.size()];
      std::string d = from.substr(std::min<size_t>(rng() % 4, from.size()));
      for (int k = int(rng() % 12); k > 0; --k) d += letters[rng() % letters.size()];
      if (s.lowercase) d += "AB";  // lowered by the model
      others.push_back(d);
    }
    if (!s.wide)
      for (auto* list : {&docs, &others})
        for (std::string& d : *list)
          for (char& c : d) c &= 0x7f;
    corpus_ptr c(vok_corpus_new(s));
    for (const std::string& d : docs) ASSERT_EQ(vok_corpus_append(c.get(), d.data(), d.size()), VOK_OK);
    ASSERT_EQ(vok_corpus_build(c.get(), nullptr), VOK_OK);
    ASSERT_EQ(vok_corpus_select(c.get(), VOK_READ_BAGS | VOK_READ_MODEL, nullptr), VOK_OK);
    vok_model* made = nullptr;
    ASSERT_EQ(vok_corpus_model(c.get(), &made), VOK_OK) << seed;
    model_ptr m(made);
    c.reset();  // the model stands alone

    const std::string bags = model::voks(docs, s);
    std::set<std::string> seen;
    {
      std::istringstream all(bags);
      for (std::string t; all >> t;) seen.insert(t);
    }
    size_t size;
    const void* bytes = vok_model_bytes(m.get(), &size);
    const char* why = nullptr;
    model_ptr loaded(vok_model_open(bytes, size, &why));
    ASSERT_TRUE(loaded) << why;
    for (const vok_model* x : {m.get(), loaded.get()}) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      EXPECT_EQ(vok_model_features(x), seen.size());
      EXPECT_EQ(apply(x, docs, false), bags);
      EXPECT_EQ(apply(x, docs, true), only(bags, seen, true));
      EXPECT_EQ(apply(x, others, false), only(model::applied(docs, others, s), seen, false));
      std::vector<std::pair<uint32_t, std::string>> names;
      ASSERT_TRUE(vok_model_each_feature(x, collect_name, &names));
      const model::Tree t = model::build(docs);
      const std::vector<char> sel = model::select(t, s);
      std::vector<std::pair<uint32_t, std::string>> want;
      for (const std::string& n : seen) {
        const uint32_t number = uint32_t(std::stoul(n, nullptr, 16));
        const std::string& label = t.recs[number].label;
        want.emplace_back(number, label.substr(0, model::named(label, 1, s)));
        EXPECT_TRUE(sel[number]);
      }
      std::sort(want.begin(), want.end());
      EXPECT_EQ(names, want);
      const vok_settings back = vok_model_settings(x);
      EXPECT_TRUE(back.word_delimited == s.word_delimited && back.min_freq == s.min_freq &&
                  back.max_parent_prob == s.max_parent_prob && back.wide == s.wide &&
                  back.min_df == s.min_df && back.min_df_share == s.min_df_share &&
                  back.max_df == s.max_df && back.max_df_share == s.max_df_share &&
                  back.max_features == s.max_features && back.utf8 == s.utf8 &&
                  back.lowercase == s.lowercase && back.max_shortest == s.max_shortest);
      uint32_t version;  // a file without the opt-in settings is as it always was
      std::memcpy(&version, static_cast<const char*>(bytes) + 8, 4);
      EXPECT_EQ(version, s.max_shortest                                   ? 3u
                         : s.utf8 || s.lowercase || vok_settings_use_df(s) ? 2u
                                                                           : 1u);
    }
  }
}

// Every truncation and every flipped byte is refused; flips whose checksum
// is made right again are refused or, where they pass, match in bounded
// time without a fault (the sanitized build watches).
TEST(Model, DamagedFilesAreRefused) {
  vok_settings s;
  s.word_delimited = 0;
  s.max_shortest = 9;  // the latest version, every field of its header used
  const std::vector<std::string> docs = {"abracadabra abra", "cadabra bra", "abra ca dabra"};
  corpus_ptr c(vok_corpus_new(s));
  for (const std::string& d : docs) vok_corpus_append(c.get(), d.data(), d.size());
  vok_corpus_build(c.get(), nullptr);
  vok_corpus_select(c.get(), VOK_READ_BAGS | VOK_READ_MODEL, nullptr);
  vok_model* made = nullptr;
  ASSERT_EQ(vok_corpus_model(c.get(), &made), VOK_OK);
  model_ptr m(made);
  size_t size;
  const auto* bytes = static_cast<const unsigned char*>(vok_model_bytes(m.get(), &size));
  const std::vector<unsigned char> good(bytes, bytes + size);
  const char* why = nullptr;
  for (size_t n = 0; n < size; ++n) {
    EXPECT_EQ(vok_model_open(good.data(), n, &why), nullptr) << n;
    EXPECT_STREQ(why, n < 8 ? "not a vok model" : "truncated") << n;
  }
  std::string foreign = "not a model at all, just text\n";
  EXPECT_EQ(vok_model_open(foreign.data(), foreign.size(), &why), nullptr);
  EXPECT_STREQ(why, "not a vok model");
  std::mt19937 rng(3);
  int passed = 0;
  for (size_t at = 8; at < size - 8; ++at) {
    std::vector<unsigned char> bad = good;
    bad[at] ^= static_cast<unsigned char>(1 + rng() % 255);
    EXPECT_EQ(vok_model_open(bad.data(), bad.size(), &why), nullptr) << at;
    EXPECT_TRUE(std::strcmp(why, "damaged (checksum)") == 0 || std::strcmp(why, "truncated") == 0)
        << at << ": " << why;
    const uint64_t sum = vok_checksum(bad.data(), bad.size() - 8);
    std::memcpy(bad.data() + bad.size() - 8, &sum, 8);
    model_ptr crafted(vok_model_open(bad.data(), bad.size(), &why));
    if (!crafted) continue;
    ++passed;
    apply(crafted.get(), docs, false);  // ends, and faults nowhere
  }
  EXPECT_LT(passed, int(size) / 4);

  // A well-made file of a later version, its checksum made right.
  std::vector<unsigned char> later = good;
  later[8] = VOK_MODEL_VERSION + 1;  // the version follows the magic
  resum(&later);
  EXPECT_EQ(vok_model_open(later.data(), later.size(), &why), nullptr);
  EXPECT_STREQ(why, "of a later version");
  // A version 3 file always holds a limit.
  std::vector<unsigned char> unlimited = good;
  std::memset(&unlimited[vok_model_header_bytes(2)], 0, 8);
  resum(&unlimited);
  EXPECT_EQ(vok_model_open(unlimited.data(), unlimited.size(), &why), nullptr);
  EXPECT_STREQ(why, "damaged (structure)");
}

// Chains of states a, aa, aaa...: with the feature at the bottom, every
// distance from 0 to beyond the short codes' largest is written, loaded back
// and matched, and the long chain finds what a chain of one state finds;
// with the feature at the top, a text of a's longer than the pieces matching
// works in finds it at every position where it starts, piece ends included.
TEST(Model, LongFailureChainsReachTheirFeature) {
  auto chain = [](uint32_t length, uint32_t feature) {
    vok_automaton a;
    a.settings.word_delimited = 0;  // every position emits
    for (uint32_t u = 0; u <= length; ++u) {
      a.parent.push_back(u == 0 ? 0 : u - 1);
      a.chars.push_back(u == 0 ? 0 : 'a');
      a.fail.push_back(u == 0 ? 0 : u - 1);
      a.column_of.push_back(u == feature);
    }
    a.numbers = {5};
    a.number_bound = 6;
    a.name_lengths = {feature};
    a.name_bytes = std::string(feature, 'a');
    return vok_model_write(a);
  };
  auto open = [](const std::vector<unsigned char>& bytes) {
    const char* why = nullptr;
    model_ptr m(vok_model_open(bytes.data(), bytes.size(), &why));
    EXPECT_TRUE(m) << why;
    return m;
  };
  const std::vector<std::string> text = {std::string(VOK_DIST_MAX + 6, 'a'), "ba", ""};
  const model_ptr short_chain = open(chain(1, 1));
  for (uint32_t length = VOK_DIST_MAX; length <= VOK_DIST_MAX + 3; ++length) {
    const model_ptr m = open(chain(length, 1));
    ASSERT_TRUE(m && short_chain);
    EXPECT_EQ(apply(m.get(), text, false), apply(short_chain.get(), text, false)) << length;
  }
  // The last state, which no other state's distance follows from, is
  // VOK_DIST_MAX - 1 steps from the feature; a file that says one less is
  // refused.
  std::vector<unsigned char> shorter = chain(VOK_DIST_MAX, 1);
  vok_model_header h;
  std::memcpy(&h, shorter.data(), sizeof h);
  const uint64_t bit = uint64_t{VOK_DIST_MAX} * VOK_DIST_BITS;
  shorter[h.table[VOK_SEC_DIST].offset + bit / 8] -= static_cast<unsigned char>(1u << (bit % 8));
  resum(&shorter);
  const char* why = nullptr;
  EXPECT_EQ(vok_model_open(shorter.data(), shorter.size(), &why), nullptr);
  const uint32_t top = 40;
  const model_ptr deep = open(chain(top, top));
  ASSERT_TRUE(deep);
  const size_t n = (size_t{1} << 17) + 3 * top;
  const std::string found = apply(deep.get(), {std::string(n, 'a')}, false);
  EXPECT_EQ(std::count(found.begin(), found.end(), ' '), n - top + 1);
}

}  // namespace
