// The brute-force model every test compares with, computed from the texts
// alone: the records a generalized suffix tree without a terminator must
// have, the five selection rules, and the lines vok and vok-dict write.
//
// A non-empty substring is a record when it is followed by two different
// bytes somewhere or is a whole suffix of a stored text; it is a leaf when
// it is a whole suffix exactly once and never followed.  The root is the
// empty string.  Labels in byte order are the preorder, so a record's
// number is its rank.  Its parent is its longest proper prefix that is a
// record, its suffix-link target its label without the first byte, its
// count the number of suffixes it begins, its document frequency the
// number of texts it occurs in.  Cubic in the text: small inputs.
#ifndef VOK_TESTS_MODEL_H
#define VOK_TESTS_MODEL_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "settings.h"

namespace model {

using Texts = std::map<int32_t, std::string>;  // slot (document) -> text
using End = std::pair<int32_t, int32_t>;       // (slot, start) of a suffix

struct Rec {
  std::string label;
  std::string next;       // first bytes of the children, ascending
  std::vector<End> ends;  // suffixes spelling exactly the label, sorted
  uint32_t count = 0, df = 0;
  int32_t df_slot = -1;  // the last text counted in df
  int parent = -1, link = -1;  // record numbers; -1 for the root
  bool leaf = false;
};

struct Tree {
  std::vector<Rec> recs;             // by number
  std::map<std::string, int> number;  // label -> number
  size_t docs = 0;
  Texts texts;
};

inline Tree build(const Texts& texts) {
  std::map<std::string, std::pair<Rec, std::set<unsigned char>>> subs;
  subs[""];
  for (const auto& [slot, d] : texts)
    for (size_t s = 0; s < d.size(); ++s)
      for (size_t e = s; e <= d.size(); ++e) {
        auto& [r, next] = subs[d.substr(s, e - s)];
        ++r.count;
        if (r.df_slot != slot) ++r.df, r.df_slot = slot;
        if (e < d.size()) next.insert(d[e]);
        else r.ends.push_back({slot, static_cast<int32_t>(s)});
      }
  Tree t;
  t.docs = texts.size();
  t.texts = texts;
  for (auto& [label, sub] : subs) {
    auto& [r, next] = sub;
    if (!label.empty() && next.size() < 2 && r.ends.empty()) continue;
    r.label = label;
    r.next.assign(next.begin(), next.end());
    r.leaf = !label.empty() && next.empty() && r.ends.size() == 1;
    t.number[label] = static_cast<int>(t.recs.size());
    t.recs.push_back(r);
  }
  for (Rec& r : t.recs) {
    if (r.label.empty()) continue;
    for (size_t k = r.label.size(); r.parent < 0; --k) {
      auto it = t.number.find(r.label.substr(0, k - 1));
      if (it != t.number.end()) r.parent = it->second;
    }
    r.link = t.number.at(r.label.substr(1));
  }
  return t;
}

inline Tree build(const std::vector<std::string>& docs) {
  Texts texts;
  for (size_t i = 0; i < docs.size(); ++i)
    texts[static_cast<int32_t>(i)] = docs[i];
  return build(texts);
}

// The length of the UTF-8 character of two to four bytes at s[i], decoded
// and held against the shortest form, the surrogates and U+10FFFF; 0 when
// the bytes there are no such character.
inline size_t utf8_length(const std::string& s, size_t i) {
  const unsigned char lead = s[i];
  for (size_t n = 2; n <= 4; ++n) {
    if (lead >> (7 - n) != (2 << n) - 2) continue;
    if (i + n > s.size()) return 0;
    uint32_t code = lead & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
      if (static_cast<unsigned char>(s[i + k]) >> 6 != 2) return 0;
      code = code << 6 | (s[i + k] & 0x3f);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return code >= least[n] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff) ? n : 0;
  }
  return 0;
}

// The ends of the characters s reads as from its start: a complete
// character, or, with `cut` (a label), one the end cuts that some bytes
// could complete, takes its bytes; any other byte is one of its own.
inline std::set<size_t> char_bounds(const std::string& s, bool cut) {
  std::set<size_t> bounds{0};
  for (size_t i = 0, n; i < s.size(); i += n, bounds.insert(i)) {
    n = std::max<size_t>(utf8_length(s, i), 1);
    for (size_t m = std::max<size_t>(2, s.size() - i + 1); cut && n == 1 && m <= 4; ++m)
      for (int b = 0x80; b <= 0xbf && n == 1; ++b) {
        std::string c = s.substr(i);
        if (c.size() == 1) c += char(b);
        c.resize(m, '\x80');
        if (utf8_length(c, 0) == m) n = m;
      }
  }
  return bounds;
}

