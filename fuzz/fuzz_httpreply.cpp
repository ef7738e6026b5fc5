// The reply reader on arbitrary bytes cut into arbitrary chunks: it stays
// within its bounds, a reply ended by its length is exactly header block
// plus the announced body, and a reply it accepts is a prefix of the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/http_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t chunk = 1 + data[0] % 64;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  zmr::HttpReplyReader reader;
  int rc = 0;
  for (size_t pos = 0; pos < input.size() && rc == 0; pos += chunk) {
    std::string piece(input.substr(pos, chunk));
    rc = zmr::http_replyfeed(reader, piece);
  }
  if (rc == 1) {
    if (reader.headerend == std::string::npos || reader.contentlength < 0 ||
        reader.data.size() != reader.headerend + static_cast<size_t>(reader.contentlength))
      std::abort();
  } else if (rc == 0) {
    rc = zmr::http_replyclose(reader);
    if (rc != zmr::kHttpOk && rc != zmr::kHttpConnection) std::abort();
  } else if (rc != zmr::kHttpConnection && rc != zmr::kHttpProxyAuth) {
    std::abort();
  }
  if (rc == zmr::kHttpOk || rc == 1) {
    if (reader.data.size() > zmr::kHttpMaxHeader + zmr::kHttpMaxBody + 64) std::abort();
    if (input.substr(0, reader.data.size()) != reader.data) std::abort();
  }
  return 0;
}
