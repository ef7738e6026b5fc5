#include "misc/status.h"
#include "services/tripledes/tripledesops.h"

#include <openssl/evp.h>

#include <climits>
#include <vector>

#include "misc/ossl.h"
#include "services/entry.h"
#include "tools/base64.h"

namespace zmr {

int tripledes(int session, std::string_view keytext, std::string_view input, bool encrypt, SecretString& out) {
  out.wipe();
  if (int rc = enterservice(session); rc != kOk) return rc;
  const Where at{encrypt ? "symmetricencrypt::symmetricencrypt: " : "symmetricdecrypt::symmetricdecrypt: ", true};

  SecretBytes key, data, result;
  if (int rc = decodebase64(session, keytext, key.bytes); rc != kOk)
    return fail(rc, at, "An error occured trying to base64 decode the base64 encoded 3des key.");
  // Two DES keys are needed; a shorter key would be read past its end.
  if (key.bytes.size() < 16)
    return fail(kBadArgument, at, "An error occured trying to base64 decode the base64 encoded 3des key.");
  if (int rc = decodebase64(session, input, data.bytes); rc != kOk)
    return fail(rc, at, "An error occured trying to base64 decode the base64 encoded encrypted input.");

  const unsigned char iv[8] = {0};
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_des_ede_cbc(), nullptr, key.bytes.data(), iv, encrypt ? 1 : 0) != 1)
    return encrypt ? fail(kEncryptInit, at, "An error occured trying to initialize the encrypt function.")
                   : fail(kDecryptInit, at, "An error occured trying to initialize the decrypt function.");
  if (data.bytes.size() > static_cast<size_t>(INT_MAX - 16)) return kBadArgument;
  result.bytes.resize(data.bytes.size() + 8);
  int n1 = 0, n2 = 0;
  if (EVP_CipherUpdate(ctx.get(), result.bytes.data(), &n1, data.bytes.data(), static_cast<int>(data.bytes.size())) !=
      1)
    return encrypt ? fail(kEncryptUpdate, at, "An error occured trying to update the encrypt function.")
                   : fail(kDecryptUpdate, at, "An error occured trying to update the decrypt function.");
  if (EVP_CipherFinal_ex(ctx.get(), result.bytes.data() + n1, &n2) != 1)
    return encrypt ? fail(kEncryptFinal, at, "An error occured trying to finish the encrypt function.")
                   : fail(kDecryptFinal, at, "An error occured trying to finish the decrypt function.");
  if (int rc = encodebase64(session, result.bytes.data(), static_cast<size_t>(n1 + n2), out.value); rc != kOk)
    return fail(rc, at, "An error occured trying to base64 encode the decrypted data.");
  return 0;
}

}  // namespace zmr
