#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>

#include <climits>
#include <string>
#include <vector>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/items/itemsops.h"
#include "signedobjects/seid/sdointernal.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certcache.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

// The line of verifyocspresponse's failure, whoever the caller.
constexpr Where kAtVerify{"seidsdovalidate_validateocsp: ", true};

// SHA-1 of the DER name, made as every digest of the library is, so that
// a failing step keeps its own code.
int issuernamesha1(int session, X509* cert, const Where& at, std::vector<unsigned char>& out) {
  unsigned char* der = nullptr;
  int length = i2d_X509_NAME(X509_get_issuer_name(cert), &der);
  OsslMemoryPtr<unsigned char> owned(der);
  if (length <= 0 || der == nullptr) return kOutOfMemory;
  if (int rc = hashbytes(session, out, "sha1", der, static_cast<size_t>(length)); rc != kOk)
    return fail(rc, at, "An error occured trying to hash the issuer name in the signing certificate.");
  return 0;
}

}  // namespace

int validateocspvalue(const Session& s, const unsigned char* der, size_t length, std::string_view cmssignature,
                      std::string_view prefix) {
  return validateocspvalue(s, der, length, cmssignature, prefix, nullptr);
}

int validateocspvalue(const Session& s, const unsigned char* der, size_t length, std::string_view cmssignature,
                      std::string_view prefix, PKCS7* parsed) {
  const int session = s.number;
  const Where at{prefix, true};
  // The strict decoders and OpenSSL's parser leave 20019, 20020 and 20024
  // without a way in; they stay as guards.
  const unsigned char* p = der;
  OcspBasicRespPtr basic;
  ERR_clear_error();
  if (der != nullptr && length > 0 && length <= LONG_MAX)
    basic.reset(d2iocspbasic(&p, static_cast<long>(length)));
  // OpenSSL tells a failed allocation only through its error queue.
  if (!basic && takeallocationfailure()) return kOutOfMemory;
  if (!basic || p != der + length)
    return fail(kSdoOcspParse, at,
                "The der encoded ocsp basic response in the signature element can not be parsed to an ocsp "
                "basicresponse structure.");
  if (OCSP_resp_get0_respdata(basic.get()) == nullptr)
    return fail(kSdoOcspNoTbs, at, "No tbsresponsedata in signatureelements ocsp basic response.");
  if (OCSP_resp_get0_produced_at(basic.get()) == nullptr)
    return fail(kSdoOcspNoProduced, at, "No producedat in signatureelements ocsp basic response tbsresponsedata.");
  OCSP_SINGLERESP* single = OCSP_resp_count(basic.get()) > 0 ? OCSP_resp_get0(basic.get(), 0) : nullptr;
  if (single == nullptr) return fail(kSdoOcspNoSingle, at, "No single responses in tbsresponsedata.");
  if (OCSP_single_get0_status(single, nullptr, nullptr, nullptr, nullptr) != V_OCSP_CERTSTATUS_GOOD)
    return fail(kSdoOcspNotGood, at, "The certificatestatus was not good in signatureelements ocsp response.");
  const OCSP_CERTID* id = OCSP_SINGLERESP_get0_id(single);
  ASN1_OCTET_STRING* namehash = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (id == nullptr || OCSP_id_get0_info(&namehash, nullptr, nullptr, &serial, const_cast<OCSP_CERTID*>(id)) != 1)
    return fail(kSdoOcspNoCertId, at, "The ocspsingleresponse did not contain a certId.");

  Pkcs7Ptr own;
  if (parsed != nullptr) {
    ERR_clear_error();
  } else {
    std::vector<unsigned char> signature;
    if (int rc = decodebase64(session, cmssignature, signature); rc != kOk)
      return fail(rc, at, "The base64 and der encoded signature in the signatureelement could not be base64 decoded.");
    ERR_clear_error();
    if (!parsepkcs7(signature.data(), signature.size(), own)) {
      if (takeallocationfailure()) return kOutOfMemory;
      return fail(kSdoSigParse, at,
                  "The der encoded signature in the signatureelement could not be parsed to an pkcs7 structure.");
    }
    parsed = own.get();
  }
  X509* signer = nullptr;
  if (int rc = getpkcs7signercert(session, parsed, signer); rc != kOk)
    return fail(rc, at, "An error occured retrieving the signing certificate from the pkcs7 structure.");

  // Whole integers: serials of the scheme's certificates run past 64 bits,
  // and a sibling's serial may share every low byte.
  if (serial == nullptr || ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(signer)) != 0)
    return fail(kSdoOcspSerial, at,
                "The serialnumber in the certificate from the pkcs7 structure does not match the serialnumber for "
                "which the ocsp response is for.");
  std::vector<unsigned char> expected;
  if (int rc = issuernamesha1(session, signer, at, expected); rc != kOk) return rc;
  if (namehash == nullptr || static_cast<size_t>(ASN1_STRING_length(namehash)) != expected.size() ||
      CRYPTO_memcmp(ASN1_STRING_get0_data(namehash), expected.data(), expected.size()) != 0)
    return fail(kSdoOcspIssuer, at,
                "The hash of the issuername in the certificate from the pkcs7 structure does not match the hash of "
                "the issuername for which the ocsp response is for.");

  OcspSubject subject;
  subject.cert = signer;
  if (int rc = verifyocspresponse(s, nullptr, basic.get(), subject, 0, OcspTime::stored, nullptr); rc != kOk)
    return fail(rc, kAtVerify, "The OCSP signature and certificate check did not return success.");
  return 0;
}

}  // namespace zmr
