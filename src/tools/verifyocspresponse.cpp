#include <openssl/crypto.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "misc/status.h"
#include "store/sessionstore.h"
#include "tools/certtools.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

bool hashequals(const ASN1_OCTET_STRING* stored, const unsigned char* computed, unsigned int length) {
  return stored != nullptr && static_cast<unsigned int>(ASN1_STRING_length(stored)) == length &&
         CRYPTO_memcmp(ASN1_STRING_get0_data(stored), computed, length) == 0;
}

bool certidmatches(OCSP_CERTID* id, const OcspSubject& subject) {
  ASN1_OCTET_STRING* namehash = nullptr;
  ASN1_OCTET_STRING* keyhash = nullptr;
  ASN1_OBJECT* algorithm = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (id == nullptr || OCSP_id_get0_info(&namehash, &algorithm, &keyhash, &serial, id) != 1) return false;
  const ASN1_INTEGER* wanted = subject.cert != nullptr ? X509_get0_serialNumber(subject.cert) : subject.serial;
  if (serial == nullptr || wanted == nullptr || ASN1_INTEGER_cmp(serial, wanted) != 0) return false;
  if (subject.cert == nullptr) return true;
  const EVP_MD* md = algorithm != nullptr ? EVP_get_digestbyobj(algorithm) : nullptr;
  if (md == nullptr) return false;
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_NAME_digest(X509_get_issuer_name(subject.cert), md, hash, &length) != 1 ||
      !hashequals(namehash, hash, length))
    return false;
  if (subject.issuer == nullptr) return true;
  return X509_pubkey_digest(subject.issuer, md, hash, &length) == 1 && hashequals(keyhash, hash, length);
}

OCSP_SINGLERESP* findsingle(OCSP_BASICRESP* basic, const OcspSubject& subject) {
  for (int i = 0; i < OCSP_resp_count(basic); ++i) {
    OCSP_SINGLERESP* single = OCSP_resp_get0(basic, i);
    if (single != nullptr && certidmatches(const_cast<OCSP_CERTID*>(OCSP_SINGLERESP_get0_id(single)), subject))
      return single;
  }
  return nullptr;
}

// The responder's policy is the first policy of a certificatePolicies
// extension; it must be the validation authority's own, whatever the
// session grants to signers.
bool hasresponderpolicy(X509* cert) {
  for (int i = 0; i < X509_get_ext_count(cert); ++i) {
    X509_EXTENSION* ext = X509_get_ext(cert, i);
    if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) != NID_certificate_policies) continue;
    PoliciesPtr policies(static_cast<CERTIFICATEPOLICIES*>(X509V3_EXT_d2i(ext)));
    if (!policies || sk_POLICYINFO_num(policies.get()) <= 0) continue;
    const POLICYINFO* first = sk_POLICYINFO_value(policies.get(), 0);
    if (first != nullptr && oidtext(first->policyid) == kResponderPolicy) return true;
  }
  return false;
}

int notcurrent(std::string_view line) { return fail(kOcspNotCurrent, line); }

int checkcurrency(OCSP_SINGLERESP* single, int64_t at) {
  ASN1_GENERALIZEDTIME* thisupdate = nullptr;
  ASN1_GENERALIZEDTIME* nextupdate = nullptr;
  int64_t thistime = 0;
  OCSP_single_get0_status(single, nullptr, nullptr, &thisupdate, &nextupdate);
  if (!asn1timetotime(thisupdate, thistime))
    return notcurrent("getcertstatus_verifyocspresponse: The times in the ocsp response cannot be read.\n");
  if (thistime > at + kOcspLeewaySeconds)
    return notcurrent(
        "getcertstatus_verifyocspresponse: The thisUpdate time of the ocsp response lies in the future.\n");
  if (nextupdate != nullptr) {
    int64_t nexttime = 0;
    if (!asn1timetotime(nextupdate, nexttime) || nexttime < thistime)
      return notcurrent("getcertstatus_verifyocspresponse: The times in the ocsp response cannot be read.\n");
    if (nexttime < at - kOcspLeewaySeconds)
      return notcurrent("getcertstatus_verifyocspresponse: The ocsp response has passed its nextUpdate time.\n");
  } else if (thistime < at - kOcspMaxAgeSeconds) {
    return notcurrent(
        "getcertstatus_verifyocspresponse: The ocsp response without nextUpdate is older than one "
        "hour.\n");
  }
  return kOk;
}

}  // namespace