// The longest prefix of `label` of at least `low` bytes that ends where a
// character ends (without utf8 the label), 0 when none does.
inline size_t named(const std::string& label, size_t low, const vok_settings& s) {
  if (!s.utf8) return label.size();
  const std::set<size_t> bounds = char_bounds(label, true);
  for (size_t k = label.size(); k >= low && k > 0; --k)
    if (bounds.count(k)) return k;
  return 0;
}

inline bool emits(const std::string& d, size_t j, const vok_settings& s);

// The rules: the root, the count range, the branches, the documents, the
// UTF-8 boundary, the shortest substring's length, and the parent and suffix-link bounds (a ratio at the
// bound plus 1e-8 or above refuses); then the most frequent in documents.
inline std::vector<char> select(const Tree& t, const vok_settings& s) {
  std::vector<char> sel(t.recs.size(), 0);
  const double n = double(t.docs);
  const double low = s.min_df_share ? s.min_df * n : s.min_df;
  const double high = s.max_df_share ? s.max_df * n : s.max_df;
  for (size_t i = 1; i < t.recs.size(); ++i) {
    const Rec& r = t.recs[i];
    const long c = r.count;
    sel[i] = c >= s.min_freq && c < s.max_freq &&
             static_cast<long>(r.next.size()) >= s.min_branches && r.df >= low &&
             r.df <= high && named(r.label, t.recs[r.parent].label.size() + 1, s) > 0 &&
             (s.max_shortest == 0 || long(t.recs[r.parent].label.size()) < s.max_shortest);
  }
  for (const Rec& r : t.recs) {
    if (r.parent < 0) continue;
    if (r.count / double(t.recs[r.parent].count) >= s.max_parent_prob + 1e-8)
      sel[r.parent] = 0;
    if (r.count / double(t.recs[r.link].count) >= s.max_link_prob + 1e-8)
      sel[r.link] = 0;
  }
  // With max_features only features that occur at an emitting position
  // compete, and the others go.
  auto emitted = [&](const std::string& label) {
    for (const auto& [slot, d] : t.texts)
      for (size_t j = d.find(label); j != std::string::npos; j = d.find(label, j + 1))
        if (emits(d, j, s)) return true;
    return false;
  };
  std::vector<std::pair<long, size_t>> order;  // (-df, number) of the features
  for (size_t i = 0; i < sel.size(); ++i) {
    if (sel[i] && s.max_features > 0 && !emitted(t.recs[i].label)) sel[i] = 0;
    if (sel[i]) order.push_back({-long(t.recs[i].df), i});
  }
  std::sort(order.begin(), order.end());
  for (size_t k = size_t(s.max_features); s.max_features > 0 && k < order.size(); ++k)
    sel[order[k].second] = 0;
  return sel;
}

inline std::string hex(uint32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", n);
  return buf;
}

inline bool emits(const std::string& d, size_t j, const vok_settings& s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return (!s.word_delimited || j == 0 || (blank(d[j - 1]) && !blank(d[j]))) &&
         (!s.utf8 || char_bounds(d, false).count(j));
}

// The texts as the programs take them: with lowercase, ASCII A-Z lowered.
inline std::vector<std::string> lowered(std::vector<std::string> docs, const vok_settings& s) {
  for (std::string& d : docs)
    for (char& c : d)
      if (s.lowercase && c >= 'A' && c <= 'Z') c |= 0x20;
  return docs;
}

// vok-apply's output for the documents `rows` from the tree of `docs`: per
// emitting position j, every selected record whose label's first
// |parent label| + 1 bytes the text from j spells, longest first.
inline std::string applied(const std::vector<std::string>& raw_docs,
                           const std::vector<std::string>& raw_rows,
                           const vok_settings& s) {
  const std::vector<std::string> docs = lowered(raw_docs, s), rows = lowered(raw_rows, s);
  Tree t = build(docs);
  std::vector<char> sel = select(t, s);
  std::string out;
  for (const std::string& d : rows) {
    for (size_t j = 0; j < d.size(); ++j) {
      if (!emits(d, j, s)) continue;
      std::multimap<size_t, int, std::greater<size_t>> carried;
      for (size_t r = 1; r < t.recs.size(); ++r) {
        const size_t k = t.recs[t.recs[r].parent].label.size() + 1;
        if (sel[r] && d.compare(j, k, t.recs[r].label, 0, k) == 0)
          carried.insert({t.recs[r].label.size(), int(r)});
      }
      for (const auto& [depth, r] : carried) out += hex(r) + " ";
    }
    out += "\n";
  }
  return out;
}

