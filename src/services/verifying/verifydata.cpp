#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <string>
#include <vector>

#include "misc/status.h"
#include "services/entry.h"
#include "services/verifying/verifyingops.h"
#include "store/loaders/configuration.h"
#include "tools/certtools.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

constexpr Where kAt{"verifydata_verifydata: ", true};

// The content a PKCS#7 carries (data type only); null when detached.
const ASN1_OCTET_STRING* carriedcontent(PKCS7* p7) {
  PKCS7* inner = p7->d.sign->contents;
  if (inner == nullptr || !PKCS7_type_is_data(inner)) return nullptr;
  return inner->d.data;
}

// The trust store built at opening. A session opened without configuration
// has none and no truststore property: the property's code tells so.
int truststore(const Session& s, X509_STORE*& store) {
  if (gettruststore(s, &store) == 0) return 0;
  std::string dir;
  int rc = getproperty(s, "truststore", dir);
  return rc != kOk ? rc : kTruststore;
}

int verifychain(X509_STORE_CTX* ctx, X509_STORE* store, X509* cert, STACK_OF(X509) * untrusted, ChainCheck mode) {
  if (X509_STORE_CTX_init(ctx, store, cert, untrusted) != 1)
    return fail(kVerifyStoreInit, kAt, "An error occured trying to initialize the x509 truststore.");
  // Signatures made long ago stay valid after their certificates expire:
  // skip the dates, but check every signature of the chain, the trust
  // anchor's own included. Set on this context only, never on the store
  // the session's other verifications share.
  if (mode == ChainCheck::noDates)
    X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_CHECK_SS_SIGNATURE);
  int verified = X509_verify_cert(ctx);
  int error = X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_cleanup(ctx);
  ERR_clear_error();
  if (verified < 1) {
    std::string reason = "The pkcs7 certificate did not verify. Reason: ";
    reason.append(X509_verify_cert_error_string(error));
    return fail(kVerifyFailed, kAt, reason);
  }
  return 0;
}

}  // namespace

int verifydata(int session, std::string_view pkcs7base64, const unsigned char* data, size_t length, DataIs dataisdigest,
               const int* usages, int usagecount, ChainCheck mode) {
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return verifydata(*s, pkcs7base64, data, length, dataisdigest, usages, usagecount, mode);
}

int verifydata(const Session& s, std::string_view pkcs7base64, const unsigned char* data, size_t length,
               DataIs dataisdigest, const int* usages, int usagecount, ChainCheck mode) {
  return verifydata(s, pkcs7base64, data, length, dataisdigest, usages, usagecount, mode, nullptr);
}

int verifydata(const Session& s, std::string_view pkcs7base64, const unsigned char* data, size_t length,
               DataIs dataisdigest, const int* usages, int usagecount, ChainCheck mode, Pkcs7Ptr* parsed) {
  const int session = s.number;
  if (int rc = enterservice(s); rc != kOk) return rc;
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx) return kVerifyStoreCtx;

  Pkcs7Ptr p7;
  if (int rc =
          decodepkcs7(session, pkcs7base64, p7,
                      "verifydata_verifydata: An error occured trying to base64 decode the pkcs7 input.\n", kP7Parse,
                      "verifydata_verifydata: An error occured trying to parse the der encoded pkcs7 to an pkcs7 "
                      "structure.\n");
      rc != kOk)
    return rc;
  if (!PKCS7_type_is_signed(p7.get())) return fail(kP7NotSigned, kAt, "The type of the pkcs7 is not signed.");
  if (p7->d.sign == nullptr) return fail(kP7NoSignerInfo, kAt, "No signers information in pkcs7.");
  if (data == nullptr) {
    const ASN1_OCTET_STRING* content = carriedcontent(p7.get());
    if (content == nullptr) return fail(kP7NoData, kAt, "No data to verify.");
    data = ASN1_STRING_get0_data(content);
    length = static_cast<size_t>(ASN1_STRING_length(content));
  }

  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  int count = sk_PKCS7_SIGNER_INFO_num(infos);
  if (count <= 0) return fail(kP7NoSignerInfo, kAt, "No signers information in pkcs7.");
  std::vector<X509*> signers;
  signers.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    X509* cert = PKCS7_cert_from_signer_info(p7.get(), sk_PKCS7_SIGNER_INFO_value(infos, i));
    if (cert == nullptr) return fail(kP7NoSigners, kAt, "The pkcs7 does not contain any signers!.");
    signers.push_back(cert);
  }

  X509_STORE* store = nullptr;
  if (int rc = truststore(s, store); rc != kOk)
    return fail(rc, kAt, "An error occured finding the truststore parameter in Zelmor configuration file.");

  for (X509* cert : signers) {
    if (mode == ChainCheck::policy) {
      if (int rc = isvalidpolicy(s, cert, nullptr); rc != kOk)
        return fail(rc, kAt, "The signer certificate in the pkcs7 is not among supported certificate policies.");
    }
    if (int rc = verifychain(ctx.get(), store, cert, p7->d.sign->cert, mode); rc != kOk) return rc;
    if (int rc = checkusageextensions(session, cert, usages, usagecount); rc != kOk)
      return fail(rc, kAt, "The key usages of the signing certificate does not match expected key values.");
  }

  for (int i = 0; i < count; ++i) {
    int rc = pkcs7signatureverify(session, p7.get(), sk_PKCS7_SIGNER_INFO_value(infos, i), signers[i], data, length,
                                  dataisdigest);
    if (rc != kOk) return fail(rc, kAt, "The pkcs7 signature did not verify.");
  }
  if (parsed != nullptr) *parsed = std::move(p7);
  return 0;
}

}  // namespace zmr
