// vok-dict end to end: on random collections and on the sample corpus,
// every number vok writes has a dictionary line whose substring occurs as
// often as the line says, has as many children as the tree says, and
// explains exactly how often vok wrote that number in each line; plus the
// escapes of the substrings and the messages and statuses shared with vok.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dict.h"
#include "options.h"
#include "run_program.h"
#include "stree_internal.h"

namespace fs = std::filesystem;

namespace {

struct dict_entry {
  uint32_t number = 0;
  uint32_t count = 0;
  int children = 0;
  std::string label;  // unescaped
};

// Undoes the escapes of a dictionary label; false on a malformed escape or
// on a byte that should have been escaped.
bool unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 32 || c >= 127) return false;
    if (c != '\\') {
      out->push_back(static_cast<char>(c));
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\': out->push_back('\\'); break;
      case 't': out->push_back('\t'); break;
      case 'r': out->push_back('\r'); break;
      case 'n': out->push_back('\n'); break;
      case 'x': {
        std::string hex = s.substr(i + 1, 2);
        if (hex.size() != 2 ||
            hex.find_first_not_of("0123456789abcdef") != std::string::npos)
          return false;
        out->push_back(static_cast<char>(std::stoul(hex, nullptr, 16)));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i)
    if (i == s.size() || s[i] == sep) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  return parts;
}

