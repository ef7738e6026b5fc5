// Arbitrary bytes as a base64 PKCS#7 to the PKCS#7 readers and checks, and
// as DER to the element scan and the SignerInfo check: nothing may crash,
// read out of bounds or leak, and a readable PKCS#7's signers are checked.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "store/setup.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/pkcs7tools.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::initstructures();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = zmr::base64_encode(data, size);
  zmr::SignerHash algorithm = zmr::SignerHash::sha1;
  std::string policy;
  zmr::check_signed_attribute(0, text, zmr::NID_pkcs9_randomNonce);
  zmr::getpkcs7signerhashalgorithm(0, text, algorithm);
  zmr::pkcs7_has_signingtime(0, text);
  zmr::getpkcs7policyoid(0, text, policy);
  for (unsigned char tag : {0x04, 0x06}) {
    const unsigned char* found = zmr::findObject(tag, data, size);
    if (found != nullptr && (found < data || found >= data + size || *found != tag)) std::abort();
  }

  zmr::Pkcs7Ptr p7;
  if (zmr::parsepkcs7(data, size, p7)) {
    X509* signer = nullptr;
    X509* issuer = nullptr;
    if (zmr::getpkcs7signercert(0, p7.get(), signer) == 0) zmr::getpkcs7issuercert(0, p7.get(), issuer);
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    static const unsigned char content[] = "fuzzed content";
    static const unsigned char digest[32] = {0};
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos) && i < 4; ++i) {
      PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, i);
      X509* cert = si != nullptr ? PKCS7_cert_from_signer_info(p7.get(), si) : nullptr;
      if (cert == nullptr) continue;
      zmr::pkcs7signatureverify(0, p7.get(), si, cert, content, sizeof content - 1, zmr::DataIs::content);
      zmr::pkcs7signatureverify(0, p7.get(), si, cert, digest, sizeof digest, zmr::DataIs::digest);
    }
  }
  std::optional<std::string> error;
  zmr::getlasterror(0, error);  // keeps the thread's error text from growing
  return 0;
}
