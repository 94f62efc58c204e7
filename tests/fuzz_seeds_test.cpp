// The fuzz targets' seeds, replayed in every build, so that the histories
// and files they hold (among them what the fuzzers once caught) stay
// checked without clang.  A target reports a fault by abort().
#include <gtest/gtest.h>

#define LLVMFuzzerTestOneInput stree_fuzz_one_input
#include "../fuzz/stree_fuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput vok_fuzz_one_input
#include "../fuzz/vok_fuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput model_fuzz_one_input
#include "../fuzz/model_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

TEST(FuzzSeeds, PassEveryCheck) {
  for (const char* name : {"stree", "vok", "model"})
    for (const auto& seed : std::filesystem::directory_iterator(
             std::filesystem::path(VOK_SOURCE_DIR) / "fuzz" / "seeds" / name)) {
      std::string input = tool::read_file(seed.path());
      SCOPED_TRACE(seed.path().string());
      auto* data = reinterpret_cast<const uint8_t*>(input.data());
      (name[0] == 's' ? stree_fuzz_one_input : name[0] == 'v' ? vok_fuzz_one_input
                                                              : model_fuzz_one_input)(data, input.size());
    }
}
