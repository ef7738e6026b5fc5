#include <openssl/evp.h>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "tools/base64.h"

namespace zmr {

int hashdata(int session, std::string& out, std::string_view algorithm, std::string_view data) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  const EVP_MD* md = nullptr;
  if (algorithm == "sha1") {
    md = EVP_sha1();
  } else if (algorithm == "md5") {
    md = EVP_md5();
  } else if (algorithm.substr(0, 4) == "sha2") {
    md = EVP_sha256();
  } else if (algorithm.substr(0, 4) == "sha5") {
    md = EVP_sha512();
  } else {
    setlasterror(session, "hashdata_hashdata: The requested hashingalgorithm is not supported.\n");
    return kHashAlgorithm;
  }
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
    setlasterror(session, "hashdata_hashdata: An error occured during EVP_DigestInit.\n");
    return kHashInit;
  }
  std::vector<unsigned char> bytes;
  if (int rc = decodebase64(session, data, bytes); rc != kOk) {
    setlasterror(session, "hashdata_hashdata: An error occured trying to base64 decode the base64 encoded data input.\n");
    return rc;
  }
  if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) {
    setlasterror(session, "hashdata_hashdata: An error occured during EVP_DigestUpdate.\n");
    return kHashUpdate;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    setlasterror(session, "hashdata_hashdata: An error occured during EVP_DigestFinal.\n");
    return kHashFinal;
  }
  if (int rc = encodebase64(session, digest, length, out); rc != kOk) {
    setlasterror(session, "hashdata_hashdata: Could not base64 encode the digested data.\n");
    return rc;
  }
  return 0;
}

}  // namespace zmr
