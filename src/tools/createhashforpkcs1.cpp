#include <openssl/objects.h>

#include "misc/status.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int createhashforpkcs1(int, const unsigned char* data, size_t length, std::vector<unsigned char>& out,
                       int64_t keybits) {
  const EVP_MD* md = keybits == 1024 ? EVP_sha1() : EVP_sha256();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestlength = 0;
  switch (pkcs7digest(md, data, length, digest, digestlength)) {
    case kOk:
      break;
    case kDigestInit:
      return fail(kDigestInit, "pkcs7tools_createsha1rsaforpkcs1: An error occured calling EVP_DigestInit\n");
    case kDigestUpdate:
      return fail(kDigestUpdate, "pkcs7tools_createsha1rsaforpkcs1: An error occured calling EVP_DigestUpdate\n");
    case kDigestFinal:
      return fail(kDigestFinal, "pkcs7tools_createsha1rsaforpkcs1: An error occured calling EVP_DigestFinal\n");
    default:
      return kOutOfMemory;
  }

  // DigestInfo ::= SEQUENCE { AlgorithmIdentifier (OID, NULL), OCTET STRING }
  X509SigPtr info(X509_SIG_new());
  if (!info) return kOutOfMemory;
  X509_ALGOR* algorithm = nullptr;
  ASN1_OCTET_STRING* value = nullptr;
  X509_SIG_getm(info.get(), &algorithm, &value);
  if (X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) != 1 ||
      ASN1_OCTET_STRING_set(value, digest, static_cast<int>(digestlength)) != 1)
    return kOutOfMemory;
  int n = i2d_X509_SIG(info.get(), nullptr);
  if (n <= 0) return kOutOfMemory;
  std::vector<unsigned char> der(static_cast<size_t>(n));
  unsigned char* p = der.data();
  if (i2d_X509_SIG(info.get(), &p) != n) return kOutOfMemory;
  out = std::move(der);
  return kOk;
}

}  // namespace zmr
