#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "services/common.h"
#include "services/transactiondata.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr const char* kPrefixOne = "decrypttransactiondata::decrypttransactiondata: ";
constexpr const char* kPrefixTwo = "decrypttransactiondata_decrypttransactiondata: ";

int fail(int session, int code, const char* prefix, const char* text) {
  setlasterror(session, std::string(prefix) + text);
  return code;
}

// All ones when x (a byte) is zero, else zero; without a branch.
inline unsigned zeromask(unsigned x) { return 0u - ((~x & (x - 1u)) >> 31); }

// Chooses the key bytes of a raw RSA block em (as long as the modulus)
// when it is a PKCS#1 v1.5 type 2 block holding exactly 32 bytes, else
// keeps the random key in out. The layout is checked in constant time, so
// neither the result nor its timing tells a valid padding from an invalid
// one: a bad block only ever shows as a wrong tag later.
void selectkey(const std::vector<unsigned char>& em, SecretBytes& out) {
  const size_t k = em.size();
  // 00 02, at least eight non-zero padding bytes, 00, the key.
  if (k < 3 + 8 + kBaseKeyLength) return;
  unsigned good = zeromask(em[0]) & zeromask(em[1] ^ 2u) & zeromask(em[k - kBaseKeyLength - 1]);
  for (size_t i = 2; i < k - kBaseKeyLength - 1; ++i) good &= ~zeromask(em[i]);
  const unsigned char mask = static_cast<unsigned char>(good);
  for (size_t i = 0; i < kBaseKeyLength; ++i) {
    out.bytes[i] = static_cast<unsigned char>((em[k - kBaseKeyLength + i] & mask) | (out.bytes[i] & ~mask));
  }
}

// Software unwrapping with the merchant's authentication key. The block is
// decrypted without padding and checked by selectkey; only a key that
// cannot be used at all is an error (22005).
int unwrapsoftware(int session, const std::vector<unsigned char>& wrapped, SecretBytes& basekey) {
  EVP_PKEY* authkey = nullptr;
  if (int rc = getauthkey(session, &authkey); rc != kOk)
    return fail(session, rc, kPrefixOne, "An error occured retrieving the auth key for merchant. \n");
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, authkey, nullptr));
  const int size = EVP_PKEY_get_size(authkey);
  if (!ctx || EVP_PKEY_get_base_id(authkey) != EVP_PKEY_RSA || size <= 0 || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1)
    return fail(session, 22005, kPrefixOne,
                "An error occured trying to decrypt the encryption key with merchant private auth key\n");
  SecretBytes em(static_cast<size_t>(size));
  size_t length = em.bytes.size();
  // A block of the wrong length or out of range cannot be decrypted; it
  // goes on with the random key like any other malformed one. OpenSSL would
  // take a shorter block as the same number, so the length is checked here.
  if (wrapped.size() == em.bytes.size() &&
      EVP_PKEY_decrypt(ctx.get(), em.bytes.data(), &length, wrapped.data(), wrapped.size()) == 1 &&
      length == em.bytes.size()) {
    selectkey(em.bytes, basekey);
  }
  ERR_clear_error();
  return kOk;
}

int unwraphsm(int session, const std::vector<unsigned char>& wrapped, SecretBytes& basekey) {
  std::string label;
  if (int rc = gethsm_authkeylabel(session, label); rc != kOk)
    return fail(session, rc, kPrefixTwo, "An error occured getting the HSM auth key label for the merchant\n");
  SecretString plain;
  bool refused = false;
  int rc = hsm_decrypt(session, wrapped.data(), wrapped.size(), plain, &label, 0, &refused);
  if (refused) return kOk;  // the module judged the block: keep the random key
  if (rc != kOk) return fail(session, rc, kPrefixTwo, "An error occured trying to decrypt the encryption key using HSM.\n");
  if (plain.value.size() == kBaseKeyLength) {
    std::copy(plain.value.begin(), plain.value.end(), basekey.bytes.begin());
  }
  return kOk;
}

}  // namespace

int decrypttransactiondata(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                           std::string_view operation, std::optional<std::string_view> extra, std::string& plain,
                           SecretString& basekeytext) {
  plain.clear();
  basekeytext.wipe();
  if (int rc = enterservice(session); rc != 0) return rc;

  std::vector<unsigned char> wrapped;
  if (int rc = decodebase64(session, enckey, wrapped); rc != kOk)
    return fail(session, rc, kPrefixOne,
                "An error occured trying to base64 decode the base64 encoded encrypted key.\n");

  uint64_t hsmsession = 0;
  if (gethsm_sessioncontext(session, &hsmsession) != kOk)
    return fail(session, 22006, kPrefixOne, "An error occured getting the HSM context for merchant.\n");

  // Drawn first: whatever encKey holds, something goes on to the tag check.
  SecretBytes basekey(kBaseKeyLength);
  if (RAND_bytes(basekey.bytes.data(), static_cast<int>(basekey.bytes.size())) != 1)
    return fail(session, 44001, kPrefixTwo, "An error occured trying to generate a random key.\n");
  int rc = hsmsession != 0 ? unwraphsm(session, wrapped, basekey) : unwrapsoftware(session, wrapped, basekey);
  if (rc != kOk) return rc;

  SubKey mackey, key, iv;
  if (deriveKeyMaterial(basekey.bytes, kRequestLabels.authentication, mackey) != kOk)
    return fail(session, kOutOfMemory, kPrefixTwo, "An error occured while deriving the authentication key.\n");
  if (deriveKeyMaterial(basekey.bytes, kRequestLabels.encryption, key) != kOk)
    return fail(session, kOutOfMemory, kPrefixTwo, "An error occured while deriving the encryption key.\n");
  if (deriveKeyMaterial(basekey.bytes, kRequestLabels.iv, iv) != kOk)
    return fail(session, kOutOfMemory, kPrefixTwo, "An error occured while deriving the init vector.\n");

  std::vector<unsigned char> cipher, tag;
  if (rc = decodebase64(session, encdata, cipher); rc != kOk)
    return fail(session, rc, kPrefixTwo, "An error occured while base64 decoding the encrypted message.\n");
  if (rc = decodebase64(session, encauth, tag); rc != kOk)
    return fail(session, rc, kPrefixTwo, "An error occured while base64 decoding the encrypted MAC.\n");

  std::string macinput;
  macinput.reserve(operation.size() + encdata.size() + enckey.size() + (extra ? extra->size() : 0));
  macinput.append(operation).append(encdata).append(enckey);
  if (extra) macinput.append(*extra);
  if (rc = authenticateMessage(mackey.bytes, bytesof(macinput), tag); rc != kOk)
    return fail(session, rc, kPrefixTwo, "Failed to authenticate message.\n");

  if (rc = symmetricDecrypt2(session, key.bytes, iv.bytes, cipher, plain); rc != kOk)
    return fail(session, rc, kPrefixTwo, "Failed to decrypt message.\n");
  if (rc = encodebase64(session, basekey.bytes.data(), basekey.bytes.size(), basekeytext.value); rc != kOk) {
    plain.clear();
    return fail(session, rc, kPrefixTwo, "An error occured while base64 encoding the basekey.\n");
  }
  return kOk;
}

}  // namespace zmr
