#include <openssl/ocsp.h>

#include <climits>
#include <vector>

#include "misc/ossl.h"
#include "misc/status.h"
#include "signedobjects/seid/sdointernal.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

constexpr std::string_view kProfile = "SEID-SDO-Basic-V";
constexpr std::string_view kPolicy = "urn:oid:2.999.10.1.16.4.1";

// A BasicOCSPResponse whose DER fills the decoded bytes exactly. The
// decoder appends its own line when the text is not base64.
bool isbasicocspresponse(int session, std::string_view ocsp) {
  std::vector<unsigned char> der;
  if (decodebase64(session, ocsp, der) != 0 || der.size() > LONG_MAX) return false;
  const unsigned char* p = der.data();
  OcspBasicRespPtr basic(d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(der.size())));
  return basic && p == der.data() + der.size();
}

}  // namespace

int buildcmssignatureelement(int session, std::string_view pkcs7, std::string_view ocsp,
                             std::optional<std::string_view> sha1digest, std::string_view sha256digest,
                             std::optional<std::string_view> mimetype, std::string_view invalidline,
                             std::unique_ptr<cmssignatureelement>& out) {
  if (pkcs7_has_signingtime(session, pkcs7) != 1 || !isbasicocspresponse(session, ocsp)) {
    setlasterror(session, invalidline);
    return kAttrMissing;
  }
  auto e = std::make_unique<cmssignatureelement>();
  e->sdoprofile = std::string(kProfile);
  e->signaturepolicyidentifier = std::make_unique<signaturepolicyidentifier>();
  e->signaturepolicyidentifier->signaturepolicyid = std::make_unique<signaturepolicyid>();
  e->signaturepolicyidentifier->signaturepolicyid->sigpolicyid = std::make_unique<sigpolicyid>();
  e->signaturepolicyidentifier->signaturepolicyid->sigpolicyid->identifier = std::string(kPolicy);
  e->signersdocumentformat = std::make_unique<signersdocumentformat>();
  if (mimetype) e->signersdocumentformat->mimetype = std::string(*mimetype);
  e->hasheddata = std::make_unique<hasheddata>();
  if (sha1digest) {
    SignerHash algorithm = SignerHash::sha1;
    if (int rc = getpkcs7signerhashalgorithm(session, pkcs7, algorithm); rc != kOk) {
      setlasterror(session,
                   "createsecurechannel_createsecurechannel: An error occured trying to digest the base64 encoded "
                   "order.\n");
      return rc;
    }
    // An MD5 signer has its document named by SHA-256, as every signer
    // other than a SHA-1 one.
    bool sha1 = algorithm == SignerHash::sha1;
    e->hasheddata->digestmethod = sha1 ? "SHA-1" : "SHA-256";
    e->hasheddata->digestvalue = std::string(sha1 ? *sha1digest : sha256digest);
  }
  e->cmssignature = std::string(pkcs7);
  e->usercertificateandrevocationdata = std::make_unique<usercertificateandrevocationdata>();
  auto& revocation = e->usercertificateandrevocationdata;
  revocation->revocationvalues = std::make_unique<revocationvalues>();
  revocation->revocationvalues->ocspvalues = std::make_unique<ocspvalues>();
  revocation->revocationvalues->ocspvalues->encapsulatedocspvalue = std::string(ocsp);
  out = std::move(e);
  return 0;
}

int createseidsdocmssignatureelement(int session, std::string_view pkcs7, std::string_view ocsp,
                                     std::optional<std::string_view> sha1digest, std::string_view sha256digest,
                                     std::optional<std::string_view> mimetype,
                                     std::unique_ptr<cmssignatureelement>& out) {
  return buildcmssignatureelement(session, pkcs7, ocsp, sha1digest, sha256digest, mimetype,
                                  "createsecurechannel_createsecurechannel: Cannot create SDO signature element "
                                  "because signing time in pkcs7 is not set or fullocsp response is received\n",
                                  out);
}

}  // namespace zmr
