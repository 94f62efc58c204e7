// The programs as users run them: one table of command lines, each run by
// /bin/sh in a fresh directory holding in.txt, for usage, every message and
// exit status, the mended faults and hostile inputs; then long lines and a
// sweep of address-space limits.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <random>
#include <tuple>

#include "tool.h"

namespace {

namespace fs = std::filesystem;

const std::string kModel = "\x01model";  // out is the model's, with the row's options
const std::string kNone = "\x01none";    // there is no file out

struct Row {
  std::string cmd, in;
  int status;
  std::string said;  // standard output and error
  std::string out;   // the file out
};

struct Ran {
  int status;
  std::string said;
};

Ran shell(const fs::path& dir, const std::string& cmd) {
  std::ofstream(dir / "cmd.sh")
      << "VOK='" VOK_BINARY "' DICT='" VOK_DICT_BINARY "' APPLY='" VOK_APPLY_BINARY "' FIT='" VOK_FIT_BINARY "' SRC='" VOK_SOURCE_DIR
         "' EXAMPLE='" VOK_LIBRARY_EXAMPLE "' BUILD='" VOK_BUILD_DIR "' CMAKE='" VOK_CMAKE_COMMAND
         "' GEN='" VOK_CMAKE_GENERATOR "' CXX='" VOK_CXX_COMPILER "' SAN='" VOK_SANITIZE_FLAGS
         "'\ncd '" << dir.string() << "' || exit 99\n" << cmd << "\n";
  FILE* p = popen(("sh '" + (dir / "cmd.sh").string() + "' 2>&1").c_str(), "r");
  std::string said;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), said};
}

class Cli : public ::testing::Test {
 protected:
  fs::path dir_ = fs::temp_directory_path() / ("vok-cli-" + std::to_string(getpid()));
  void TearDown() override { fs::remove_all(dir_); }
  fs::path fresh(const std::string& in) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "in.txt", std::ios::binary) << in;
    return dir_;
  }
};

std::string error(const std::string& what) { return "Error: " + what + "\n\n"; }

const std::string kFurther =
    "\nFurther options (long options take their value as --name=N or --name N):\n"
    "         --min-df=N        -> refuse a node in fewer than N documents;\n"
    "                              N with a '.' or an exponent is a share of\n"
    "                              the documents (default 1)\n"
    "         --max-df=N        -> refuse a node in more than N documents\n"
    "                              (a count, or a share; default 1.0)\n"
    "         --max-features=N  -> keep the N features in the most documents\n"
    "                              (default: all)\n"
    "         --max-shortest=N  -> refuse a node whose shortest substring is\n"
    "                              longer than N bytes (default: no limit)\n"
    "         --utf8            -> emit only at UTF-8 character starts and keep\n"
    "                              nodes that hold a whole-character substring\n"
    "         --lowercase       -> lowercase ASCII A-Z of every document read\n"
    "         -j N              -> work on N threads, 0 for one per core; the\n"
    "                              output is the same for every N (default 1)\n";

// The help texts as users see them, word for word.
const std::string kOptions =
    "\nOptions:\n"
    "         -?          -> help\n"
    "         -s [0,1]    -> assume white-spaces are word delimiters\n"
    "                        (default 1)\n"
    "         -l [2..]    -> the minimum frequency\n"
    "                        (default 2)\n"
    "         -h [l..]    -> the maximum frequency\n"
    "                        (default 8,000)\n"
    "         -b [2..]    -> the minimum number of branches\n"
    "                        (default 2)\n"
    "         -p (0..1]   -> the maximum parent-child conditional probability\n"
    "                        (default 1.0)\n"
    "         -q (0..1]   -> the maximum suffix-link conditional probability\n"
    "                        (default 1.0)\n"
    "Arguments:\n"
    "         docs_file    -> the input  file with each line as a raw document\n";