int verifyocspresponse(const Session& s, OCSP_REQUEST* request, OCSP_BASICRESP* basic, const OcspSubject& subject,
                       int useresponsecerts, OcspTime timemode, OCSP_SINGLERESP** single) {
  const int session = s.number;
  if (single != nullptr) *single = nullptr;
  if (basic == nullptr || (subject.cert == nullptr && subject.serial == nullptr) ||
      (timemode != OcspTime::live && timemode != OcspTime::stored))
    return kBadArgument;

  if (request != nullptr && OCSP_check_nonce(request, basic) == 0)
    return fail(kOcspNonce,
                "getcertstatus_verifyocspresponse: The nonce value in the ocsp request does not match the nonce "
                "value in the ocsp response. This indicates a replay attack\n");

  // The responder is the certificate the responder ID names, so that the
  // certificate checked below is the one whose key signed the response.
  X509* responder = nullptr;
  if (OCSP_resp_get0_signer(basic, &responder, nullptr) != 1 || responder == nullptr)
    return fail(kOcspNoSigner,
                "getcertstatus_verifyocspresponse: Did not find a signing certificate in the ocsp response.\n");

  OCSP_SINGLERESP* matched = findsingle(basic, subject);
  if (matched == nullptr)
    return fail(kOcspSerial,
                "getcertstatus_verifyocspresponse: The serial number in the ocsp request does not match the "
                "serial number responded with from the va.\n");

  const int usages[] = {kUsageAuthentication, kUsageSigning};
  if (checkusageextensions(session, responder, usages, 2) != 0)
    return fail(kUsageMismatch,
                "getcertstatus_verifyocspresponse: The usageextensions does not match expected values for VA "
                "signing certificate.\n");
  if (!hasresponderpolicy(responder))
    return fail(kPolicyNotGranted,
                "getcertstatus_verifyocspresponse: The signing certificate retrieved from the server does not "
                "contain the VA OCSP responder certificate policy oid\n");

  X509_STORE* store = nullptr;
  int rc = gettruststore(s, &store);
  if (rc != kOk)
    return fail(rc,
                "getcertstatus_verifyocspresponse: An error occured finding the truststore parameter in Zelmor "
                "configuration file.\n");

  // Signature only, with the responder alone as the candidate signer; the
  // chain is verified below against the session's store.
  BorrowedX509StackPtr signer(sk_X509_new_null());
  if (!signer || sk_X509_push(signer.get(), responder) <= 0) return kOutOfMemory;
  if (OCSP_basic_verify(basic, signer.get(), store, OCSP_NOINTERN | OCSP_NOCHAIN | OCSP_NOVERIFY | OCSP_NOCHECKS) < 1)
    return fail(kOcspVerify,
                "getcertstatus_verifyocspresponse: An error occured verifying the ocsp response using "
                "OCSP_basic_verify.\n");

  int64_t at = static_cast<int64_t>(std::time(nullptr));
  if (timemode == OcspTime::stored && !asn1timetotime(OCSP_resp_get0_produced_at(basic), at))
    return notcurrent("getcertstatus_verifyocspresponse: The times in the ocsp response cannot be read.\n");

  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx) return kOcspStoreCtx;
  STACK_OF(X509)* untrusted =
      useresponsecerts != 0 ? const_cast<STACK_OF(X509)*>(OCSP_resp_get0_certs(basic)) : nullptr;
  if (X509_STORE_CTX_init(ctx.get(), store, responder, untrusted) != 1)
    return fail(kOcspStoreInit,
                "pkcs7tools_verifyocspresponse: An error occured trying to initialize the x509 truststore.\n");
  if (timemode == OcspTime::stored) X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(at));
  if (X509_verify_cert(ctx.get()) < 1)
    return fail(kOcspVaCert,
                "pkcs7tools_verifyocspresponse: The VA certificate in the OCSP response did not verify.\n");

  rc = checkcurrency(matched, at);
  if (rc != kOk) return rc;
  if (single != nullptr) *single = matched;
  return kOk;
}

}  // namespace zmr
