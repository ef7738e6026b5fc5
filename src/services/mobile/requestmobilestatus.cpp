#include "misc/status.h"
#include "net/http_lib.h"
#include "net/mgmfetools.h"
#include "services/mobile/mobileops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

int requestmobilestatus(int session, std::string_view reference, std::string& status) {
  status.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  std::string body;
  if (int rc = ravud_send(*s, {{"action", "getStatus"}, {"transactionReference", std::string(reference)}}, body, 0);
      rc != kOk) {
    setlasterror(session, "requestmobilestatus_requestmobilestatus: Error communicating with RAVUD.\n");
    return rc;
  }
  std::optional<std::string> found = http_find_value("transactionStatus", body);
  if (!found) {
    setlasterror(session, "requestmobilestatus_requestmobileastatus: Missing transaction status in RAVUD response.\n");
    return kMobileNoStatus;
  }
  status = std::move(*found);
  return kOk;
}

}  // namespace zmr
