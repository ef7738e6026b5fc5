#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"

namespace zmr {

int handleerror(const Session& s, std::string_view form) {
  const int session = s.number;
  std::optional<std::string> code = formfield(form, "errCode");
  if (!code) {
    setlasterror(session, "verifytransactionrequest::handleerror: \"errCode\" missing in transaction data.\n");
    return kNoErrcode;
  }
  if (int rc = pushinfoitem(session, "errorCode", *code); rc != kOk) {
    setlasterror(session, "verifytransactionrequest::handleerror: Could not set infoitem \"errorCode\".\n");
    return rc;
  }
  std::optional<std::string> report = formfield(form, "rtReport");
  if (!report) return kOk;
  PushedItems pushed;
  if (int rc = handlereportdata(session, *report); rc != kOk) {
    setlasterror(session, "verifytransactionrequest::handleerror: Error occured parsing rtReport.\n");
    return rc;
  }
  if (int rc = pushinfoitem(session, "rtReport", *report); rc != kOk) {
    setlasterror(session, "verifytransactionrequest::handleverifysign21: Error setting infoitem \"rtReport\".\n");
    return rc;
  }
  pushed.keep();
  return kOk;
}

}  // namespace zmr
