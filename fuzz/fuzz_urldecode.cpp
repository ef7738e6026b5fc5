// URL decoding, splitting and the form-field lookup on arbitrary text.
// Whatever decodes re-encodes to text that decodes to the same bytes, and
// a decoded text never holds a NUL.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/http_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string decoded;
  if (zmr::http_urldecode(text, decoded) == 0) {
    if (decoded.find('\0') != std::string::npos) std::abort();
    std::string encoded, back;
    if (zmr::http_urlencode(decoded, encoded) != 0 || zmr::http_urldecode(encoded, back) != 0 || back != decoded)
      std::abort();
  } else if (!decoded.empty()) {
    std::abort();
  }
  std::string host, path;
  int port = 0;
  zmr::http_parse_url(text, host, port, path);
  if (path.empty() || port < -1 || port > 65535) std::abort();
  size_t split = size == 0 ? 0 : data[0] % (size + 1);
  std::string key = text.substr(0, split);
  if (auto value = zmr::http_find_value(key, std::string_view(text).substr(split))) {
    if (value->find('\0') != std::string::npos) std::abort();
  }
  return 0;
}
