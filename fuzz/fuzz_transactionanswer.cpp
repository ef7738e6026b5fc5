// The decrypted answer of the services host: the nonce check against a
// fixed POP information, and the payload read into info-item pairs. The
// first byte gives the length of the key (0 to 7), which follows it; the
// rest is the answer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "services/transactioninfo/transactioninfoops.h"
#include "store/threadstore.h"
#include "tools/base64.h"

using namespace zmr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t keylength = data[0] % 8;
  if (size < 1 + keylength) return 0;
  static const std::string nonce = "Q2VKxT%2B%2Fnonce%3D";
  static const std::string popinfo = [] {
    std::string form = "issuer=CN%3Dx&serialnumber=01&timestamp=1000&nonce=" + nonce;
    return base64_encode(reinterpret_cast<const unsigned char*>(form.data()), form.size());
  }();
  std::string key(reinterpret_cast<const char*>(data) + 1, keylength);
  std::vector<char> answer(data + 1 + keylength, data + size);
  std::string_view text(answer.data(), answer.size());

  bool echoed = verify_nonce(0, text, popinfo);
  size_t at = text.find("nonce=");
  if (echoed != (at != std::string_view::npos && text.substr(at + 6, nonce.size() + 1) == nonce + "&")) std::abort();

  PayloadItems items;
  int rc = parse_payload(0, text, key, items);
  if (rc != 0 && (rc != 42000 || !items.empty())) std::abort();
  std::optional<std::string> discard;
  getlasterror(0, discard);
  return 0;
}
