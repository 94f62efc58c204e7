// Runs vok, vok-dict or vok-apply in this process, from the command line on, on a file
// of given bytes, and compares the file it writes with the model.  Shared by
// the tool tests and the fuzz target.
#ifndef VOK_TESTS_TOOL_H
#define VOK_TESTS_TOOL_H

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fitted_model.h"
#include "model.h"
#include "options.h"
#include "run.h"

namespace tool {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The command line `words` (the program's name first), as the program
// writing `product` parses it.
inline vok_options parse_words(const std::vector<std::string>& words,
                               vok_product product = VOK_BAGS) {
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  return parse_command_line(int(argv.size()), argv.data(), product);
}

// "" when the product of `options` (the words between the program's name
// and the files) on `bytes` is the model's, else what differs; VOK_APPLIED
// applies the features of `bytes` to the documents of `docs`, `piped` has
// vok and vok-dict read `bytes` from standard input.  Options the command
// line refuses must be refused with the usage text.
inline std::string compare_with_model(const std::string& bytes,
                                      const std::vector<std::string>& options,
                                      vok_product product,
                                      const std::string& docs_bytes = "",
                                      bool piped = false) {
  namespace fs = std::filesystem;
  static const fs::path dir = fs::temp_directory_path() /
                              ("vok-tool-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in").string(), out = (dir / "out").string();
  const std::string rows = (dir / "rows").string(), model_out = (dir / "applied").string();
  const bool apply = product == VOK_APPLIED, fit = product == VOK_FITTED;
  std::ofstream(in, std::ios::binary) << bytes;
  if (apply || fit) std::ofstream(rows, std::ios::binary) << docs_bytes;
  std::vector<std::string> words{"vok"};
  words.insert(words.end(), options.begin(), options.end());
  words.push_back(in);
  if (apply) words.push_back(rows);
  words.push_back(out);
  const char* usage = usage_text(product);
  vok_options parsed = parse_words(words, product);
  if (!parsed.run) {
    const std::string& m = parsed.message;
    bool ends = m.size() >= std::strlen(usage) && m.compare(m.size() - std::strlen(usage), std::string::npos, usage) == 0;
    bool help = parsed.exit_status == 0 && m == usage;
    bool version = parsed.exit_status == 0 && m.rfind(std::string(program_name(product)) + " ", 0) == 0;
    return version || (ends && (parsed.exit_status == 1 || help)) ? "" : "refusal without usage";
  }
  // A word that is no option ends the options and names the files itself.
  if (parsed.in_path != in || parsed.out_path != out || (apply && parsed.docs_path != rows))
    return "";
  const vok_settings& s = parsed.settings;
  // vok-apply reads a file of features that starts as a model does as a
  // model: these bytes are then a damaged one, which it must refuse.
  if (apply && vok_is_model(bytes.data(), bytes.size()))
    return vok_apply(s, in.c_str(), rows.c_str(), out.c_str()) != 0 ? "" : "a damaged model taken";
  piped = piped && !apply;
  if (piped && !std::freopen(in.c_str(), "rb", stdin)) return "no standard input";
  if ((apply ? vok_apply(s, in.c_str(), rows.c_str(), out.c_str())
             : vok_run(s, piped ? "-" : in.c_str(), out.c_str(), product)) != 0)
    return "failed";
  std::vector<std::string> docs = model::documents(bytes, s.wide);
  if (fit) {  // the model applied to the training file and to the rows
    const std::string bags = model::voks(docs, s);
    if (vok_apply(vok_settings(), out.c_str(), in.c_str(), model_out.c_str()) != 0) return "model failed";
    if (read_file(model_out) != bags) return "the model on its training file differs from vok";
    if (vok_apply(vok_settings(), out.c_str(), rows.c_str(), model_out.c_str()) != 0) return "model failed";
    const std::string want = model::seen_only(
        model::applied(docs, model::documents(docs_bytes, s.wide), s), bags);
    return read_file(model_out) == want ? "" : "the model differs:\n" + read_file(model_out) + "want:\n" + want;
  }
  std::string want = apply ? model::applied(docs, model::documents(docs_bytes, s.wide), s)
                     : product == VOK_BAGS ? model::voks(docs, s) : model::dict(docs, s);
  return read_file(out) == want ? "" : "differs from the model:\n" + read_file(out) + "want:\n" + want;
}

}  // namespace tool

#endif  // VOK_TESTS_TOOL_H
