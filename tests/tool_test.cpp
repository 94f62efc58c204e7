// vok, vok-dict and vok-apply against the model over random files and random settings,
// the probability bounds set to ratios the records really have.
#include <gtest/gtest.h>

#include <random>

#include "tool.h"

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
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    std::mt19937 rng(seed);
    const std::string& letters = alphabets[seed % 4];
    std::string bytes;
    for (int n = int(rng() % 60); n > 0; --n) bytes += letters[rng() % letters.size()];
    if (rng() % 2) bytes += bytes.substr(rng() % (bytes.size() + 1));  // repeats
    for (char& c : bytes) c = char(c ^ (seed % 3 == 0 && c > 'a' ? 0x80 : 0));  // -w: high bytes
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
    for (vok_product product : {VOK_BAGS, VOK_DICTIONARY, VOK_APPLIED})
      ASSERT_EQ(tool::compare_with_model(bytes, options, product, product == VOK_APPLIED && seed % 5 == 0 ? bytes : other), "")
          << "seed " << seed << ", product " << product << ", input \"" << bytes
          << "\", other \"" << other << "\"";
  }
}

}  // namespace
