#include <openssl/objects.h>

#include "misc/status.h"
#include "tools/pkcs7internal.h"

namespace zmr {

int signerdigestnid(PKCS7_SIGNER_INFO* si) {
  X509_ALGOR* digest = nullptr;
  PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &digest, nullptr);
  const ASN1_OBJECT* obj = nullptr;
  if (digest != nullptr) X509_ALGOR_get0(&obj, nullptr, nullptr, digest);
  return obj != nullptr ? OBJ_obj2nid(obj) : NID_undef;
}

int pkcs7digest(const EVP_MD* md, const unsigned char* data, size_t length, unsigned char* out,
                unsigned int& outlength) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) return kOutOfMemory;
  if (md == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return kDigestInit;
  if (length != 0 && EVP_DigestUpdate(ctx.get(), data, length) != 1) return kDigestUpdate;
  if (EVP_DigestFinal_ex(ctx.get(), out, &outlength) != 1) return kDigestFinal;
  return kOk;
}

}  // namespace zmr
