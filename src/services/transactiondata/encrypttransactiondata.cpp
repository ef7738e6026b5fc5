#include <openssl/core_names.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "misc/status.h"
#include "services/entry.h"
#include "services/transactiondata/transactionalgorithms.h"
#include "services/transactiondata/transactiondataops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr size_t kMaxModulusDigits = 4096 / 4;

bool ishexdigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The RSA public key of a hexadecimal modulus and exponent 65537.
EvpPkeyPtr publickey(std::string_view modulushex) {
  size_t start = modulushex.find_first_not_of('0');
  if (start == std::string_view::npos) return nullptr;  // empty or zero
  std::string digits(modulushex.substr(start));
  if (digits.size() > kMaxModulusDigits) return nullptr;
  for (char c : digits) {
    if (!ishexdigit(c)) return nullptr;
  }
  BIGNUM* raw = nullptr;
  if (BN_hex2bn(&raw, digits.c_str()) != static_cast<int>(digits.size())) {
    BN_free(raw);
    return nullptr;
  }
  BignumPtr n(raw);
  BignumPtr e(BN_new());
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!e || !bld || BN_set_word(e.get(), RSA_F4) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
    return nullptr;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return EvpPkeyPtr(key);
}

constexpr Where kAt{"encrypttransactiondata::encrypttransactiondata: "};

}  // namespace

int protectBaseKey(int session, std::span<const unsigned char> basekey, std::string_view modulushex,
                   std::vector<unsigned char>& wrapped) {
  wrapped.clear();
  EvpPkeyPtr key = publickey(modulushex);
  EvpPkeyCtxPtr ctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
  size_t length = 0;
  if (!ctx || basekey.size() != kBaseKeyLength || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &length, basekey.data(), basekey.size()) != 1) {
    setlasterror(session, "encrypttransactiondata::protectBaseKey: Error encrypting base key.\n");
    return kBasekeyWrap;
  }
  wrapped.resize(length);
  if (EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &length, basekey.data(), basekey.size()) != 1) {
    wrapped.clear();
    setlasterror(session, "encrypttransactiondata::protectBaseKey: Error encrypting base key.\n");
    return kBasekeyWrap;
  }
  wrapped.resize(length);
  return kOk;
}

int encrypttransactiondata(int session, std::string_view plain, std::string_view modulushex, EncryptedRequest& out) {
  out.basekey.wipe();
  out.enckey.clear();
  out.encdata.clear();
  out.encauth.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;

  SecretBytes basekey(kBaseKeyLength);
  if (RAND_bytes(basekey.bytes.data(), static_cast<int>(basekey.bytes.size())) != 1)
    return fail(kBasekeyWrap, kAt, "Failed to generate basekey.\n");

  std::vector<unsigned char> wrapped;
  if (int rc = protectBaseKey(session, basekey.bytes, modulushex, wrapped); rc != kOk)
    return fail(rc, kAt, "Error protecting basekey.\n");

  SubKey enckey, iv, mackey;
  KeyDeriver derive(basekey.bytes);
  if (derive.derive(kRequestLabels.encryption, enckey) != kOk)
    return fail(kOutOfMemory, kAt, "Error creating request encryption key.\n");
  if (derive.derive(kRequestLabels.iv, iv) != kOk)
    return fail(kOutOfMemory, kAt, "Error creating request encryption iv.\n");
  if (derive.derive(kRequestLabels.authentication, mackey) != kOk)
    return fail(kOutOfMemory, kAt, "Error creating authentication key.\n");

  std::vector<unsigned char> cipher;
  if (int rc = symmetricEncrypt2(session, enckey.bytes, iv.bytes, bytesof(plain), cipher); rc != kOk)
    return fail(rc, kAt, "Error encrypting request data.\n");

  // The tag binds the wrapped key to the data.
  std::vector<unsigned char> macinput;
  macinput.reserve(cipher.size() + wrapped.size());
  macinput.insert(macinput.end(), cipher.begin(), cipher.end());
  macinput.insert(macinput.end(), wrapped.begin(), wrapped.end());
  std::array<unsigned char, kTagLength> tag{};
  if (int rc = authenticateMessage(mackey.bytes, macinput, tag); rc != kOk)
    return fail(rc, kAt, "Error from authenticateMessage.\n");

  if (int rc = encodebase64(session, basekey.bytes.data(), basekey.bytes.size(), out.basekey.value); rc != kOk)
    return fail(rc, kAt, "Error base64 encoding base key.\n");
  if (int rc = encodebase64(session, wrapped.data(), wrapped.size(), out.enckey); rc != kOk) {
    out.basekey.wipe();
    return fail(rc, kAt, "Error base64 encoding the encrypted basekey.\n");
  }
  int rc = encodebase64(session, cipher.data(), cipher.size(), out.encdata);
  if (rc == kOk) rc = encodebase64(session, tag.data(), tag.size(), out.encauth);
  if (rc != kOk) {
    out.basekey.wipe();
    out.enckey.clear();
    out.encdata.clear();
    return fail(rc, kAt, "Error base64 encoding the encrypted request.\n");
  }
  return kOk;
}

}  // namespace zmr
