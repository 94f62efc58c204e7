// vok, vok-dict and vok-apply against the model over random files and random settings,
// the probability bounds set to ratios the records really have.
#include <gtest/gtest.h>

#include <memory>
#include <random>

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
                              "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82!", "\x80", "\xff"};
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
    // Other documents: pieces of the input and new bytes, some of them
    // outside the narrow tree's alphabet.
    std::string other;
    for (int n = int(rng() % 4); n > 0; --n) {
      size_t at = rng() % (bytes.size() + 1);
      other += bytes.substr(at, rng() % 20) + letters[rng() % letters.size()];
      if (rng() % 3 == 0) other += char(0xc3);
    }
    for (vok_product product : {VOK_BAGS, VOK_DICTIONARY, VOK_APPLIED, VOK_FITTED})
      ASSERT_EQ(tool::compare_with_model(bytes, options, product, product == VOK_APPLIED && seed % 5 == 0 ? bytes : other), "")
          << "seed " << seed << ", product " << product << ", input \"" << bytes
          << "\", other \"" << other << "\"";
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
