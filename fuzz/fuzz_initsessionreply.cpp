// The reply parser of client session set-up and the opening of its
// payload. The first byte picks the input's meaning: 'p' the rest is a
// payload that the harness encrypts as a valid reply under its base key
// (so that the decrypted form's parser is reached); anything else the rest
// is a raw HTTP reply as the server sent it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "replies.h"
#include "services/initsession/initsessionops.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/threadstore.h"

using namespace zmr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const std::string basekey = fuzzreplies::baseKey(0x5a);
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string reply;
  if (data[0] == 'p') {
    reply = fuzzreplies::encryptedReply(rest, basekey);
  } else {
    reply.assign(rest);
  }
  // An exact-size copy: any read past the reply is caught.
  std::vector<char> exact(reply.begin(), reply.end());
  stringmap map = createstringmapwithvalues("dummy", "dummy");
  if (parse_initsession_response(0, std::string_view(exact.data(), exact.size()), map) == 0) {
    std::string value;
    if (getrawelementvalue(&map, "errorCode", value) == 0) {
      if (value.size() > 4) std::abort();
    } else {
      stringmap payload;
      int rc = decrypt_initsession_response(0, map, basekey, payload);
      if (data[0] == 'p' && rc != 0) std::abort();  // a reply made valid must open
      for (const char* key : {"errorCode", "nonce", "cdmUri", "tid", "cid"}) (void)getrawelementvalue(&payload, key, value);
    }
  }
  std::optional<std::string> discard;
  getlasterror(0, discard);
  return 0;
}