const std::string kAbout =
    "vok: substring classes as features for text classification.\n"
    "One generalized suffix tree is built over all documents; each of its\n"
    "nodes is a class of substrings sharing one set of occurrences. A node\n"
    "is a feature when its count lies in [l, h), it has b or more branches,\n"
    "and no child or suffix-link source holds over p or q of its count.\n\n";

TEST_F(Cli, Table) {
  const std::string U = kAbout + "Usage: vok [options] docs_file voks_file\n" + kOptions +
                        "         voks_file    -> the output file with each line as a bag of vok features\n";
  const std::string D = kAbout + "Usage: vok-dict [options] docs_file dict_file\n" + kOptions +
                        "         dict_file    -> the output file with one line per vok feature:\n"
                        "                         number, count, children and substring\n";
  const std::string A = kAbout + "Usage: vok-apply [options] train_file docs_file voks_file\n" +
                        kOptions.substr(0, kOptions.find("         docs_file")) +
                        "         train_file   -> the file of raw documents the features are fitted on\n"
                        "                         (or the model file vok-fit wrote of them)\n"
                        "         docs_file    -> the input  file with each line as a raw document\n"
                        "                         given the fitted features\n"
                        "         voks_file    -> the output file with each line as a bag of vok features\n";
  const std::string F = kAbout + "Usage: vok-fit [options] train_file model_file\n" +
                        kOptions.substr(0, kOptions.find("         docs_file")) +
                        "         train_file   -> the file of raw documents the features are fitted on\n"
                        "         model_file   -> the output file with the fitted model, which\n"
                        "                         vok-apply takes in place of train_file\n";
  const std::string ab = "ab\nac\n";
  const std::string invalid = error("invalid option.") + U;
  const std::string no_memory = error("the program ran out of memory.");
  std::string many;  // more output than the writer's buffer holds
  while (many.size() < 100000) many += "ab ac ab ac ab ac\n";
  const std::string libsvm = "sh \"$SRC/examples/to_libsvm.sh\" ";
  std::vector<Row> rows = {
      {"$VOK", "", 1, U, kNone},
      {"$VOK -?", "", 0, U, kNone},
      {"$VOK -?x in.txt out", ab, 0, U, kNone},
      {"$VOK in.txt", ab, 1, U, kNone},
      {"$VOK -l", ab, 1, U, kNone},
      {"$VOK -x 1 in.txt out", ab, 1, error("unrecognized option -x!") + U, kNone},
      // "-" is standard input, read once, or standard output, with the bytes
      // of a run on files; then the run's messages go to standard error.
      {"cat in.txt | $VOK - out", tool::read_file(VOK_SOURCE_DIR "/examples/sample.txt"), 0, "", kModel},
      {"$VOK in.txt - 2>/dev/null | wc -c; $VOK in.txt - 2>&1 >/dev/null", "ab\nc\xe9\n", 1,
       "0\nError: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n", kNone},
      {"$VOK in.txt out 2>&1 >out", "ab\nc\xe9\n", 1,
       "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n", ""},
      {"$DICT in.txt - 2>&1 >/dev/full", ab, 1, error("failed to write file -."), kNone},
      {"$VOK in.txt out extra", ab, 0, "", kModel},
      {"$VOK -h 99999999999999999999 -p 1.5 in.txt out", ab, 0, "", kModel},
      {"$VOK -l 3 -h 3 in.txt out", ab + ab, 0, "", kModel},
      {"$VOK missing.txt out", ab, 1, error("failed to open file missing.txt."), kNone},
      {"$VOK in.txt no/out", ab, 1, error("failed to open file no/out."), kNone},
      {"mkdir d; $VOK d out", ab, 1, error("failed to read file d."), kNone},
      {"mkfifo f; (echo ab > f &); $VOK f out", ab, 1, error("failed to read file f."), kNone},
      {"$VOK in.txt /dev/full", ab, 1, error("failed to write file /dev/full."), kNone},
      {"$VOK in.txt /dev/full", many, 1, error("failed to write file /dev/full."), kNone},
      {"$VOK in.txt ./in.txt", ab, 1, error("the input and output files are the same."), kNone},
      {"ln in.txt h; ln -s in.txt s; $VOK s h", ab, 1, error("the input and output files are the same."), kNone},
      {"$VOK /proc/self/io out", "", 1, error("the input file changed while it was being read."), kNone},
      {"$VOK -w /proc/self/io out", "", 1, error("the input file changed while it was being read."), kNone},
      {"$VOK in.txt out", "ab\nc\xe9\n", 1,
       "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n", kNone},
      // A failed run leaves the previous output as it was.
      {"echo old > out; $VOK in.txt out; $DICT in.txt out; $APPLY in.txt in.txt out", "ab\nc\xe9\n", 1,
       std::string("Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n"
           "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n"
           "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n"),
       "old\n"},
      {"$VOK in.txt out", std::string(8193, '\n'), 1,
       error("the program can only process at most 8192 documents."), kNone},
      {"$VOK in.txt out", std::string(8192, '\n'), 0, "", kModel},
      {"$VOK in.txt out", std::string(200000, 'a') + "\n", 0, "", "\n"},
      {"$VOK in.txt out", tool::read_file(VOK_SOURCE_DIR "/examples/sample.txt"), 0, "", kModel},
      {"p=$(printf 'd%.0s' $(seq 250)); mkdir -p $p/$p/$p/$p && cp in.txt $p/$p/$p/$p/i && "
       "$VOK $p/$p/$p/$p/i $p/$p/$p/$p/o && mv $p/$p/$p/$p/o out", ab, 0, "", kModel},
      {"$DICT", "", 1, D, kNone},
      {"$DICT -?", "", 0, D, kNone},
      {"$DICT -q 0 in.txt out", ab, 1, error("invalid option.") + D, kNone},
      {"$DICT in.txt /dev/full", ab, 1, error("failed to write file /dev/full."), kNone},
      {"$DICT in.txt out", "\t\\\x01\x7f\t\\\x02\x7f\t\\\x03 a\rb a\rc\t\\\r\n", 0, "", kModel},
      {"$DICT in.txt out", std::string(200000, 'a') + "\n", 0, "", ""},
      {"$DICT in.txt out", "ab\n\xff\n", 1,
       "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n", kNone},
      {libsvm + "in.txt", "", 2, "usage: to_libsvm.sh voks_file labels_file\n", kNone},
      {libsvm + "missing labels", "", 1, "to_libsvm.sh: cannot read missing\n", kNone},
      {"printf '+1\\n-1\\r\\n 2 \\nspam\\n\\n' > l; " + libsvm + "in.txt l 2>e; cat e",
       "a 3 a \n\n0 ff 10 3 \n7fffff \n", 0,
       "+1 4:1 11:2\n-1\n2 1:1 4:1 17:1 256:1\n1 8388608:1\nto_libsvm.sh: class 1 = spam\n", kNone},
      {"echo 1 > l; " + libsvm + "in.txt l >/dev/null", "1 \n2 \n", 1,
       "to_libsvm.sh: l ends before line 2 of the voks file\n", kNone},
      {"echo 1 > l; " + libsvm + "in.txt l >/dev/null", "1 G \n", 1,
       "to_libsvm.sh: line 1 of the voks file: \"G\" is not a feature number\n", kNone},
      {"\"$EXAMPLE\"", "", 0,
       "added 10 \"banana\"\nadded 11 \"bandana\"\nadded 12 \"cabana\"\n17 nodes and leaves\n"
       "ana    4 occurrences (string:position): 10:1 10:3 11:4 12:3; path label \"ana\"\n"
       "ban    3 occurrences (string:position): 10:0 11:0 12:2; path label \"ban\"\n"
       "cab    1 occurrence (string:position): 12:0; path label \"cabana\"\n"
       "band   1 occurrence (string:position): 11:0; path label \"bandana\"\n"
       "removed 11 \"bandana\"\n"
       "ana    3 occurrences (string:position): 10:1 10:3 12:3; path label \"ana\"\n"
       "band   no occurrence; the longest prefix found is \"ban\"\n10 nodes and leaves\n", kNone},
      // Installed: the programs, the manual page, the public header alone,
      // and a package another CMake project builds the example with, the
      // header included as <stree/stree.h> and as "stree.h".
      {"\"$CMAKE\" --install \"$BUILD\" --prefix p >/dev/null && cat p/share/man/man1/vok-dict.1 && "
       "cmp p/share/man/man1/vok.1 \"$SRC/doc/vok.1\" && ls p/include/stree && "
       "cmp p/include/stree/stree.h \"$SRC/src/stree/stree.h\" && ls p/lib*/libstree.a >/dev/null && "
       "p/bin/vok-dict in.txt d && \"$DICT\" in.txt d2 && cmp d d2 && p/bin/vok-apply in.txt in.txt d && "
       "cmp p/share/man/man1/vok-dict.1 p/share/man/man1/vok-apply.1 && p/bin/vok in.txt out && "
       "x=\"$SRC/examples/library_example.cpp\" && sed 's|^#include .*stree.h.$|#include <stree/stree.h>|' \"$x\" > a.cpp && "
       "sed 's|^#include .*stree.h.$|#include \"stree.h\"|' \"$x\" > q.cpp && grep -h '^#include .*stree' a.cpp q.cpp && "
       "printf '%s\\n' 'cmake_minimum_required(VERSION 3.20)' 'project(c CXX)' 'find_package(vok 0.1 REQUIRED)' "
       "'add_executable(e a.cpp)' 'add_executable(f q.cpp)' 'target_link_libraries(e PRIVATE vok::stree)' "
       "'target_link_libraries(f PRIVATE vok::stree)' > CMakeLists.txt && \"$CMAKE\" -S . -B b -G \"$GEN\" "
       "-DCMAKE_CXX_COMPILER=\"$CXX\" -DCMAKE_PREFIX_PATH=\"$PWD/p\" -DCMAKE_CXX_FLAGS=\"$SAN\" "
       "-DCMAKE_EXE_LINKER_FLAGS=\"$SAN\" >/dev/null && \"$CMAKE\" --build b >/dev/null && b/e > e && b/f | cmp - e && "
       "\"$EXAMPLE\" | cmp - e && echo ok",
       ab, 0, ".so man1/vok.1\nstree.h\n#include <stree/stree.h>\n#include \"stree.h\"\nok\n", kModel},
  };
  // vok-apply: the checks of vok for each file, any bytes in the documents,
  // a pipe of documents, the hostile shapes, and vok's output on the
  // training documents.
  const std::string same = error("the input and output files are the same.");
  const std::string utf8 = "caf\xc3\xa9 au lait\ncaf\xc3\xa9 noir\nth\xc3\xa9 vert\r\n";
  const std::string as = "head -c 524287 /dev/zero | tr '\\0' a > n.txt; $APPLY ";
  for (const Row& row : std::vector<Row>{
           {"$APPLY", "", 1, A, kNone},
           {"$APPLY -?", "", 0, A, kNone},
           {"$APPLY in.txt out", ab, 1, A, kNone},
           {"$APPLY -b 1 in.txt in.txt out", ab, 1, error("invalid option.") + A, kNone},
           {"$APPLY missing.txt in.txt out", ab, 1, error("failed to open file missing.txt."), kNone},
           {"$APPLY in.txt missing.txt out", ab, 1, error("failed to open file missing.txt."), kNone},
           {"$APPLY in.txt in.txt no/out", ab, 1, error("failed to open file no/out."), kNone},
           {"mkdir d; $APPLY d in.txt out", ab, 1, error("failed to read file d."), kNone},
           {"mkdir d; $APPLY in.txt d out", ab, 1, error("failed to read file d."), kNone},
           {"mkfifo f; (echo ab > f &); $APPLY f in.txt out", ab, 1, error("failed to read file f."), kNone},
           {"mkfifo f; (printf 'ab\\nx\\n' > f &); $APPLY in.txt f out", ab, 0, "",
            model::applied(model::documents(ab), {"ab", "x"}, vok_settings())},
           {"$APPLY in.txt in.txt /dev/full", many, 1, error("failed to write file /dev/full."), kNone},
           {"$APPLY in.txt in.txt ./in.txt", ab, 1, same, kNone},
           {"cp in.txt t; $APPLY t in.txt in.txt", ab, 1, same, kNone},
           {"$APPLY in.txt in.txt out", "ab\nc\xe9\n", 1,
            "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n", kNone},
           {"printf 'c\\351ab\\000ac\\na b\\r\\n' > n.txt; $APPLY -s 0 in.txt n.txt out", ab + "a ab\n", 0, "", kModel},
           {"$APPLY -w -l 3 in.txt in.txt out", utf8 + utf8, 0, "", kModel},
           {as + "-s 0 in.txt n.txt out", std::string(200000, 'a') + "\n", 0, "", "\n"},
           {as + "-s 1 in.txt n.txt out", std::string(200000, 'a') + "\n", 0, "", "\n"},
           {"$APPLY in.txt in.txt o && $VOK in.txt v && cmp o v && $APPLY -w -s 0 -l 3 in.txt in.txt o && "
            "$VOK -w -s 0 -l 3 in.txt v && cmp o v && echo same",
            tool::read_file(VOK_SOURCE_DIR "/examples/sample.txt"), 0, "same\n", kNone},
       })
    rows.push_back(row);
  rows.push_back({"$VOK -w -s 0 -l 3 - - < in.txt > out", utf8 + utf8, 0, "", kModel});
  rows.push_back({"$DICT -w - - < in.txt > out", utf8 + utf8, 0, "", kModel});
  rows.push_back({"$APPLY -w in.txt in.txt a && $APPLY -w - in.txt b < in.txt && cat in.txt | $APPLY -w in.txt - - > c "
                  "&& cmp a b && cmp a c && echo same", utf8, 0, "same\n", kNone});
  // --help and --version: on standard output, status 0, nothing after them read.
  for (auto [program, name, usage] : {std::tuple{"$VOK", "vok", &U}, {"$DICT", "vok-dict", &D},
                                      {"$APPLY", "vok-apply", &A}, {"$FIT", "vok-fit", &F}}) {
    rows.push_back({std::string(program) + " --help -x in.txt in.txt out 2>/dev/null", ab, 0, *usage + kFurther, kNone});
    rows.push_back({std::string(program) + " --version -x in.txt in.txt out 2>/dev/null", ab, 0, name + std::string(" 0.1.0\n"), kNone});
  }
  // vok-fit and its model: vok's bags on the training file, the same with
  // standard input and output, the fit's settings held, damage told.
  const std::string sample = tool::read_file(VOK_SOURCE_DIR "/examples/sample.txt");
  const std::string fitted = "$FIT in.txt m && ";
  for (const Row& row : std::vector<Row>{
           {"$FIT", "", 1, F, kNone},
           {"$FIT -b 1 in.txt m", ab, 1, error("invalid option.") + F, kNone},
           {"$FIT in.txt in.txt", ab, 1, same, kNone},
           {"$FIT in.txt out", "ab\nc\xe9\n", 1,
            "Error: failed to add the doc (id=1)       becuse the program ran out of memory.\n\n", kNone},
           {fitted + "$APPLY m in.txt o && $VOK in.txt v && cmp o v && $FIT -w -s 0 -l 3 - - < in.txt > m && "
            "$APPLY -s 0 m in.txt o && $VOK -w -s 0 -l 3 in.txt v && cmp o v && echo same", sample, 0, "same\n", kNone},
           {fitted + "$APPLY -s 0 m in.txt out", ab, 1, error("the model file m was fitted with -s 1."), kNone},
           {fitted + "$APPLY -w -l 2 m in.txt out", ab, 1, error("the model file m was fitted without -w."), kNone},
           {fitted + "head -c 100 m > t && $APPLY t in.txt out", ab, 1, error("the model file t is truncated."), kNone},
           // The opt-in settings go into the model, which applies them and
           // refuses a differing one.
           {"$FIT -w --utf8 --lowercase --min-df 2 --max-df=0.9 --max-features=9 in.txt m && $APPLY m in.txt o && "
            "$VOK -w --lowercase --utf8 --max-df=0.9 --min-df=2 --max-features 9 in.txt v && cmp o v && echo same",
            "Caf\xc3\xa9 au LAIT\ncaf\xc3\xa9 noir\nTh\xc3\xa9 vert caf\xc3\xa9\nthe noir\n", 0, "same\n", kNone},
           {fitted + "$APPLY --utf8 m in.txt out", ab, 1, error("the model file m was fitted without --utf8."), kNone},
           {fitted + "$APPLY --lowercase m in.txt out", ab, 1, error("the model file m was fitted without --lowercase."), kNone},
           {"$FIT --min-df=0.5 --max-df 1 in.txt m && $APPLY --min-df=0.5 --max-df=2 m in.txt out", ab, 1,
            error("the model file m was fitted with --max-df=1."), kNone},
           {"$FIT --max-df=1e0 in.txt m && $APPLY --max-df=1 m in.txt out", ab, 1, error("the model file m was fitted with --max-df=1.0."), kNone},
           {"$FIT --max-features=3 in.txt m && $APPLY --max-features=4 m in.txt out", ab, 1,
            error("the model file m was fitted with --max-features=3."), kNone},
           {"$FIT --max-shortest=3 -s 0 in.txt m && $APPLY -s 0 m in.txt o && $VOK -s 0 --max-shortest 3 in.txt v && "
            "cmp o v && $APPLY --max-shortest=2 m in.txt out", ab, 1,
            error("the model file m was fitted with --max-shortest=3."), kNone},
           {fitted + "printf x | dd of=m bs=1 seek=100 conv=notrunc 2>/dev/null && $APPLY m in.txt out", ab, 1,
            error("the model file m is damaged (checksum)."), kNone},
       })
    rows.push_back(row);
  // The wide tree: every byte, any number of documents, whole lines.
  // Threads change no product: every program with -j 2, 3 and 0 (one per
  // core) against -j 1, on the sample and on a file of more documents and
  // bytes than one batch of bags takes; bad counts are refused.
  const std::string same_for_threads =
      "for i in $(seq 200); do sed \"s/^/$i /\" in.txt; done > big.txt && "
      "for f in \"-s 0 in.txt\" \"-w -l 3 big.txt\"; do "
      "$VOK -j 1 $f v1 && $DICT -j 1 $f d1 && $FIT -j 1 $f m1 && $APPLY -j 1 $f big.txt a1 && "
      "$APPLY -j 1 m1 big.txt b1 && for j in 2 3 0; do $VOK -j $j $f v && cmp v v1 && "
      "$DICT -j $j $f d && cmp d d1 && $FIT -j $j $f m && cmp m m1 && $APPLY -j $j $f big.txt a && "
      "cmp a a1 && $APPLY -j $j m1 big.txt b && cmp b b1 || exit 1; done; done && "
      "$VOK -j 2 -w -l 3 - - < big.txt | cmp - v1 && echo same";
  rows.push_back({same_for_threads, sample, 0, "same\n", kNone});
  for (const char* j : {"-1", "x", "1.5", "2x", ""})
    rows.push_back({std::string("$VOK -j '") + j + "' in.txt out", ab, 1, invalid, kNone});
  rows.push_back({"$APPLY -j -2 in.txt in.txt out", ab, 1, error("invalid option.") + A, kNone});
  rows.push_back({"$FIT -j", ab, 1, F, kNone});
  rows.push_back({"$VOK -w in.txt out", utf8, 0, "", kModel});
  rows.push_back({"$DICT -w -l 3 -w in.txt out", utf8 + utf8, 0, "", kModel});
  rows.push_back({"$VOK -w in.txt out", std::string(8193, '\n'), 0, "", kModel});
  rows.push_back({"$VOK -w in.txt out", std::string(600000, 'a') + "\r\n", 0, "", "\n"});
  rows.push_back({"$VOK -w in.txt out", std::string("ab\0\xff\nab\xff\n", 9), 0, "", kModel});
  // Progress goes to standard error only with -w and only on a terminal.
  const std::string tty = "export VOK; script -qec '\"$VOK\" ";
  rows.push_back({tty + "-w in.txt out' /dev/null | tr '\\r' '\\n' | grep -ac 'vok: writing: 1 documents'", ab, 0, "1\n", kModel});
  rows.push_back({tty + "in.txt out' /dev/null | wc -c", ab, 0, "0\n", kModel});
  for (const char* o : {"-s 2", "-s -1", "-l 1", "-h 1", "-b 1", "-p 0", "-q 0", "-p nan",
                        "-q -0.5", "-l 99999999999999999999", "-h -1", "-b 0x10", "--min-df=0", "--min-df 1.5",
                        "--max-df=-0.1", "--min-df=3 --max-df=2", "--min-df=.6 --max-df=.5", "--max-features=-1", "--max-shortest=-2",
                        "--max-df=nan", "--min-df=1e10"})
    rows.push_back({"$VOK " + std::string(o) + " in.txt out", ab, 1, invalid, kNone});
  rows.push_back({"$VOK --utf8=1 in.txt out", ab, 1, error("unrecognized option --utf8=1!") + U, kNone});
  // A character cut short by the line's end: its bytes begin characters.
  rows.push_back({"$VOK -w -s 0 --utf8 in.txt out", "x\xe2\x82" "a\nx\xe2\x82" "b\ny\xe2\x82\n", 0, "", kModel});
  rows.push_back({"$VOK --max-features", ab, 1, U, kNone});
  for (const char* o : {"--lowercase --min-df=2", "--max-df 0.5 --utf8", "--max-features=2 --min-df=0.0 -s 0",
                        "--max-shortest=2 -s 0"})
    rows.push_back({"$VOK " + std::string(o) + " in.txt out", "ab AB\nAc ab\nx\n", 0, "", kModel});
  for (const std::string& in : std::vector<std::string>{"", "\n\n\n", "ab\nab", "ab\r\nac\r\n", "a\rb\nab\n", " ab\tab  a\n\tab ab\n",
                         "\r\n\n\r\rab\r\r\n", "ab" + std::string(1, '\0') + "cd\nab\n"})
    rows.push_back({"$VOK in.txt out", in, 0, "", kModel});
  for (const Row& row : rows) {
    fs::path dir = fresh(row.in);
    Ran r = shell(dir, row.cmd);
    std::string where = row.cmd + " on \"" + row.in.substr(0, 40) + "\"";
    EXPECT_EQ(r.status, row.status) << where;
    EXPECT_EQ(r.said, row.said) << where;
    EXPECT_EQ(tool::read_file(dir / "in.txt"), row.in) << where;
    // The model takes the options of a row that runs a program directly;
    // every other row's product is the defaults'.
    vok_settings settings;
    const bool apply = row.cmd.find("$APPLY ") != std::string::npos;
    std::string docs_path = "in.txt";
    if (row.cmd.rfind("$VOK ", 0) == 0 || row.cmd.rfind("$DICT ", 0) == 0 || apply) {
      std::vector<std::string> words;
      std::istringstream split(row.cmd.substr(row.cmd.rfind(apply ? "$APPLY " : "$")));
      for (std::string w; split >> w;) words.push_back(w);
      vok_options parsed = tool::parse_words(words, apply ? VOK_APPLIED : VOK_BAGS);
      if (parsed.run) settings = parsed.settings, docs_path = parsed.docs_path;
    }
    if (row.out == kNone) {
      EXPECT_FALSE(fs::exists(dir / "out")) << where;
    } else {
      std::vector<std::string> docs = model::documents(row.in, settings.wide);
      std::string want = row.out != kModel ? row.out
                         : apply ? model::applied(docs, model::documents(tool::read_file(dir / docs_path), settings.wide), settings)
                         : row.cmd.rfind("$DICT", 0) == 0 ? model::dict(docs, settings)
                                                          : model::voks(docs, settings);
      EXPECT_EQ(tool::read_file(dir / "out"), want) << where;
    }
  }
}

