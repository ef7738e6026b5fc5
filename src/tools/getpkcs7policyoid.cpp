#include "misc/status.h"
#include "tools/certtools.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int getpkcs7policyoid(int session, std::string_view pkcs7base64, std::string& out) {
  Pkcs7Ptr p7;
  int rc =
      decodepkcs7(session, pkcs7base64, p7,
                  "pkcs7tools_getpkcs7policyoid: An error occured trying to base64 decode the pkcs7 input.\n", kP7Parse,
                  "pkcs7tools_getpkcs7policyoid: An error occured trying to parse the der encoded pkcs7 to a pkcs7 "
                  "structure.\n");
  if (rc != kOk) return rc;
  X509* signer = nullptr;
  rc = getpkcs7signercert(session, p7.get(), signer);
  if (rc != kOk)
    return fail(rc,
                "pkcs7tools_getpkcs7policyoid: An error occured trying to get the X509 certificate from the PKCS7 "
                "structure.\n");
  rc = getpolicyoid(session, signer, out);
  if (rc != kOk)
    return fail(rc,
                "pkcs7tools_getpkcs7policyoid: An error occured trying to get the policy oid from the X509 "
                "certificate.\n");
  return 0;
}

}  // namespace zmr
