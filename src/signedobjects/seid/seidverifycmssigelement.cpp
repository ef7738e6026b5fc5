#include <string>
#include <vector>

#include "misc/status.h"
#include "services/verifying/verifyingops.h"
#include "signedobjects/seid/sdointernal.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

constexpr std::string_view kOcspPrefix = "seidsdovalidate_validateocsp: ";

std::string_view textof(const sdotext* t) { return t != nullptr && *t ? std::string_view(**t) : std::string_view(); }

int checkocsp(const Session& s, const cmssignatureelement& e, PKCS7* parsed) {
  const int session = s.number;
  const sdotext* value = ocspvalueof(e);
  if (value == nullptr || !*value)
    return fail(kSdoNoOcsp,
                "seidsdovalidate_validateocsp: The signature element in the sdo does not contain an ocsp response.\n");
  std::vector<unsigned char> der;
  if (int rc = decodebase64(session, **value, der); rc != kOk)
    return fail(rc,
                "seidsdovalidate_validateocsp: Unable to base64 decode ocsp value in one of the dataparts "
                "signatureelements.\n");
  // The decoder refuses text that decodes to nothing; kept as a guard.
  if (der.empty())
    return fail(kSdoOcspEmpty,
                "seidsdovalidate_validateocsp: The signature element in the sdo does not contain an ocsp response "
                "length.\n");
  return validateocspvalue(s, der.data(), der.size(), textof(&e.cmssignature), kOcspPrefix, parsed);
}

}  // namespace

int seidverifycmssigelement(const Session& s, const cmssignatureelement& e, int digestcheck) {
  const int session = s.number;
  std::string_view signature = textof(&e.cmssignature);
  std::string_view method = e.hasheddata ? textof(&e.hasheddata->digestmethod) : std::string_view();
  // The signature is decoded once, by the first check that reads it.
  Pkcs7Ptr p7;
  if (digestcheck != 0) {
    std::vector<unsigned char> digest;
    if (int rc = decodebase64(session, e.hasheddata ? textof(&e.hasheddata->digestvalue) : "", digest); rc != kOk)
      return rc;
    const int usages[] = {kUsageSigning};
    if (int rc =
            verifydata(s, signature, digest.data(), digest.size(), DataIs::digest, usages, 1, ChainCheck::noDates, &p7);
        rc != kOk)
      return fail(rc,
                  "seidsdovalidate_verifycmssignatureelement: An error occured trying to verify the end users "
                  "signature in the signature element.\n");
  }
  if (int rc = issigningtimeincertvalidity(session, signature, p7); rc != kOk)
    return fail(rc,
                "seidsdovalidate_seidverifycmssigelement: An error occured trying to verify that the signingtime is "
                "between certificate notbefore and notafter.\n");
  if (int rc = checkocsp(s, e, p7.get()); rc != kOk)
    return fail(rc,
                "seidsdovalidate_verifycmssignatureelement: An error occured trying to validate the ocsp response in "
                "the signature element.\n");
  if (method != "SHA-1" && method != "SHA-256")
    return fail(kSdoDigestMethod,
                "seidsdovalidate_verifycmssignatureelement: The digestmethod in one of the dataparts "
                "signatureelements is not among supported algorithms.\n");
  if (e.signaturepolicyidentifier) {
    std::string_view policy = textof(identifierof(e));
    if (policy != "2.999.10.1.16.4.1" && !iequals(policy, "urn:oid:2.999.10.1.16.4.1"))
      return fail(kSdoDigestMethod,
                  "seidsdovalidate_verifysignatureelement: The signaturepolicy in one of the dataparts "
                  "signatureelements are not correct.\n");
  }
  std::string_view mimetype = textof(mimetypeof(e));
  if (mimetype != "text/plain" && mimetype != "application/pdf" && mimetype != "text/ZMRXML")
    return fail(kSdoMimeType,
                "seidsdovalidate_verifysignatureelement: The mimetype in one of the dataparts signatureelements is "
                "not among supoported types.\n");
  if (textof(&e.sdoprofile) != "SEID-SDO-Basic-V")
    return fail(kSdoProfile,
                "seidsdovalidate_verifysignatureelement: The signatureprofile in one of the dataparts "
                "signatureelements is not among supported policies.\n");
  return 0;
}

}  // namespace zmr
