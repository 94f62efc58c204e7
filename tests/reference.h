// A brute-force model of vok's feature extraction, computed from the
// documents alone, without a suffix tree.
//
// Every substring of every document is enumerated with its occurrences, the
// characters that follow it and the documents it is a whole suffix of.  From
// these alone follow the records a generalized suffix tree without a
// terminator must have:
//   * the root, for the empty string;
//   * an internal node for every substring followed by two different
//     characters, and for every whole suffix that is either followed by some
//     character elsewhere or is a whole suffix more than once (it then
//     carries end records);
//   * a leaf for every whole suffix that occurs exactly once as a whole
//     suffix and is never followed by a character.
// Preorder with children in ascending byte order is the lexicographic order
// of the labels (prefixes first), which gives the node numbers.  The parent
// of a record is its longest proper prefix that is a record, its suffix-link
// target the record for its label without the first character, its children
// one per distinct following character, and its count the number of
// (document, position) pairs where the label occurs.
//
// Costs are cubic in the total text length: small collections only.
#ifndef VOK_TESTS_REFERENCE_H
#define VOK_TESTS_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings.h"

struct reference_record {
  std::string label;
  uint32_t freq = 0;             // occurrences as (document, position)
  int ends = 0;                  // times the label is a whole suffix
  std::set<unsigned char> next;  // characters following an occurrence
  int parent = -1;               // id of the parent record (-1 for the root)
  int link = -1;                 // id of the suffix-link target (-1: root)
  bool leaf = false;
};

struct reference_tree {
  std::vector<reference_record> records;  // indexed by node number
  std::map<std::string, int> ids;         // label -> node number
};

inline reference_tree reference_build(const std::vector<std::string>& docs) {
  std::map<std::string, reference_record> subs;
  reference_record& root = subs[""];
  for (const std::string& d : docs) {
    const size_t n = d.size();
    for (size_t s = 0; s < n; ++s) {
      ++root.freq;
      root.next.insert(static_cast<unsigned char>(d[s]));
      for (size_t e = s + 1; e <= n; ++e) {
        reference_record& r = subs[d.substr(s, e - s)];
        ++r.freq;
        if (e < n)
          r.next.insert(static_cast<unsigned char>(d[e]));
        else
          ++r.ends;
      }
    }
  }
  reference_tree t;
  for (auto& [label, r] : subs) {  // lexicographic order = preorder
    if (!label.empty() && r.next.size() < 2 && r.ends == 0) continue;
    r.label = label;
    r.leaf = !label.empty() && r.ends == 1 && r.next.empty();
    t.ids[label] = static_cast<int>(t.records.size());
    t.records.push_back(r);
  }
  for (reference_record& r : t.records) {
    if (r.label.empty()) continue;
    for (size_t k = r.label.size(); k-- > 0;) {
      auto it = t.ids.find(r.label.substr(0, k));
      if (it != t.ids.end()) {
        r.parent = it->second;
        break;
      }
    }
    auto it = t.ids.find(r.label.substr(1));
    if (it == t.ids.end())
      throw std::logic_error("no suffix-link target for " + r.label);
    r.link = it->second;
  }
  return t;
}

// The selection flags after applying the five rules to every record whose
// label begins with `top` (the subtree of the record `top`; all records for
// the empty string).
inline std::vector<unsigned char> reference_select(
    const reference_tree& t, const vok_settings& s,
    const std::string& top = std::string()) {
  std::vector<unsigned char> sel(t.records.size(), 1);
  for (size_t id = 0; id < t.records.size(); ++id) {
    const reference_record& r = t.records[id];
    if (r.label.compare(0, top.size(), top) != 0) continue;
    if (r.label.empty()) {
      sel[id] = 0;
      continue;
    }
    if (static_cast<long>(r.freq) < s.min_freq ||
        static_cast<long>(r.freq) >= s.max_freq)
      sel[id] = 0;
    if (static_cast<long>(r.next.size()) < s.min_branches) sel[id] = 0;
    const reference_record& u = t.records[r.parent];
    if (r.freq / static_cast<double>(u.freq) >= s.max_parent_prob + 1e-8)
      sel[r.parent] = 0;
    const reference_record& w = t.records[r.link];
    if (r.freq / static_cast<double>(w.freq) >= s.max_link_prob + 1e-8)
      sel[r.link] = 0;
  }
  return sel;
}

// The tokens for position j of doc: every selected record whose label is a
// prefix of doc[j..), longest first, as lowercase hex and a blank.
inline std::string reference_tokens_at(const reference_tree& t,
                                       const std::vector<unsigned char>& sel,
                                       const std::string& doc, size_t j) {
  std::string out;
  for (size_t k = doc.size() - j; k >= 1; --k) {
    auto it = t.ids.find(doc.substr(j, k));
    if (it == t.ids.end() || !sel[it->second]) continue;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x ", static_cast<unsigned>(it->second));
    out += buf;
  }
  return out;
}

inline bool reference_is_word_start(const std::string& doc, size_t j) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return j == 0 || (blank(doc[j - 1]) && !blank(doc[j]));
}

// One output line without its line end.
inline std::string reference_line(const reference_tree& t,
                                  const std::vector<unsigned char>& sel,
                                  const std::string& doc, long word_delimited) {
  std::string out;
  for (size_t j = 0; j < doc.size(); ++j)
    if (word_delimited == 0 || reference_is_word_start(doc, j))
      out += reference_tokens_at(t, sel, doc, j);
  return out;
}

#endif  // VOK_TESTS_REFERENCE_H
