// Shared by the harnesses of central-server replies: a fixed base key and
// a valid reply encrypted under it, so that the parsers behind the tag
// check are reached.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "services/transactiondata/transactiondataops.h"
#include "tools/base64.h"

namespace fuzzreplies {

// 32 bytes of fill, in base64.
inline std::string baseKey(unsigned char fill) {
  std::vector<unsigned char> key(32, fill);
  return zmr::base64_encode(key.data(), key.size());
}

// HTTP 200 whose body is "encData=...&encAuth=..." of plain under basekey.
inline std::string encryptedReply(std::string_view plain, const std::string& basekey) {
  std::string answer;
  if (zmr::encrypt_response(0, plain, basekey, answer) != 0) std::abort();
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" + answer;
}

}  // namespace fuzzreplies