// Lines around the line buffer's size: longer ones arrive in pieces, the
// line end a full piece leaves is no document, CRLF reads as LF, standard
// input reads as the file; the wide tree, whose lines are whole, writes the
// same up to 524,287 characters before the line end.
TEST_F(Cli, LongLines) {
  for (size_t len : {524286, 524287, 524288, 1100000}) {
    std::string line(len, 'a');
    for (size_t i = 0; i < len; i += 1000) line[i] = 'b';
    std::string lf = "short one\n" + line + "\nend\n", crlf = "short one\r\n" + line + "\r\nend\r\n";
    shell(fresh(lf), "$VOK in.txt out");
    std::string want = tool::read_file(dir_ / "out");
    EXPECT_EQ(std::count(want.begin(), want.end(), '\n'), long(model::documents(lf).size())) << len;
    shell(fresh(crlf), "$VOK in.txt out; cat in.txt | $VOK - - > p; $VOK -w in.txt w");
    EXPECT_EQ(tool::read_file(dir_ / "out"), want) << len;
    EXPECT_EQ(tool::read_file(dir_ / "p"), want) << len;
    EXPECT_EQ(tool::read_file(dir_ / "w") == want, len <= 524287) << len;
  }
}

// Under any limit on its address space vok, with and without -w, writes the
// output of a run without limit, or says it ran out of memory and leaves the
// previous output as it was.
TEST_F(Cli, MemoryLimits) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the limit would fall on the sanitizer's shadow memory";
#endif
  std::mt19937 rng(7);
  std::string text;
  while (text.size() < (2u << 20)) {
    for (int w = 20 + int(rng() % 180); w > 0; --w)
      text += std::string("kartoriminsalovedepri", rng() % 12, 2 + rng() % 6) + " ";
    text += "\n";
  }
  // Both trees, and the wide one on a line of 8 MB, whose buffer must grow
  // (under the low limits only: its tree would take long).
  std::string line = text + text + text + text;
  std::replace(line.begin(), line.end() - 1, '\n', ' ');
  int successes = 0;
  for (auto [wide, input] : {std::pair{"", &text}, {"-w ", &text}, {"-w ", &line}}) {
    const std::string want = input == &line ? "" : (shell(fresh(*input), std::string("$VOK ") + wide + "in.txt out"), tool::read_file(dir_ / "out"));
    for (long kib = 4096; kib < (input == &line ? 40000 : 600000); kib = kib * 5 / 4) {
      Ran r = shell(fresh(*input), "echo old > out; ulimit -v " + std::to_string(kib) + "; $VOK " + wide + "in.txt out");
      std::string where = wide + std::to_string(kib) + " KiB: " + r.said;
      if (r.status == 127 || (r.status > 128 && kib < 16384)) continue;  // the loader failed
      if (r.status == 0) {
        ++successes;
        EXPECT_EQ(tool::read_file(dir_ / "out"), want) << where;
        continue;
      }
      EXPECT_EQ(r.status, 1) << where;
      EXPECT_TRUE(r.said == error("the program ran out of memory.") ||
                  r.said.find("becuse the program ran out of memory.\n\n") != std::string::npos) << where;
      EXPECT_EQ(tool::read_file(dir_ / "out"), "old\n") << where;
    }
  }
  EXPECT_GT(successes, 1);
}

}  // namespace
