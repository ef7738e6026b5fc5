// Steps shared by the verification handlers.
#include "misc/status.h"
#include "services/certstatus/certstatusops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"

namespace zmr {

int pushuserstatus(const Session& s, const std::string& pkcs7, PKCS7* parsed, std::string_view prefix) {
  const int session = s.number;
  const Where at{prefix};
  std::string ocsp;
  std::optional<std::string> fullocsp;
  if (int rc = getcertstatus(s, pkcs7.c_str(), ocsp, nullptr, &fullocsp, parsed); rc != kOk)
    return fail(rc, at, "Error occured during retrieval of certificate status.\n");
  if (int rc = pushinfoitem(session, "clientPkcs7", pkcs7); rc != kOk)
    return fail(rc, at, "Could not set infoitem \"clientpkcs7\".\n");
  if (fullocsp) {
    if (int rc = pushinfoitem(session, "clientFullOcsp", *fullocsp); rc != kOk)
      return fail(rc, at, "Could not set infoitem \"clientFullOcsp\".\n");
  }
  if (int rc = pushinfoitem(session, "clientOcsp", ocsp); rc != kOk)
    return fail(rc, at, "Could not set infoitem \"clientocsp\".\n");
  return kOk;
}

}  // namespace zmr
