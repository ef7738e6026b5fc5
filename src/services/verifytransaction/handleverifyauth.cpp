#include "misc/status.h"
#include "services/challenges/challengesops.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int fail(int session, int code, std::string_view text) {
  setlasterror(session, std::string("verifytransactionrequest::").append(text));
  return code;
}

}  // namespace

int handleverifyauth(const Session& s, std::string_view form) {
  const int session = s.number;
  std::optional<std::string> pkcs7 = formfield(form, "pkcs7");
  if (!pkcs7) return fail(session, kNoPkcs7, "handleverifyauth: \"pkcs7\" missing in transaction data.\n");
  if (int rc = pushinfoitem(session, "operation", "verifyAuth"); rc != kOk)
    return fail(session, rc, "handleverifyauth: Unable to set infoitem \"operation\".\n");
  std::string challenge;
  if (int rc = popinfoitem(session, "serverChallenge", challenge); rc != kOk)
    return fail(session, rc, "handleverifyauth: Could not retrieve infoitem \"serverchallenge\".\n");
  if (int rc = authenticateclient(s, *pkcs7, challenge); rc != kOk)
    return fail(session, rc, "handleverifyauth: Error occured during AuthenticateClient.\n");

  if (int rc = pushuserstatus(s, *pkcs7, "verifytransactionrequest::verifytransactionrequest: "); rc != kOk) return rc;

  std::optional<std::string> report = formfield(form, "rtReport");
  if (!report) return kOk;
  PushedItems pushed;
  if (int rc = handlereportdata(session, *report); rc != kOk)
    return fail(session, rc, "handleerror: Error occured parsing rtReport.\n");
  if (int rc = pushinfoitem(session, "rtReport", *report); rc != kOk)
    return fail(session, rc, "handleverifyauth: Error setting infoitem \"rtReport\".\n");
  pushed.keep();
  return kOk;
}

}  // namespace zmr
