#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/verifying/decrypting.h"
#include "store/loaders/keyfile.h"
#include "tools/base64.h"

namespace zmr {
namespace {

// An encrypted RSA key is a few kilobytes; anything this large is not one.
constexpr long kMaxKeyFileSize = 1 << 20;

constexpr Where kAt{"assymetricdecrypt_assymetricdecrypt: ", true};

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

int readkeyfile(const char* path, std::vector<unsigned char>& der) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) return fail(kKeystoreOpen, kAt, "Could not open the RSA private keystore. Check the path!");
  unsigned char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (der.size() + n > static_cast<size_t>(kMaxKeyFileSize)) break;
    der.insert(der.end(), buffer, buffer + n);
  }
  if (n > 0 || std::ferror(file.get()) != 0 || der.empty())
    return fail(kKeystorePkcs8, kAt, "The RSA private key file does not contain a valid PKCS#8 structure.");
  return 0;
}

// The key of the file: the whole file must be one EncryptedPrivateKeyInfo.
// Older tools encrypt with DES or RC2-40, which OpenSSL 3 keeps in its
// legacy provider: the decryption runs in the library's private context
// that has it, the key is then made in the host's default context.
int loadkey(const char* path, std::string_view password, EvpPkeyPtr& key) {
  std::vector<unsigned char> der;
  if (int rc = readkeyfile(path, der); rc != kOk) return rc;
  const unsigned char* p = der.data();
  X509SigPtr encrypted(d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size())));
  if (!encrypted || p != der.data() + der.size()) {
    ERR_clear_error();
    return fail(kKeystorePkcs8, kAt, "The RSA private key file does not contain a valid PKCS#8 structure.");
  }
  if (password.size() > INT_MAX) return kBadArgument;
  Pkcs12Context context;
  if (int rc = pkcs12context(context); rc != kOk) return rc;
  Pkcs8InfoPtr info(
      PKCS8_decrypt_ex(encrypted.get(), password.data(), static_cast<int>(password.size()), context.ctx, nullptr));
  if (!info) {
    ERR_clear_error();
    return fail(kKeystorePassword, kAt, "Unable to decrypt the PKCS#8 structure. Possibly wrong password supplied");
  }
  EvpPkeyPtr made(EVP_PKCS82PKEY(info.get()));
  if (!made || EVP_PKEY_is_a(made.get(), "RSA") != 1) {
    ERR_clear_error();
    return fail(kKeystoreKey, kAt, "Unable to create a private key from the decrypted PKCS#8.");
  }
  // A failed allocation while OpenSSL makes the key can leave it with its
  // numbers but without its sizes; such a key is never stored, so that the
  // next call loads it again.
  if (EVP_PKEY_get_size(made.get()) <= 0 || EVP_PKEY_get_bits(made.get()) <= 0) {
    ERR_clear_error();
    return kOutOfMemory;
  }
  key = std::move(made);
  return 0;
}

// The session's verifier key, loaded (and in an HSM session imported) by
// the first call. Later calls read the published key without any lock; the
// first calls of one session wait for each other on the session's own
// mutex, never on another session's.
int verifierkey(Session& s, const char* path, std::string_view password, bool hsm, EVP_PKEY*& out) {
  int rc = getverifierkey(s, &out);
  if (rc == kOk) return 0;
  if (rc != kNoVerifierKey) return fail(rc, kAt, "An error occured trying retrieve the central verifier private key.");
  std::lock_guard<std::mutex> loading(s.verifierkeyloading);
  rc = getverifierkey(s, &out);  // loaded while this call waited
  if (rc != kNoVerifierKey) return rc;

  EvpPkeyPtr key;
  if (rc = loadkey(path, password, key); rc != kOk) return rc;
  // Published only once the module holds it: after a failed import the
  // next call loads and imports again.
  if (hsm) {
    if (rc = hsm_createp11privkeyhandle(s, key.get(), kVerifierKeyLabel); rc != kOk)
      return fail(rc, kAt, "Unable to set the central verifier key as a PKCS#11 handle.");
  }
  EVP_PKEY* loaded = key.get();
  if (rc = setverifierkey(s, std::move(key)); rc != kOk)
    return fail(rc, kAt, "Unable to set the central verifier key in session store.");
  out = loaded;
  return 0;
}

// The length of the key's modulus in bytes, read from the modulus itself
// rather than from a size OpenSSL caches; 0 when it cannot be read.
size_t moduluslength(EVP_PKEY* key) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &raw) != 1) return 0;
  BignumPtr n(raw);
  return static_cast<size_t>(BN_num_bytes(n.get()));
}

// RSA PKCS#1 v1.5. OpenSSL checks the padding in constant time; every
// failure gives the same code and line. The output always has room for a
// whole block: a null output would make EVP_PKEY_decrypt answer only the
// length.
int softwaredecrypt(EVP_PKEY* key, const std::vector<unsigned char>& in, SecretBytes& plain) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx) return kOutOfMemory;
  const size_t size = moduluslength(key);
  if (size == 0) {
    ERR_clear_error();
    return kOutOfMemory;
  }
  plain.bytes.resize(size);
  size_t length = plain.bytes.size();
  bool ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_decrypt(ctx.get(), plain.bytes.data(), &length, in.data(), in.size()) == 1 && length > 0 &&
            length <= size;
  ERR_clear_error();
  if (!ok) return fail(kRsaDecrypt, kAt, "An error occured trying to decrypt data with private key");
  plain.bytes.resize(length);
  return 0;
}

}  // namespace

int assymetricdecrypt(int session, const char* path, std::string_view password, std::string_view input,
                      SecretString& out) {
  out.wipe();
  // The recent error goes first, even when the session is not open.
  std::optional<std::string> discarded;
  if (int rc = getlasterror(session, discarded); rc != kOk) return rc;
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  uint64_t hsmsession = 0;
  if (gethsm_sessioncontext(*s, &hsmsession) != 0)
    return fail(kDecryptHsmContext, kAt, "An error occured getting the HSM context for merchant");
  bool hsm = hsmsession != 0;

  EVP_PKEY* key = nullptr;
  if (int rc = verifierkey(*s, path, password, hsm, key); rc != kOk) return rc;

  std::vector<unsigned char> ciphertext;
  if (int rc = decodebase64(session, input, ciphertext); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 decode the base64 encoded encrypted input.");

  SecretBytes plain;
  if (hsm) {
    if (int rc = hsm_decrypt(*s, ciphertext.data(), ciphertext.size(), plain, nullptr, HsmRsa::pkcs1); rc != kOk)
      return fail(rc, kAt, "An error occured trying to decrypt the data using HSM.");
  } else if (int rc = softwaredecrypt(key, ciphertext, plain); rc != kOk) {
    return rc;
  }

  if (int rc = encodebase64(session, plain.bytes.data(), plain.bytes.size(), out.value); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the unencrypted data.");
  return 0;
}

}  // namespace zmr
