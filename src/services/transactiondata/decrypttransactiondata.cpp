#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <span>

#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/transactiondata/transactionalgorithms.h"
#include "services/transactiondata/transactiondataops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr Where kOne{"decrypttransactiondata::decrypttransactiondata: "};
constexpr Where kTwo{"decrypttransactiondata_decrypttransactiondata: "};

// All ones when x (a byte) is zero, else zero; without a branch.
inline unsigned zeromask(unsigned x) { return 0u - ((~x & (x - 1u)) >> 31); }

// Chooses the key bytes of a raw RSA block em (as long as the modulus)
// when it is a PKCS#1 v1.5 type 2 block holding exactly 32 bytes, else
// keeps the random key in out. The layout is checked in constant time, so
// neither the result nor its timing tells a valid padding from an invalid
// one: a bad block only ever shows as a wrong tag later.
void selectkey(std::span<const unsigned char> em, SecretBytes& out) {
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

// fitsmodulus with the modulus as a BIGNUM of its own.
std::optional<bool> fitsmodulusbignum(EVP_PKEY* key, std::span<const unsigned char> wrapped) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &raw) != 1) return std::nullopt;
  BignumPtr n(raw);
  if (wrapped.size() != static_cast<size_t>(BN_num_bytes(n.get()))) return false;
  BignumPtr c(BN_bin2bn(wrapped.data(), static_cast<int>(wrapped.size()), nullptr));
  if (!c) return std::nullopt;
  return BN_cmp(c.get(), n.get()) < 0;
}

// Whether wrapped can be an RSA block for key at all: a number below the
// modulus, written with exactly its length (OpenSSL and modules would take
// a shorter text as the same number); nothing for a key that is not RSA.
// Public facts only, so acting on them is no oracle: a block that does not
// fit goes on with the random key, and the private key only ever sees
// blocks it must be able to decrypt.
std::optional<bool> fitsmodulus(EVP_PKEY* key, std::span<const unsigned char> wrapped) {
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return std::nullopt;
  // The modulus asked for into room of exactly its size: OpenSSL writes a
  // number out to the whole room it is given, byte by byte, and
  // EVP_PKEY_get_bn_param gives it 2 KB and allocates the result.
  unsigned char native[2048];
  const int size = EVP_PKEY_get_size(key);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_N, native, size > 0 ? static_cast<size_t>(size) : 0),
      OSSL_PARAM_construct_end(),
  };
  ERR_set_mark();
  if (size <= 0 || static_cast<size_t>(size) > sizeof native || EVP_PKEY_get_params(key, params) != 1 ||
      params[0].return_size != static_cast<size_t>(size)) {
    ERR_pop_to_mark();
    return fitsmodulusbignum(key, wrapped);
  }
  ERR_clear_last_mark();
  if (wrapped.size() != static_cast<size_t>(size)) return false;
  // Both numbers the same length, big-endian: bytewise order is numeric.
  if constexpr (std::endian::native == std::endian::little) std::reverse(native, native + size);
  return std::memcmp(wrapped.data(), native, wrapped.size()) < 0;
}

// Software unwrapping with the merchant's authentication key: the raw block
// is checked by selectkey. A block that fits the key and still cannot be
// decrypted is a fault of ours, not of the message (22005).
int unwrapsoftware(const Session& s, std::span<const unsigned char> wrapped, SecretBytes& basekey) {
  EVP_PKEY* authkey = nullptr;
  if (int rc = getauthkey(s, &authkey); rc != kOk)
    return fail(rc, kOne, "An error occured retrieving the auth key for merchant. \n");
  auto unusable = [&] {
    ERR_clear_error();
    return fail(kRsaDecrypt, kOne,
                "An error occured trying to decrypt the encryption key with merchant private auth key\n");
  };
  std::optional<bool> fits = fitsmodulus(authkey, wrapped);
  if (!fits) return unusable();
  if (!*fits) return kOk;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, authkey, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1)
    return unusable();
  SecretBytes em(wrapped.size());
  size_t length = em.bytes.size();
  if (EVP_PKEY_decrypt(ctx.get(), em.bytes.data(), &length, wrapped.data(), wrapped.size()) != 1 ||
      length != em.bytes.size())
    return unusable();
  selectkey(em.bytes, basekey);
  return kOk;
}

