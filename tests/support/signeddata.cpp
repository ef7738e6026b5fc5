#include "support/signeddata.h"

#include <openssl/err.h>

#include <stdexcept>

#include "tools/base64.h"

namespace zmrtest {
namespace {

[[noreturn]] void fail(const std::string& what) {
  ERR_clear_error();
  throw std::runtime_error("signed data: " + what);
}

}  // namespace

Pkcs7Ptr makeSignedData(const SignedDataSpec& spec) {
  int flags = PKCS7_BINARY | PKCS7_PARTIAL | PKCS7_NOSMIMECAP;
  if (spec.detached) flags |= PKCS7_DETACHED;
  if (!spec.signedAttributes) flags |= PKCS7_NOATTR;
  if (!spec.includeCerts) flags |= PKCS7_NOCERTS;
  Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!p7) fail("PKCS7_sign");
  const EVP_MD* md = spec.digest != nullptr ? spec.digest : EVP_sha256();
  for (const auto& s : spec.signers) {
    PKCS7_SIGNER_INFO* si = PKCS7_sign_add_signer(p7.get(), s.cert->cert.get(), s.cert->key.get(), md, flags);
    if (si == nullptr) fail("add signer");
    if (s.signingTime && spec.signedAttributes) {
      ASN1_STRING* t = ASN1_STRING_type_new(s.signingTimeType);
      if (t == nullptr || ASN1_STRING_set(t, s.signingTime->data(), static_cast<int>(s.signingTime->size())) != 1 ||
          PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, s.signingTimeType, t) != 1) {
        ASN1_STRING_free(t);
        fail("signing time");
      }
    }
  }
  for (const X509* c : spec.extraCerts)
    if (PKCS7_add_certificate(p7.get(), const_cast<X509*>(c)) != 1) fail("certificate");
  zmr::BioPtr in(BIO_new_mem_buf(spec.content.data(), static_cast<int>(spec.content.size())));
  if (!in || PKCS7_final(p7.get(), in.get(), flags) != 1) fail("PKCS7_final");
  return p7;
}

std::string pkcs7Der(const PKCS7* p7) {
  unsigned char* buf = nullptr;
  int n = i2d_PKCS7(p7, &buf);
  if (n <= 0) fail("encode");
  std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  OPENSSL_free(buf);
  return out;
}

std::string pkcs7Base64(const PKCS7* p7) {
  std::string der = pkcs7Der(p7);
  return zmr::base64_encode(reinterpret_cast<const unsigned char*>(der.data()), der.size());
}

}  // namespace zmrtest
