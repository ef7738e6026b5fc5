#include <vector>

#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/verifying/verifyingops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

constexpr Where kAt{"verifytransactionrequest::"};

}  // namespace

int handleverifysign(const Session& s, std::string_view form) {
  const int session = s.number;
  std::optional<std::string> pkcs7 = formfield(form, "pkcs7");
  if (!pkcs7) return fail(kNoPkcs7, kAt, "handleverifysign: \"pkcs7\" missing in transaction data.\n");
  std::optional<std::string> serverocsp = formfield(form, "ocsp");
  if (!serverocsp) return fail(kNoOcsp, kAt, "handleverifysign: \"ocsp\" missing in transaction data.\n");
  if (int rc = pushinfoitem(session, "serverOcsp", *serverocsp); rc != kOk)
    return fail(rc, kAt, "handleverifysign: Could not set infoitem \"serverocsp\".\n");
  std::string signeddata;
  if (int rc = popinfoitem(session, "signeddata", signeddata); rc != kOk)
    return fail(rc, kAt, "handleverifysign: Could not retrieve infoitem \"signeddata\".\n");
  if (int rc = pushinfoitem(session, "operation", "verifySign"); rc != kOk)
    return fail(rc, kAt, "handleverifyauth: Unable to set infoitem \"operation\".\n");
  std::vector<unsigned char> bytes;
  if (int rc = decodebase64(session, signeddata, bytes); rc != kOk)
    return fail(rc, kAt, "handleverifysign: Could not base64 decode data to be verified.\n");
  static constexpr int usages[] = {kUsageSigning};
  Pkcs7Ptr p7;
  if (int rc = verifydata(s, *pkcs7, bytes.data(), bytes.size(), DataIs::content, usages, 1, ChainCheck::policy, &p7);
      rc != kOk)
    return fail(rc, kAt, "handleverifysign: Error occured during verification of signed data.\n");

  return pushuserstatus(s, *pkcs7, p7.get(), "verifytransactionrequest::handleverifysign: ");
}

}  // namespace zmr
