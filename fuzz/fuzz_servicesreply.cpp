// The services host's reply: the raw HTTP reply read for its clear error
// or its encrypted answer, which is then opened. The first byte picks the
// input's meaning: 'p' the rest is an answer that the harness encrypts
// under its base key into a valid reply (so that opening succeeds);
// anything else the rest is the raw reply as the host sent it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "replies.h"
#include "services/transactiondata/transactiondataops.h"
#include "services/transactioninfo/transactioninfoops.h"
#include "store/threadstore.h"

using namespace zmr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const std::string basekey = fuzzreplies::baseKey(0x3c);
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string reply;
  if (data[0] == 'p') {
    reply = fuzzreplies::encryptedReply(rest, basekey);
  } else {
    reply.assign(rest);
  }
  std::vector<char> exact(reply.begin(), reply.end());
  std::string encdata, encauth;
  zmr::SecretString plain;
  int rc = readservicesreply(0, std::string_view(exact.data(), exact.size()), encdata, encauth);
  if (rc == 0) {
    rc = decrypttransactionresponse(0, basekey, encdata, encauth, plain);
    if (data[0] == 'p' && (rc != 0 || plain.view() != rest)) std::abort();  // a reply made valid must open
  } else if (rc != 42000 && rc != 41000) {
    std::abort();
  }
  std::optional<std::string> discard;
  getlasterror(0, discard);
  return 0;
}