// The lines with the tokens that never occur in `bags` (the seen features)
// left out: what a model of the same fit writes.
inline std::string seen_only(const std::string& lines, const std::string& bags) {
  std::set<std::string> seen;
  for (size_t at = 0, end; at < bags.size(); at = end + 1) {
    end = bags.find_first_of(" \n", at);
    if (end > at) seen.insert(bags.substr(at, end - at));
  }
  std::string out;
  for (size_t at = 0, end; at < lines.size(); at = end + 1) {
    end = lines.find_first_of(" \n", at);
    if (end > at && seen.count(lines.substr(at, end - at))) out += lines.substr(at, end - at) + " ";
    if (lines[end] == '\n') out += "\n";
  }
  return out;
}

// vok's output: per document and emitting position, the selected records
// on the path from the suffix's locus up, deepest first.
inline std::string voks(const std::vector<std::string>& raw_docs,
                        const vok_settings& s) {
  const std::vector<std::string> docs = lowered(raw_docs, s);
  Tree t = build(docs);
  std::vector<char> sel = select(t, s);
  std::string out;
  for (const std::string& d : docs) {
    for (size_t j = 0; j < d.size(); ++j) {
      if (!emits(d, j, s)) continue;
      for (int r = t.number.at(d.substr(j)); r > 0; r = t.recs[r].parent)
        if (sel[r]) out += hex(r) + " ";
    }
    out += "\n";
  }
  return out;
}

// vok-dict's output: number, count, children and escaped label per feature;
// UTF-8 characters of the label stand as they are.
inline std::string dict(const std::vector<std::string>& raw_docs,
                        const vok_settings& s) {
  Tree t = build(lowered(raw_docs, s));
  std::vector<char> sel = select(t, s);
  std::string out;
  for (size_t i = 0; i < t.recs.size(); ++i) {
    if (!sel[i]) continue;
    const Rec& r = t.recs[i];
    out += hex(i) + "\t" + std::to_string(r.count) + "\t" +
           std::to_string(r.next.size()) + "\t";
    const std::string label = r.label.substr(0, named(r.label, 1, s));
    for (size_t j = 0; j < label.size(); ++j) {
      const unsigned char c = label[j];
      const char* named = c == '\\' ? "\\\\" : c == '\t' ? "\\t"
                        : c == '\r' ? "\\r" : c == '\n' ? "\\n" : nullptr;
      const size_t n = utf8_length(label, j);
      if (named) out += named;
      else if (n) out += label.substr(j, n), j += n - 1;
      else if (c < 32 || c >= 127) out += (c < 16 ? "\\x0" : "\\x") + hex(c);
      else out += static_cast<char>(c);
    }
    out += "\n";
  }
  return out;
}

// The documents vok reads from a file's bytes: lines of at most 524,287
// bytes (longer ones arrive in pieces; a piece of only line ends after a
// cut is none; with the wide tree every line is whole), each up to its
// first NUL, without trailing CRs and LFs.
inline std::vector<std::string> documents(const std::string& bytes, bool wide = false) {
  const size_t room = wide ? std::string::npos : 524287;
  std::vector<std::string> docs;
  bool cut = false;
  for (size_t i = 0; i < bytes.size();) {
    size_t lf = bytes.find('\n', i);
    size_t n = std::min((lf == std::string::npos ? bytes.size() : lf + 1) - i,
                        room);
    std::string piece = bytes.substr(i, n);
    i += n;
    bool continues = cut;
    cut = n == room && piece.back() != '\n';
    if (continues && piece.find_first_not_of("\r\n") == std::string::npos)
      continue;
    piece = piece.substr(0, piece.find('\0'));
    while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r'))
      piece.pop_back();
    docs.push_back(piece);
  }
  return docs;
}

}  // namespace model

#endif  // VOK_TESTS_MODEL_H
