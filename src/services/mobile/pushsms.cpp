#include "misc/status.h"
#include "net/mgmfetools.h"
#include "services/initsession/initsessionops.h"
#include "services/mobile/mobileops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

int pushsms(int session, std::string_view reference, std::string_view text) {
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  std::string popinfo;
  if (int rc = get_pop_info(*s, popinfo); rc != kOk) {
    setlasterror(session,
                 "requestmobileaction_requestmobileaction: An error occured trying to create the popInfo data "
                 "structure.\n");
    return rc;
  }
  std::vector<mgmfeparameter> fields = {{"action", "pushSMS"},
                                        {"transactionReference", std::string(reference)},
                                        {"text", std::string(text)},
                                        {"popInfo", std::move(popinfo)}};
  std::string body;
  if (int rc = ravud_send(*s, fields, body, 0); rc != kOk) {
    setlasterror(session, "requestmobileaction_requestmobileaction: Error communicating with RAVUD.\n");
    return rc;
  }
  return kOk;
}

}  // namespace zmr
