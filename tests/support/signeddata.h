// PKCS#7 SignedData made at test time, with signers and signing times
// chosen by the test.
#pragma once

#include <openssl/pkcs7.h>

#include <optional>
#include <string>
#include <vector>

#include "misc/ossl.h"
#include "support/pki.h"

namespace zmrtest {

using Pkcs7Ptr = std::unique_ptr<PKCS7, zmr::OsslDeleter<PKCS7_free>>;

struct SignerSpec {
  const TestCert* cert = nullptr;
  // Raw content of the signingTime attribute, stored without any check (so
  // malformed texts are possible); nullopt: OpenSSL's own (the current
  // time). signingTimeType is V_ASN1_UTCTIME or V_ASN1_GENERALIZEDTIME.
  std::optional<std::string> signingTime = {};
  int signingTimeType = V_ASN1_UTCTIME;
};

struct SignedDataSpec {
  std::string content = "signed content";
  // The encoding sorts the SignerInfos (a SET OF): to know which one comes
  // first, give the signers one issuer and serials of one length in the
  // wanted order.
  std::vector<SignerSpec> signers = {};
  bool detached = true;
  bool signedAttributes = true;  // false: no signed attributes, so no signingTime either
  bool includeCerts = true;      // the signers' certificates in the PKCS#7
  std::vector<const X509*> extraCerts = {};
  const EVP_MD* digest = nullptr;  // SHA-256 when null
};

// Throws std::runtime_error when OpenSSL fails.
Pkcs7Ptr makeSignedData(const SignedDataSpec& spec);
std::string pkcs7Der(const PKCS7* p7);
std::string pkcs7Base64(const PKCS7* p7);  // one line

}  // namespace zmrtest
