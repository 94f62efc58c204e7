// The installation: `cmake --install` of this build into a temporary prefix
// puts the two programs, the manual pages, the tree library with its
// headers and the package file in place; the installed programs work; and
// a separate CMake project finds the package, links vok::stree and builds
// the library example, which then prints what the in-tree build prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace fs = std::filesystem;

namespace {

bool is_executable(const fs::path& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & S_IXUSR);
}

// The one file of that name anywhere under dir, or an empty path.
fs::path find_under(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->path().filename() == name) return it->path();
  return {};
}

const char kConsumer[] =
    "cmake_minimum_required(VERSION 3.20)\n"
    "project(consumer LANGUAGES CXX)\n"
    "set(CMAKE_CXX_STANDARD 17)\n"
    "find_package(vok 0.1 REQUIRED)\n"
    "add_executable(library_example \"${EXAMPLE}\")\n"
    "target_link_libraries(library_example PRIVATE vok::stree)\n";

TEST(Install, IntoAPrefixAndUsedByAnotherProject) {
  temp_dir tmp;
  const fs::path prefix = tmp / "prefix";
  program_result r = run_program({VOK_CMAKE_COMMAND, "--install",
                                  VOK_BUILD_DIR, "--prefix", prefix.string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  EXPECT_TRUE(is_executable(prefix / "bin" / "vok"));
  EXPECT_TRUE(is_executable(prefix / "bin" / "vok-dict"));
  const fs::path man = prefix / "share" / "man" / "man1";
  EXPECT_EQ(read_file(man / "vok.1"),
            read_file(fs::path(VOK_SOURCE_DIR) / "doc" / "vok.1"));
  EXPECT_EQ(read_file(man / "vok-dict.1"), ".so man1/vok.1\n");
  // The public header alone: the records and internals stay inside.
  EXPECT_EQ(read_file(prefix / "include" / "stree" / "stree.h"),
            read_file(fs::path(VOK_SOURCE_DIR) / "src" / "stree" / "stree.h"));
  EXPECT_TRUE(find_under(prefix, "records.h").empty());
  EXPECT_TRUE(find_under(prefix, "stree_internal.h").empty());
  EXPECT_FALSE(find_under(prefix, "libstree.a").empty());
  EXPECT_FALSE(find_under(prefix, "vokConfig.cmake").empty());
  EXPECT_FALSE(find_under(prefix, "vokConfigVersion.cmake").empty());

  // The installed programs do the work of the built ones.
  const std::string sample =
      (fs::path(VOK_SOURCE_DIR) / "examples" / "sample.txt").string();
  for (const char* program : {"vok", "vok-dict"}) {
    SCOPED_TRACE(program);
    r = run_program({(prefix / "bin" / program).string(), sample,
                     (tmp / "installed.out").string()});
    EXPECT_EQ(r.status, 0) << r.out;
    const fs::path built = fs::path(VOK_BUILD_DIR) / program;
    r = run_program({built.string(), sample, (tmp / "built.out").string()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(tmp / "installed.out"), read_file(tmp / "built.out"));
  }

  // Another project: find_package(vok) and vok::stree.
  const fs::path src = tmp / "consumer", build = tmp / "consumer-build";
  fs::create_directories(src);
  write_file(src / "CMakeLists.txt", kConsumer);
  const std::string sanitize = VOK_SANITIZE_FLAGS;
  r = run_program({VOK_CMAKE_COMMAND, "-S", src.string(), "-B", build.string(),
                   "-G", VOK_CMAKE_GENERATOR,
                   "-DCMAKE_CXX_COMPILER=" + std::string(VOK_CXX_COMPILER),
                   "-DCMAKE_PREFIX_PATH=" + prefix.string(),
                   "-DCMAKE_CXX_FLAGS=" + sanitize,
                   "-DCMAKE_EXE_LINKER_FLAGS=" + sanitize,
                   "-DEXAMPLE=" + std::string(VOK_SOURCE_DIR) +
                       "/examples/library_example.cpp"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_program({VOK_CMAKE_COMMAND, "--build", build.string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  program_result installed = run_program({(build / "library_example").string()});
  program_result in_tree = run_program({VOK_LIBRARY_EXAMPLE});
  EXPECT_EQ(installed.status, 0);
  EXPECT_EQ(in_tree.status, 0);
  EXPECT_NE(installed.out, "");
  EXPECT_EQ(installed.out, in_tree.out);
}

}  // namespace
