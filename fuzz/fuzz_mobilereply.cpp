// The mobile gateway's raw reply as its sender judges it, then read for
// the fields the mobile calls take from the body: a body is handed out
// exactly as it follows the header block, and only with the codes that
// carry one.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "net/http_lib.h"
#include "net/mgmfetools.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace {

// An open session with nothing in it: what the calls check the number
// against.
int opensession() {
  zmr::PendingSession opening;
  if (opening.open() != 0) std::abort();
  opening.publish();
  return opening.number();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int session = opensession();
  // An exact-size copy: any read past the reply is caught.
  std::vector<char> exact(data, data + size);
  std::string_view reply(exact.data(), exact.size());
  std::string body;
  int rc = zmr::mgmfe_readreply(session, reply, body);
  if (rc == 0 || rc == 36006 || rc == 36007) {
    size_t end = reply.find("\r\n\r\n");
    if (end == std::string_view::npos || body.empty() || body != reply.substr(end + 4)) std::abort();
    std::string item;
    if ((rc == 36007) != (zmr::popinfoitem(session, "mobileerr", item) == 0)) std::abort();
    for (const char* key : {"statusCode", "transactionReference", "transactionStatus"}) {
      std::optional<std::string> value = zmr::http_find_value(key, body);
      if (value && value->size() > body.size()) std::abort();
    }
  } else if (rc != 36004 && rc != 36005) {
    std::abort();
  } else if (!body.empty()) {
    std::abort();
  }
  zmr::removeallinfoitems(session);
  std::optional<std::string> discard;
  zmr::getlasterror(session, discard);
  return 0;
}
