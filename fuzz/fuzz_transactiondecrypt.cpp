// Mutated ciphertexts under a known base key, each with a valid tag made by
// the harness, so that every input gets past the MAC check to the AES
// decryption and its padding check. The first byte picks the direction:
// 'c' a client message (unwrapped with the session's authentication key),
// anything else a central server's reply. Whatever decrypts must be the
// unique plain text of that ciphertext: encrypting it again gives the input.
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"

using namespace zmr;

namespace {

// The harness's base key: bytes 1..32 (seeds_transactiondecrypt.sh uses it).
std::vector<unsigned char> basekey() {
  std::vector<unsigned char> k(32);
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<unsigned char>(i + 1);
  return k;
}

struct Fixture {
  int session = -1;
  std::string enckey;  // the base key wrapped under the session's key
  std::string basekeytext;
  Fixture() {
    PendingSession opening;
    if (opening.open() != 0) std::abort();
    EVP_PKEY* key = EVP_RSA_gen(2048);
    opening.state().authkey.reset(key);
    opening.publish();
    session = opening.number();
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    std::vector<unsigned char> k = basekey(), wrapped(256);
    size_t len = wrapped.size();
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &len, k.data(), k.size()) != 1)
      std::abort();
    enckey = base64_encode(wrapped.data(), len);
    basekeytext = base64_encode(k.data(), k.size());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  if (size < 2) return 0;
  const bool client = data[0] == 'c';
  std::span<const unsigned char> cipher(data + 1, size - 1);
  const KeyLabels& labels = client ? kRequestLabels : kResponseLabels;
  std::vector<unsigned char> k = basekey();
  SubKey mackey, enc, iv;
  if (deriveKeyMaterial(k, labels.authentication, mackey) != 0 || deriveKeyMaterial(k, labels.encryption, enc) != 0 ||
      deriveKeyMaterial(k, labels.iv, iv) != 0)
    std::abort();
  std::string encdata = base64_encode(cipher.data(), cipher.size());
  std::array<unsigned char, kTagLength> tag{};
  SecretString plain;
  int rc;
  if (client) {
    std::string macinput = "op" + encdata + f.enckey;
    if (authenticateMessage(mackey.bytes, bytesof(macinput), tag) != 0) std::abort();
    SecretString out;
    rc = decrypttransactiondata(f.session, f.enckey, encdata, base64_encode(tag.data(), tag.size()), "op",
                                std::nullopt, plain, out);
    if (rc == 0 && out.view() != f.basekeytext) std::abort();
  } else {
    if (authenticateMessage(mackey.bytes, cipher, tag) != 0) std::abort();
    rc = decrypttransactionresponse(f.session, f.basekeytext, encdata, base64_encode(tag.data(), tag.size()), plain);
  }
  // A valid tag is never refused; only the padding may be.
  if (rc != 0 && rc != 23003) std::abort();
  if (rc == 0) {
    std::vector<unsigned char> again;
    if (symmetricEncrypt2(f.session, enc.bytes, iv.bytes, bytesof(plain.view()), again) != 0 ||
        !std::equal(again.begin(), again.end(), cipher.begin(), cipher.end()))
      std::abort();
  }
  std::optional<std::string> discard;
  getlasterror(f.session, discard);
  return 0;
}