// The same in the HSM: the module decrypts the raw block (CKM_RSA_X_509),
// and its padding is judged here exactly as in software. The module never
// judges a padding, so any failure of its is an HSM failure, reported as
// such, whatever code it uses.
int unwraphsm(const Session& s, std::span<const unsigned char> wrapped, SecretBytes& basekey) {
  std::string label;
  if (int rc = gethsm_authkeylabel(s, label); rc != kOk)
    return fail(rc, kTwo, "An error occured getting the HSM auth key label for the merchant\n");
  // The module's key is the one of the authentication certificate.
  X509* cert = nullptr;
  if (int rc = getauthcert(s, &cert); rc != kOk)
    return fail(rc, kOne, "An error occured retrieving the auth key for merchant. \n");
  std::optional<bool> fits = fitsmodulus(X509_get0_pubkey(cert), wrapped);
  if (!fits) {
    ERR_clear_error();
    return fail(kRsaDecrypt, kOne, "An error occured retrieving the auth key for merchant. \n");
  }
  if (!*fits) return kOk;
  SecretBytes em;
  if (int rc = hsm_decrypt(s, wrapped.data(), wrapped.size(), em, &label, HsmRsa::raw); rc != kOk)
    return fail(rc, kTwo, "An error occured trying to decrypt the encryption key using HSM.\n");
  // A module may leave out the leading zero bytes of the number, but a
  // block longer than the modulus is its fault.
  if (em.bytes.size() > wrapped.size())
    return fail(kHsmDecrypt, kTwo, "An error occured trying to decrypt the encryption key using HSM.\n");
  SecretBytes block(wrapped.size());
  std::copy(em.bytes.begin(), em.bytes.end(), block.bytes.end() - static_cast<std::ptrdiff_t>(em.bytes.size()));
  selectkey(block.bytes, basekey);
  return kOk;
}

}  // namespace

int decrypttransactiondata(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                           std::string_view operation, std::optional<std::string_view> extra, SecretString& plain,
                           SecretString& basekeytext) {
  plain.wipe();
  basekeytext.wipe();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return decrypttransactiondata(*s, enckey, encdata, encauth, operation, extra, plain, basekeytext);
}

int decrypttransactiondata(const Session& s, std::string_view enckey, std::string_view encdata,
                           std::string_view encauth, std::string_view operation, std::optional<std::string_view> extra,
                           SecretString& plain, SecretString& basekeytext) {
  const int session = s.number;
  plain.wipe();
  basekeytext.wipe();
  if (int rc = enterservice(s); rc != kOk) return rc;

  std::vector<unsigned char> wrapped;
  if (int rc = decodebase64(session, enckey, wrapped); rc != kOk)
    return fail(rc, kOne, "An error occured trying to base64 decode the base64 encoded encrypted key.\n");

  uint64_t hsmsession = 0;
  if (gethsm_sessioncontext(s, &hsmsession) != kOk)
    return fail(kDecryptHsmContext, kOne, "An error occured getting the HSM context for merchant.\n");

  // Drawn first: whatever encKey holds, something goes on to the tag check.
  SecretBytes basekey(kBaseKeyLength);
  if (RAND_bytes(basekey.bytes.data(), static_cast<int>(basekey.bytes.size())) != 1)
    return fail(kBasekeyWrap, kTwo, "An error occured trying to generate a random key.\n");
  int rc = hsmsession != 0 ? unwraphsm(s, wrapped, basekey) : unwrapsoftware(s, wrapped, basekey);
  if (rc != kOk) return rc;

  SubKey mackey, key, iv;
  KeyDeriver derive(basekey.bytes);
  if (derive.derive(kRequestLabels.authentication, mackey) != kOk)
    return fail(kOutOfMemory, kTwo, "An error occured while deriving the authentication key.\n");
  if (derive.derive(kRequestLabels.encryption, key) != kOk)
    return fail(kOutOfMemory, kTwo, "An error occured while deriving the encryption key.\n");
  if (derive.derive(kRequestLabels.iv, iv) != kOk)
    return fail(kOutOfMemory, kTwo, "An error occured while deriving the init vector.\n");

  std::vector<unsigned char> cipher, tag;
  if (rc = decodebase64(session, encdata, cipher); rc != kOk)
    return fail(rc, kTwo, "An error occured while base64 decoding the encrypted message.\n");
  if (rc = decodebase64(session, encauth, tag); rc != kOk)
    return fail(rc, kTwo, "An error occured while base64 decoding the encrypted MAC.\n");

  std::string macinput;
  macinput.reserve(operation.size() + encdata.size() + enckey.size() + (extra ? extra->size() : 0));
  macinput.append(operation).append(encdata).append(enckey);
  if (extra) macinput.append(*extra);
  if (rc = authenticateMessage(mackey.bytes, bytesof(macinput), tag); rc != kOk)
    return fail(rc, kTwo, "Failed to authenticate message.\n");

  if (rc = symmetricDecrypt2(session, key.bytes, iv.bytes, cipher, plain); rc != kOk)
    return fail(rc, kTwo, "Failed to decrypt message.\n");
  if (rc = encodebase64(session, basekey.bytes.data(), basekey.bytes.size(), basekeytext.value); rc != kOk) {
    plain.wipe();
    return fail(rc, kTwo, "An error occured while base64 encoding the basekey.\n");
  }
  return kOk;
}

}  // namespace zmr
