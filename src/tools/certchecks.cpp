// Certificate checks: key usage, uses, policy, signing time.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"
#include "tools/pkcs7tools.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

// Bit values of keyusagecode 1..9 in OpenSSL's key-usage mask.
constexpr uint32_t kUsageBits[] = {KU_DIGITAL_SIGNATURE, KU_NON_REPUDIATION, KU_KEY_ENCIPHERMENT,
                                   KU_DATA_ENCIPHERMENT, KU_KEY_AGREEMENT,   KU_KEY_CERT_SIGN,
                                   KU_CRL_SIGN,          KU_ENCIPHER_ONLY,   KU_DECIPHER_ONLY};

uint32_t keyusagemask(X509* cert) {
  // Without the extension X509_get_key_usage reports every bit; here an
  // absent extension grants none.
  if ((X509_get_extension_flags(cert) & EXFLAG_KUSAGE) == 0) return 0;
  return X509_get_key_usage(cert);
}

// The session's grantedpolicies property, read from its table: keys are
// compared without regard to case and the first match wins.
int grantedpolicies(const Session& s, std::string& out) {
  for (const auto& [key, value] : s.properties) {
    if (iequals(key, "grantedpolicies")) {
      out = value;
      return kOk;
    }
  }
  return kPropertyAbsent;
}

std::string_view trimblanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool granted(std::string_view list, std::string_view oid) {
  while (true) {
    size_t comma = list.find(',');
    std::string_view entry = trimblanks(list.substr(0, comma));
    if (entry == "ALL" || entry == oid) return true;
    if (comma == std::string_view::npos) return false;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

int checkusageextensions(int session, X509* cert, const int* codes, int count) {
  (void)session;
  if (count < 1) return kOk;
  if (codes == nullptr || cert == nullptr) return kBadArgument;
  uint32_t required = 0;
  for (int i = 0; i < count; ++i)
    if (codes[i] >= 1 && codes[i] <= 9) required |= kUsageBits[codes[i] - 1];
  return (keyusagemask(cert) & required) == required ? kOk : kUsageMismatch;
}

int getkeyusage(int session, X509* cert, std::string& out) {
  bool authentication = checkusageextensions(session, cert, &kUsageAuthentication, 1) == kOk;
  bool signing = checkusageextensions(session, cert, &kUsageSigning, 1) == kOk;
  if (authentication && signing) {
    out = "authentication, signing";
  } else if (authentication) {
    out = "authentication";
  } else if (signing) {
    out = "signing";
  } else {
    return fail(kKeyUsage, "certtools_getkeyusage: The keyusage is the certificate is neither authenticate nor sign\n");
  }
  return kOk;
}

int isvalidpolicy(const Session& s, X509* cert, const char* extraoid) {
  const char* notgranted =
      "certtools_isvalidpolicy: The merchant session is configured to not support usage of the certificate's "
      "policy.\n";
  if (cert == nullptr) return fail(kPolicyNotGranted, notgranted);
  const STACK_OF(X509_EXTENSION)* exts = X509_get0_extensions(cert);
  if (exts == nullptr)
    return fail(kPolicyNotGranted,
                "certtools_isvalidpolicy: Did not find any extensions in the certificates cert_info structure.\n");
  if (sk_X509_EXTENSION_num(exts) <= 0)
    return fail(kPolicyNotGranted,
                "certtools_isvalidpolicy: The certificates cert_info contains no entries for the extensions.\n");
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) != NID_certificate_policies) continue;
    PoliciesPtr policies(static_cast<CERTIFICATEPOLICIES*>(X509V3_EXT_d2i(ext)));
    if (!policies)
      return fail(kPolicyNotGranted, "certtools_isvalidpolicy: The policystack in the certificate is not present!.\n");
    const POLICYINFO* first = sk_POLICYINFO_num(policies.get()) > 0 ? sk_POLICYINFO_value(policies.get(), 0) : nullptr;
    if (first == nullptr || first->policyid == nullptr) continue;  // no policy, nothing to accept
    std::string oid = oidtext(first->policyid);
    std::string list;
    if (int rc = grantedpolicies(s, list); rc != kOk)
      return fail(rc, "certtools_isvalidpolicy: Unable to find the configuration file parameter grantedpolicies.\n");
    if (!oid.empty() && granted(list, oid)) return kOk;
    if (extraoid != nullptr && !oid.empty() && oid == extraoid) return kOk;
  }
  return fail(kPolicyNotGranted, notgranted);
}

int issigningtimeincertvalidity(int session, std::string_view pkcs7base64) {
  Pkcs7Ptr p7;
  return issigningtimeincertvalidity(session, pkcs7base64, p7);
}

int issigningtimeincertvalidity(int session, std::string_view pkcs7base64, Pkcs7Ptr& p7) {
  if (!p7) {
    std::vector<unsigned char> der;
    if (int rc = decodebase64(session, pkcs7base64, der); rc != kOk)
      return fail(rc, "verifydata_verifydata: An error occured trying to base64 decode the pkcs7 input.\n");
    if (!parsepkcs7(der.data(), der.size(), p7))
      return fail(kTimeParse,
                  "certtools_issigningtimeincertvalidity: An error occured trying to parse the der encoded pkcs7 to "
                  "an pkcs7 structure.\n");
  }
  STACK_OF(PKCS7_SIGNER_INFO)* sis = PKCS7_get_signer_info(p7.get());
  if (sis == nullptr || sk_PKCS7_SIGNER_INFO_num(sis) <= 0)
    return fail(kTimeNoSigners, "certtools_issigningtimeincertvalidity: No signers information in pkcs7.\n");
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sis, 0);
  ASN1_TYPE* attr = si != nullptr ? PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime) : nullptr;
  if (attr == nullptr || attr->type != V_ASN1_UTCTIME || attr->value.utctime == nullptr) return kOk;
  int64_t seconds = 0;
  if (!asn1timetotime(attr->value.utctime, seconds))
    return fail(kTimeParse,
                "certtools_issigningtimeincertvalidity: The signingtime in the pkcs7 could not be converted.\n");
  time_t t = static_cast<time_t>(seconds);
  BorrowedX509StackPtr signers(PKCS7_get0_signers(p7.get(), nullptr, 0));
  ERR_clear_error();
  if (!signers || sk_X509_num(signers.get()) <= 0)
    return fail(kTimeNoSignerCert, "certtools_issigningtimeincertvalidity: The pkcs7 does not contain any signers!.\n");
  for (int i = 0; i < sk_X509_num(signers.get()); ++i) {
    X509* cert = sk_X509_value(signers.get(), i);
    // X509_cmp_time gives 0 when it cannot compare; that is no proof of
    // validity, so it fails like a time outside the period.
    if (X509_cmp_time(X509_get0_notBefore(cert), &t) != -1)
      return fail(kSignedBeforeValidity,
                  "certtools_issigningtimeincertvalidity: The signingtime in the pkcs7 is before the notbefore date in "
                  "the certificate.\n");
    if (X509_cmp_time(X509_get0_notAfter(cert), &t) != 1)
      return fail(kSignedAfterValidity,
                  "certtools_issigningtimeincertvalidity: The signingtime in the pkcs7 is after the notafter date in "
                  "the certificate.\n");
  }
  return kOk;
}

}  // namespace zmr
