#include "misc/status.h"
#include "services/challenges/challengesops.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"verifytransactionrequest::"};

}  // namespace

int handleverifyauth(const Session& s, std::string_view form) {
  const int session = s.number;
  std::optional<std::string> pkcs7 = formfield(form, "pkcs7");
  if (!pkcs7) return fail(kNoPkcs7, kAt, "handleverifyauth: \"pkcs7\" missing in transaction data.\n");
  if (int rc = pushinfoitem(session, "operation", "verifyAuth"); rc != kOk)
    return fail(rc, kAt, "handleverifyauth: Unable to set infoitem \"operation\".\n");
  std::string challenge;
  if (int rc = popinfoitem(session, "serverChallenge", challenge); rc != kOk)
    return fail(rc, kAt, "handleverifyauth: Could not retrieve infoitem \"serverchallenge\".\n");
  Pkcs7Ptr p7;
  if (int rc = authenticateclient(s, *pkcs7, challenge, &p7); rc != kOk)
    return fail(rc, kAt, "handleverifyauth: Error occured during AuthenticateClient.\n");

  if (int rc = pushuserstatus(s, *pkcs7, p7.get(), "verifytransactionrequest::verifytransactionrequest: "); rc != kOk)
    return rc;

  std::optional<std::string> report = formfield(form, "rtReport");
  if (!report) return kOk;
  PushedItems pushed;
  if (int rc = handlereportdata(session, *report); rc != kOk)
    return fail(rc, kAt, "handleerror: Error occured parsing rtReport.\n");
  if (int rc = pushinfoitem(session, "rtReport", *report); rc != kOk)
    return fail(rc, kAt, "handleverifyauth: Error setting infoitem \"rtReport\".\n");
  pushed.keep();
  return kOk;
}

}  // namespace zmr
