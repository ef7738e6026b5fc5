// Base64 decoding of arbitrary text: must never crash, and whatever decodes
// must re-encode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> out;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (zmr::base64_decode(text, out) && !out.empty()) {
    std::string again = zmr::base64_encode(out.data(), out.size());
    std::vector<unsigned char> back;
    if (!zmr::base64_decode(again, back) || back != out) std::abort();
  }
  return 0;
}
