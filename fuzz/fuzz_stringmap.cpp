// The form parser on arbitrary text: never reads past its input, and a
// parsed map rendered and parsed again renders the same (every complete
// element survives the round trip; incomplete ones are left out of both).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/stringmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int flag = data[0] & 1;
  // A heap copy of exactly the text, so any over-read is caught.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  zmr::stringmap map;
  if (zmr::createstringmap(text, "", flag, map) != 0) return 0;
  std::string encoded, log, joined;
  if (zmr::tourlencodedstring(&map, encoded) != 0 || zmr::tologstring(&map, log) != 0 ||
      zmr::tostring(&map, ",", joined) != 0)
    std::abort();
  zmr::stringmap again;
  if (zmr::createstringmap(encoded, "", 0, again) != 0) std::abort();
  std::string encodedagain;
  if (zmr::tourlencodedstring(&again, encodedagain) != 0) std::abort();
  if (!encoded.empty() && encodedagain != encoded) std::abort();
  for (const zmr::element& e : map.elements) {
    if (!e.key) continue;
    std::string value;
    (void)zmr::getrawelementvalue(&map, *e.key, value);
    (void)zmr::getelementvalue(&map, *e.key, value);
  }
  return 0;
}
