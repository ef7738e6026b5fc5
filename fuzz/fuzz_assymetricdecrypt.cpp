// Arbitrary bytes as the base64 ciphertext of central-verifier decryption
// (RSA PKCS#1 v1.5, software key): nothing may crash or leak, a failure
// leaves no answer and a success always gives one. The key file, the
// merchant's own, is made at start-up.
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "misc/ossl.h"
#include "store/setup.h"
#include "services/verifying/decrypting.h"
#include "store/loaders/configuration.h"
#include "store/threadstore.h"
#include "tools/base64.h"

using namespace zmr;

namespace {

int session = -1;
std::string keyfile;

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  require(initstructures() == 0);
  PendingSession opening;  // key file and configuration play no part
  require(opening.open() == 0);
  opening.publish();
  session = opening.number();
  EvpPkeyPtr key(EVP_RSA_gen(1024));
  require(key != nullptr);
  Pkcs8InfoPtr info(EVP_PKEY2PKCS8(key.get()));
  X509SigPtr encrypted(info ? PKCS8_encrypt(-1, EVP_aes_128_cbc(), "pw", 2, nullptr, 0, 1, info.get()) : nullptr);
  require(encrypted != nullptr);
  unsigned char* der = nullptr;
  int n = i2d_X509_SIG(encrypted.get(), &der);
  require(n > 0);
  char path[] = "/tmp/zmr-fuzz-verifier-XXXXXX";
  int fd = mkstemp(path);
  require(fd >= 0);
  require(write(fd, der, static_cast<size_t>(n)) == n && close(fd) == 0);
  OPENSSL_free(der);
  keyfile = path;
  SecretString out;
  // Loads the key; the ciphertext does not matter.
  assymetricdecrypt(session, keyfile.c_str(), "pw", "AAAA", out);
  unlink(path);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = base64_encode(data, size);
  SecretString plain;
  int rc = assymetricdecrypt(session, keyfile.c_str(), "pw", text, plain);
  if (rc != 0 && !plain.value.empty()) std::abort();
  if (rc == 0 && plain.value.empty()) std::abort();
  std::optional<std::string> error;
  getlasterror(0, error);
  return 0;
}