// Parses a dictionary file; a malformed line fails the test.
std::vector<dict_entry> parse_dict(const std::string& text) {
  std::vector<dict_entry> entries;
  if (text.empty()) return entries;
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = split(text.substr(0, text.size() - 1), '\n');
  for (const std::string& line : lines) {
    std::vector<std::string> f = split(line, '\t');
    EXPECT_EQ(f.size(), 4u) << line;
    if (f.size() != 4) continue;
    EXPECT_EQ(f[0].find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_TRUE(f[0] == "0" || f[0][0] != '0') << "leading zero: " << line;
    EXPECT_EQ(f[1].find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(f[2].find_first_not_of("0123456789"), std::string::npos);
    dict_entry e;
    e.number = static_cast<uint32_t>(std::stoul(f[0], nullptr, 16));
    e.count = static_cast<uint32_t>(std::stoul(f[1]));
    e.children = std::stoi(f[2]);
    EXPECT_TRUE(unescape(f[3], &e.label)) << line;
    entries.push_back(e);
  }
  return entries;
}

// The lines of vok's output as token counts.
std::vector<std::map<uint32_t, int>> parse_voks(const std::string& text) {
  std::vector<std::map<uint32_t, int>> lines;
  std::string token;
  lines.emplace_back();
  for (char c : text) {
    if (c == ' ') {
      ++lines.back()[static_cast<uint32_t>(std::stoul(token, nullptr, 16))];
      token.clear();
    } else if (c == '\n') {
      EXPECT_TRUE(token.empty());
      lines.emplace_back();
    } else {
      token += c;
    }
  }
  lines.pop_back();  // after the last line end
  return lines;
}

// ---- brute force -----------------------------------------------------------

bool occurs_at(const std::string& doc, size_t j, const std::string& s) {
  return doc.compare(j, s.size(), s) == 0;
}

uint32_t count_occurrences(const std::vector<std::string>& docs,
                           const std::string& s) {
  uint32_t n = 0;
  for (const std::string& d : docs)
    for (size_t j = 0; j + s.size() <= d.size(); ++j) n += occurs_at(d, j, s);
  return n;
}

// Distinct characters that follow an occurrence: the children of the node
// whose path label is s.
int count_extensions(const std::vector<std::string>& docs,
                     const std::string& s) {
  std::set<char> next;
  for (const std::string& d : docs)
    for (size_t j = 0; j + s.size() < d.size(); ++j)
      if (occurs_at(d, j, s)) next.insert(d[j + s.size()]);
  return static_cast<int>(next.size());
}

bool emits(const std::string& doc, size_t j, bool word_delimited) {
  if (!word_delimited || j == 0) return true;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return blank(doc[j - 1]) && !blank(doc[j]);
}

// ---- the programs ----------------------------------------------------------

struct tree_deleter {
  void operator()(suffix_tree* t) const { stree_delete_tree(t); }
};
using tree_ptr = std::unique_ptr<suffix_tree, tree_deleter>;

tree_ptr build_tree(const std::vector<std::string>& docs) {
  tree_ptr tree(stree_new_tree(128, 1));
  for (size_t i = 0; tree && i < docs.size(); ++i)
    if (!stree_add_string(tree.get(), docs[i].c_str(),
                          static_cast<int32_t>(docs[i].size()),
                          static_cast<int32_t>(i)))
      tree.reset();
  return tree;
}

class Dict : public ::testing::Test {
 protected:
  program_result vok(std::vector<std::string> args) {
    args.insert(args.begin(), VOK_BINARY);
    return run_program(args, {.dir = dir_.path().string()});
  }
  program_result dict(std::vector<std::string> args) {
    args.insert(args.begin(), VOK_DICT_BINARY);
    return run_program(args, {.dir = dir_.path().string()});
  }

  // Runs vok and vok-dict with the options on the documents (written one
  // per line) and checks every dictionary line and every output line
  // against the documents.
  void check_collection(const std::vector<std::string>& docs,
                        const std::vector<std::string>& options,
                        bool word_delimited) {
    std::string text;
    for (const std::string& d : docs) text += d + "\n";
    write_file(dir_ / "docs.txt", text);
    std::vector<std::string> args = options;
    args.push_back("docs.txt");
    args.push_back("out");
    program_result v = vok(args);
    ASSERT_EQ(v.status, 0) << v.out;
    args.back() = "dict";
    program_result d = dict(args);
    ASSERT_EQ(d.status, 0) << d.out;
    EXPECT_EQ(d.out, "");
    check_files(docs, read_file(dir_ / "out"), read_file(dir_ / "dict"),
                word_delimited);
  }

  void check_files(const std::vector<std::string>& docs,
                   const std::string& voks_text, const std::string& dict_text,
                   bool word_delimited) {
    std::vector<dict_entry> entries = parse_dict(dict_text);
    std::vector<std::map<uint32_t, int>> voks = parse_voks(voks_text);
    ASSERT_EQ(voks.size(), docs.size());
    tree_ptr tree = build_tree(docs);
    ASSERT_TRUE(tree);

    std::map<uint32_t, const dict_entry*> by_number;
    for (size_t i = 0; i < entries.size(); ++i) {
      const dict_entry& e = entries[i];
      SCOPED_TRACE("label \"" + e.label + "\"");
      if (i > 0) {
        EXPECT_LT(entries[i - 1].number, e.number);
      }
      by_number[e.number] = &e;
      EXPECT_EQ(e.count, count_occurrences(docs, e.label));
      EXPECT_EQ(e.children, count_extensions(docs, e.label));
      // The label leads from the root exactly to the node of that number.
      stree_ref record;
      int32_t pos;
      int32_t len = static_cast<int32_t>(e.label.size());
      ASSERT_EQ(stree_match(tree.get(), e.label.data(), len, &record, &pos),
                len);
      EXPECT_EQ(pos, int_stree_edge_length(tree.get(), record));
      EXPECT_EQ(stree_node_id(tree.get(), record), e.number);
      EXPECT_EQ(int_stree_num_children(tree.get(), record), e.children);
    }

    // vok writes a feature once for every emitting position at which its
    // substring occurs, and every number it writes is in the dictionary.
    std::set<uint32_t> written;
    for (size_t k = 0; k < docs.size(); ++k) {
      SCOPED_TRACE("document " + std::to_string(k));
      std::map<uint32_t, int> want;
      for (const dict_entry& e : entries)
        for (size_t j = 0; j + e.label.size() <= docs[k].size(); ++j)
          if (emits(docs[k], j, word_delimited) &&
              occurs_at(docs[k], j, e.label))
            ++want[e.number];
      for (const auto& [number, times] : voks[k]) {
        EXPECT_TRUE(by_number.count(number)) << number << " not in dictionary";
        written.insert(number);
      }
      EXPECT_EQ(voks[k], want);
    }
    // Every feature occurs somewhere, so without word starts every one is
    // written.
    if (!word_delimited) {
      EXPECT_EQ(written.size(), by_number.size());
    }
  }

  temp_dir dir_;
};

// ---- random collections and the sample corpus --------------------------------

std::string random_doc(std::mt19937& rng, const std::string& alphabet,
                       size_t max_len) {
  std::string s;
  size_t len = rng() % (max_len + 1);
  for (size_t i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
  return s;
}

TEST_F(Dict, RandomCollections) {
  std::mt19937 rng(2024);
  const std::vector<std::string> alphabets = {"ab", "ab ", "abc  \t", "xyz"};
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> docs;
    const std::string& alphabet = alphabets[rng() % alphabets.size()];
    size_t n = 1 + rng() % 12;
    for (size_t i = 0; i < n; ++i) docs.push_back(random_doc(rng, alphabet, 30));
    bool word_delimited = rng() % 2;
    std::vector<std::string> options = {"-s", word_delimited ? "1" : "0"};
    if (rng() % 2) options.insert(options.end(), {"-l", "3"});
    if (rng() % 2) options.insert(options.end(), {"-h", "20"});
    if (rng() % 2) options.insert(options.end(), {"-b", "3"});
    if (rng() % 3 == 0) options.insert(options.end(), {"-p", "0.6"});
    if (rng() % 3 == 0) options.insert(options.end(), {"-q", "0.7"});
    std::string trace;
    for (const std::string& o : options) trace += o + " ";
    SCOPED_TRACE("round " + std::to_string(round) + ": " + trace);
    check_collection(docs, options, word_delimited);
    if (HasFailure()) return;
  }
}

TEST_F(Dict, SampleCorpus) {
  const fs::path sample = fs::path(VOK_SOURCE_DIR) / "examples" / "sample.txt";
  std::vector<std::string> docs = split(read_file(sample), '\n');
  ASSERT_EQ(docs.back(), "");
  docs.pop_back();
  ASSERT_EQ(docs.size(), 56u);

  ASSERT_EQ(vok({sample.string(), "out"}).status, 0);
  program_result d = dict({sample.string(), "dict"});
  ASSERT_EQ(d.status, 0) << d.out;
  const std::string dict_text = read_file(dir_ / "dict");
  check_files(docs, read_file(dir_ / "out"), dict_text, true);

  // A substring class every reader of the sample can count: "coffee maker "
  // opens five documents' worth of reviews.
  bool found = false;
  for (const dict_entry& e : parse_dict(dict_text))
    if (e.label == "coffee maker ") {
      found = true;
      EXPECT_EQ(e.count, 5u);
    }
  EXPECT_TRUE(found);
}

// ---- labels ----------------------------------------------------------------

std::string escaped(const std::string& text) {
  auto out = std::make_unique<vok_writer>();
  out->file = std::tmpfile();
  if (!out->file) return "<no tmpfile>";
  dict_escape(out.get(), text.data(), static_cast<int32_t>(text.size()));
  vok_writer_flush(out.get());
  std::rewind(out->file);
  std::string s;
  for (int c; (c = std::fgetc(out->file)) != EOF;) s += static_cast<char>(c);
  std::fclose(out->file);
  return s;
}

TEST(DictEscape, EscapesExactlyTheUnprintable) {
  EXPECT_EQ(escaped(""), "");
  EXPECT_EQ(escaped("plain text, ~{}"), "plain text, ~{}");
  EXPECT_EQ(escaped("a\\b"), "a\\\\b");
  EXPECT_EQ(escaped("\t\r\n"), "\\t\\r\\n");
  EXPECT_EQ(escaped(std::string("\0\x01\x1f\x7f\x80\xff", 6)),
            "\\x00\\x01\\x1f\\x7f\\x80\\xff");
  // Every byte escapes to something that unescapes to it.
  for (int c = 0; c < 256; ++c) {
    std::string s(1, static_cast<char>(c)), back;
    ASSERT_TRUE(unescape(escaped(s), &back)) << c;
    EXPECT_EQ(back, s) << c;
  }
}

TEST_F(Dict, LabelsWithControlCharacters) {
  // CR inside a line, tabs, backslashes and other control bytes all end up
  // in selected labels; the dictionary stays one line of four fields each.
  const std::vector<std::string> docs = {
      "a\\b\tc\rd\x01" "e\x7f", "a\\b\tc\rd\x01" "f", "a\\b\tx", "a\\y",
      "\x1b[0m\x1b[1m", "\x1b[0m\x1b[2m"};
  check_collection(docs, {"-s", "0"}, false);
  const std::string dict_text = read_file(dir_ / "dict");
  for (const char* escape : {"\\\\", "\\t", "\\r", "\\x01", "\\x1b"})
    EXPECT_NE(dict_text.find(escape), std::string::npos) << escape;
}

// ---- messages and statuses ---------------------------------------------------

// vok's output with its usage text replaced by vok-dict's.
std::string as_dict_message(const std::string& vok_out) {
  std::string s = vok_out;
  const std::string from = usage_text(), to = dict_usage_text();
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(DictUsage, DiffersFromVoksOnlyInTheUsageLineAndTheOutputFile) {
  std::vector<std::string> vok_lines = split(usage_text(), '\n');
  std::vector<std::string> dict_lines = split(dict_usage_text(), '\n');
  ASSERT_EQ(dict_lines.size(), vok_lines.size() + 1);
  size_t differing = 0;
  for (size_t i = 0; i + 1 < vok_lines.size(); ++i)
    differing += vok_lines[i] != dict_lines[i];
  EXPECT_EQ(differing, 2u);  // the usage line and the output file
  EXPECT_NE(std::string(dict_usage_text())
                .find("Usage: vok-dict [options] docs_file dict_file\n"),
            std::string::npos);
}

TEST_F(Dict, SameMessagesAndStatusesAsVok) {
  write_file(dir_ / "docs.txt", "ab\nac\n");
  write_file(dir_ / "bad.txt", "ok\nbad \x80 doc\n");
  std::string many;
  for (int i = 0; i < 8193; ++i) many += "d" + std::to_string(i) + "\n";
  write_file(dir_ / "many.txt", many);
  write_file(dir_ / "empty.txt", "");
  fs::create_directory(dir_ / "subdir");

  const std::vector<std::vector<std::string>> cases = {
      {"-?"},
      {},
      {"docs.txt"},
      {"-x", "docs.txt", "out"},
      {"-s", "2", "docs.txt", "out"},
      {"-l3", "docs.txt", "out"},
      {"-b"},
      {"missing.txt", "out"},
      {"docs.txt", "no/such/dir/out"},
      {"subdir", "out"},
      {"docs.txt", "docs.txt"},
      {"bad.txt", "out"},
      {"many.txt", "out"},
      {"empty.txt", "out"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string trace;
    for (const std::string& a : args) trace += a + " ";
    SCOPED_TRACE(trace);
    std::error_code ec;
    fs::remove(dir_ / "out", ec);
    program_result v = vok(args);
    bool vok_left_output = fs::exists(dir_ / "out");
    std::string vok_output = vok_left_output ? read_file(dir_ / "out") : "";
    fs::remove(dir_ / "out", ec);
    program_result d = dict(args);
    EXPECT_EQ(d.status, v.status);
    EXPECT_EQ(d.out, as_dict_message(v.out));
    // The output file is left (or not) the same way; after a failure it
    // is empty.
    EXPECT_EQ(fs::exists(dir_ / "out"), vok_left_output);
    if (v.status != 0 && vok_left_output) {
      EXPECT_EQ(vok_output, "");
      EXPECT_EQ(read_file(dir_ / "out"), "");
    }
  }
  EXPECT_EQ(read_file(dir_ / "docs.txt"), "ab\nac\n");
  // An empty collection has an empty dictionary.
  EXPECT_EQ(dict({"empty.txt", "out"}).status, 0);
  EXPECT_EQ(read_file(dir_ / "out"), "");
}

}  // namespace
