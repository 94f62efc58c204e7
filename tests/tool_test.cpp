// vok, vok-dict and vok-apply against the model over random files and random settings,
// the probability bounds set to ratios the records really have; the core's
// fallback from a failed build in one go, and its bags as columns.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

#include "corpus.h"
#include "testing.h"
#include "tool.h"
#include "writer.h"

namespace {

std::string real(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

// A bound at one record's ratio to its parent (p) or link target (q), or a
// plain value.
std::string bound(std::mt19937& rng, const model::Tree& t, bool link) {
  const double plain[] = {1.0, 0.5, 0.999, 2.0, 1e-9};
  if (t.recs.size() < 2 || rng() % 3 == 0) return real(plain[rng() % 5]);
  const model::Rec& r = t.recs[1 + rng() % (t.recs.size() - 1)];
  return real(r.count / double(t.recs[link ? r.link : r.parent].count));
}

TEST(Tool, RandomFilesMatchTheModel) {
  const std::string alphabets[] = {"ab\n", "ab \t\n\n", "abc \r\n", std::string("a\0 \\\x01\x7f\n", 7)};
  // -w: high bytes, in UTF-8 characters at the bounds of each length and
  // of the surrogates, and in ill-formed sequences (overlong, surrogate,
  // above U+10FFFF, cut short, stray), which vok-dict writes escaped.
  const char* const utf8[] = {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xef\xbf\xbf",
                              "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80",
                              "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82", "\x80", "\xff"};
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    std::mt19937 rng(seed);
    const std::string& letters = alphabets[seed % 4];
    std::string bytes;
    for (int n = int(rng() % 60); n > 0; --n)
      bytes += seed % 3 == 0 && rng() % 4 == 0 ? utf8[rng() % 16] : std::string(1, letters[rng() % letters.size()]);
    if (rng() % 2) bytes += bytes.substr(rng() % (bytes.size() + 1));  // repeats
    model::Tree t = model::build(model::documents(bytes, seed % 3 == 0));
    long l = 2 + rng() % 3;
    std::vector<std::string> options{"-s", std::to_string(rng() % 2), "-l", std::to_string(l),
        "-h", std::to_string(rng() % 2 ? 8000 : l + rng() % 5), "-b", std::to_string(2 + rng() % 2),
        "-p", bound(rng, t, false), "-q", bound(rng, t, true)};
    if (rng() % 4 == 0) options.clear();  // the defaults
    if (seed % 3 == 0) options.push_back("-w");
    if (seed % 2) options.insert(options.end(), {"-j", std::to_string(seed / 2 % 4)});  // 0: every core
    if (seed % 2 == 0) {  // the opt-in settings, at times out of range or in conflict
      const char* const df[] = {"1", "2", "3", "0.0", "0.3", "0.5", "1.0", "1e0", "0", "1.5"};
      if (rng() % 2) options.push_back(std::string("--min-df=") + df[rng() % 10]);
      if (rng() % 2) options.insert(options.end(), {"--max-df", df[rng() % 10]});
      if (rng() % 3 == 0) options.push_back("--max-features=" + std::to_string(rng() % 6));
      if (rng() % 2) options.push_back("--utf8");
      if (rng() % 2) {
        options.push_back("--lowercase");
        for (char& c : bytes) c = c == 'a' && rng() % 2 ? 'A' : c == 'b' && rng() % 3 == 0 ? 'B' : c;
      }
      if (rng() % 3 == 0) options.push_back("--max-shortest=" + std::to_string(rng() % 5));
    }
    // Other documents: pieces of the input and new bytes, some of them
    // outside the narrow tree's alphabet.
    std::string other;
    for (int n = int(rng() % 4); n > 0; --n) {
      size_t at = rng() % (bytes.size() + 1);
      other += bytes.substr(at, rng() % 20) + letters[rng() % letters.size()];
      if (rng() % 3 == 0) other += rng() % 2 ? "\xc3" : "\xe2\x82";  // cut characters
    }
    for (vok_product product : {VOK_BAGS, VOK_DICTIONARY, VOK_APPLIED, VOK_FITTED})
      ASSERT_EQ(tool::compare_with_model(bytes, options, product,
                                         product == VOK_APPLIED && seed % 5 == 0 ? bytes : other, seed % 4 == 1), "")
          << "seed " << seed << ", product " << product << ", input \"" << bytes
          << "\", other \"" << other << "\"";
  }
}

// The bags the core reads out, one line per document, as feature numbers or
// as columns.
std::string bags(const vok_corpus* c, bool columns) {
  std::string out;
  const vok_sink sink{[](void* to, const uint32_t* tokens, size_t n) {
    for (size_t k = 0; k < n; ++k) *static_cast<std::string*>(to) += model::hex(tokens[k]) + " ";
  }, &out, columns};
  for (uint64_t d = 0; d < vok_corpus_num_docs(c); ++d, out += "\n") vok_corpus_bag(c, d, sink);
  return out;
}

// A build in one go that fails falls back to inserting the stored copies,
// whose bags are the model's, by number and by column (a feature's rank
// among the features).  An append or an insertion that fails names the
// document: for an insertion, one that needs records (a non-empty one).
TEST(Core, FailedBuildFallsBackToInsertion) {
  const std::vector<std::string> docs{"ab ab", "", "ba abb ab", "", "abab b ba"};
  const std::string numbers = model::voks(docs, vok_settings());
  // Each number replaced by its column: its rank among the numbers written.
  std::set<long> seen;
  std::vector<long> written;
  for (size_t at = 0, end; (end = numbers.find_first_of(" \n", at)) != std::string::npos; at = end + 1)
    written.push_back(end == at ? -1 : std::stol(numbers.substr(at, end - at), nullptr, 16));
  for (long number : written)
    if (number >= 0) seen.insert(number);
  std::string columns;
  for (long number : written)
    columns += number < 0 ? "\n" : model::hex(uint32_t(std::distance(seen.begin(), seen.find(number)))) + " ";
  for (bool wide : {false, true}) {
    vok_settings s;
    s.wide = wide;
    for (long n = 1;; ++n) {
      ASSERT_LT(n, 1000) << "no build gets through";
      std::unique_ptr<vok_corpus, void (*)(vok_corpus*)> c(vok_corpus_new(s), vok_corpus_delete);
      for (const std::string& d : docs) ASSERT_EQ(vok_corpus_append(c.get(), d.data(), d.size()), VOK_OK);
      if (!wide) {  // a byte the narrow tree has no code for: nothing is stored
        ASSERT_EQ(vok_corpus_append(c.get(), "a\xff", 2), VOK_REFUSED);
        EXPECT_EQ(vok_corpus_failed_doc(c.get()), docs.size());
      }
      vok_testing_fail_build_at(wide, 1);
      vok_testing_fail_from(wide, n);  // the fallback's records from the n-th on
      const vok_status built = vok_corpus_build(c.get(), nullptr);
      vok_testing_fail_build_at(wide, 0);
      vok_testing_fail_from(wide, 0);
      if (built == VOK_REFUSED) {
        EXPECT_NE(docs.at(vok_corpus_failed_doc(c.get())), "") << n;
      }
      if (built != VOK_OK) continue;
      ASSERT_EQ(vok_corpus_select(c.get(), VOK_READ_BAGS | VOK_READ_MODEL, nullptr), VOK_OK);
      EXPECT_EQ(bags(c.get(), false), numbers);
      EXPECT_EQ(bags(c.get(), true), columns);
      break;
    }
  }
}

// Bags read after a selection that gave the tree's records back as it
// passed them (VOK_READ_BAGS_ONLY) are those read with the tree kept, on
// corpora of many pages, walked whole or in parts on threads, narrow and
// wide.  Every page of the tree is given back unless the suffix-link rule
// walks the tree again, and then no feature is visited.  Sanitized, the
// pages given back are poisoned, so a later read of one is caught.
TEST(Core, BagsOnlyGiveTheTreeBackAndReadTheSame) {
  const char* const words[] = {"ab", "ba", "abab", "b", "aab", "bba", "abba", "aaab"};
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> docs;
    for (size_t bytes = 0; bytes < 40000;) {
      std::string d;
      for (int n = 1 + int(rng() % 40); n > 0; --n) d += std::string(words[rng() % 8]) + " ";
      if (!docs.empty() && rng() % 3 == 0) d += docs[rng() % docs.size()];  // repeats
      bytes += d.size() + 1;
      docs.push_back(d);
    }
    vok_settings s;
    s.wide = seed % 2 == 0;
    s.threads = 1 + seed / 2 % 3;
    s.word_delimited = seed % 3 != 0;
    if (seed % 4 == 1) s.max_link_prob = 0.9;  // the rule's walk reads the tree again
    if (seed % 5 == 2) s.min_df = 2;
    std::string out[2];
    long passed[2], visited[2], pages = 0;
    for (int only = 0; only < 2; ++only) {
      const long held = vok_testing_pages(s.wide);
      std::unique_ptr<vok_corpus, void (*)(vok_corpus*)> c(vok_corpus_new(s), vok_corpus_delete);
      for (const std::string& d : docs) ASSERT_EQ(vok_corpus_append(c.get(), d.data(), d.size()), VOK_OK);
      ASSERT_EQ(vok_corpus_build(c.get(), nullptr), VOK_OK);
      pages = vok_testing_pages(s.wide) - held;
      const long before = vok_testing_pages_passed(s.wide);
      ASSERT_EQ(vok_corpus_select(c.get(), VOK_READ_BAGS | (only ? unsigned{VOK_READ_BAGS_ONLY} : 0u), nullptr),
                VOK_OK);
      passed[only] = vok_testing_pages_passed(s.wide) - before;
      out[only] = bags(c.get(), false);
      visited[only] = 0;
      vok_corpus_each_feature(c.get(), [](void* n, const vok_feature&) { ++*static_cast<long*>(n); },
                              &visited[only]);
    }
    EXPECT_EQ(out[1], out[0]) << seed;
    EXPECT_EQ(passed[0], 0) << seed;
    EXPECT_GT(visited[0], 0) << seed;
    if (s.max_link_prob < 1) {
      EXPECT_EQ(passed[1], 0) << seed;
      EXPECT_EQ(visited[1], visited[0]) << seed;
    } else {
      EXPECT_EQ(passed[1], pages) << seed;
      EXPECT_EQ(visited[1], 0) << seed;
    }
  }
}

// Feature numbers as written, against printf's: every digit count, each
// digit at every place, and the buffer's end crossed many times.  Numbers
// of seven and eight digits take far larger trees than the random files.
TEST(Tool, HexTokensAreWrittenAsPrintfWritesThem) {
  std::mt19937 rng(7);
  std::vector<uint32_t> numbers{0, 0xffffffff};
  for (int shift = 0; shift < 32; ++shift)
    for (uint32_t n : {1u << shift, (1u << shift) - 1, (1u << shift) + 9})
      numbers.push_back(n);
  for (int k = 0; k < 100000; ++k) numbers.push_back(uint32_t(rng()) >> (rng() % 32));
  const auto path = std::filesystem::temp_directory_path() /
                    ("vok-hex-" + std::to_string(getpid()));
  auto out = std::make_unique<vok_writer>();
  out->file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out->file, nullptr);
  std::string expected;
  for (uint32_t n : numbers) {
    vok_writer_hex_token(out.get(), n);
    expected += model::hex(n) + " ";
  }
  ASSERT_TRUE(vok_writer_flush(out.get()));
  std::fclose(out->file);
  EXPECT_EQ(tool::read_file(path), expected);
  std::filesystem::remove(path);
}

}  // namespace
