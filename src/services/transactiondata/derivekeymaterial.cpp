#include <openssl/core_names.h>

#include <atomic>
#include <mutex>

#include "misc/status.h"
#include "services/transactiondata/transactionalgorithms.h"
#include "services/transactiondata/transactiondataops.h"

namespace zmr {
namespace {

EVP_MAC_CTX* mactemplate(EVP_MAC* hmac, const char* digest) {
  EvpMacCtxPtr ctx(EVP_MAC_CTX_new(hmac));
  if (!ctx) return nullptr;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest), 0),
      OSSL_PARAM_construct_end(),
  };
  // Keyed once, so that copies carry the digest already set up; every MAC
  // keys its copy afresh.
  static const unsigned char dummy[1] = {0};
  if (EVP_MAC_init(ctx.get(), dummy, sizeof dummy, params) != 1) return nullptr;
  return ctx.release();
}

TransactionAlgorithms fetchall() {
  TransactionAlgorithms a;
  EVP_CIPHER* aes = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* sha256 = hmac != nullptr ? mactemplate(hmac, "SHA256") : nullptr;
  EVP_MAC_CTX* sha1 = hmac != nullptr ? mactemplate(hmac, "SHA1") : nullptr;
  EVP_MAC_free(hmac);  // the contexts hold their own references
  if (aes == nullptr || sha256 == nullptr || sha1 == nullptr) {
    EVP_CIPHER_free(aes);
    EVP_MAC_CTX_free(sha256);
    EVP_MAC_CTX_free(sha1);
    return a;
  }
  a.aes256cbc = aes;
  a.hmacsha256 = sha256;
  a.hmacsha1 = sha1;
  return a;
}

}  // namespace

const TransactionAlgorithms* transactionalgorithms() {
  // Kept for the life of the process and never freed: a host may unload
  // OpenSSL's state at exit before static destructors run. Published only
  // once all are there: after a failed fetch the next call fetches again.
  static TransactionAlgorithms algorithms;
  static std::atomic<const TransactionAlgorithms*> fetched{nullptr};
  static std::mutex fetching;
  if (const TransactionAlgorithms* a = fetched.load(std::memory_order_acquire)) return a;
  std::lock_guard<std::mutex> lock(fetching);
  if (const TransactionAlgorithms* a = fetched.load(std::memory_order_acquire)) return a;
  TransactionAlgorithms a = fetchall();
  if (a.aes256cbc == nullptr) return nullptr;
  algorithms = a;
  fetched.store(&algorithms, std::memory_order_release);
  return &algorithms;
}

namespace {

// A non-null pointer for every span: a null key would mean "keep the
// template's key", and a null message is refused.
const unsigned char* nonnull(std::span<const unsigned char> bytes) {
  static const unsigned char none = 0;
  return bytes.empty() ? &none : bytes.data();
}

// The MAC of message on a keyed context into out, which must take its full
// size; out wiped on failure. 0 or 33001.
int finishmac(EVP_MAC_CTX* ctx, std::span<const unsigned char> message, unsigned char* out, size_t outsize) {
  size_t produced = 0;
  if (EVP_MAC_update(ctx, nonnull(message), message.size()) != 1 ||
      EVP_MAC_final(ctx, out, &produced, outsize) != 1 || produced != outsize) {
    OPENSSL_cleanse(out, outsize);
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace

int computemac(const EVP_MAC_CTX* tmpl, std::span<const unsigned char> key, std::span<const unsigned char> message,
               unsigned char* out, size_t outsize) {
  EvpMacCtxPtr ctx(tmpl != nullptr ? EVP_MAC_CTX_dup(tmpl) : nullptr);
  if (!ctx || EVP_MAC_init(ctx.get(), nonnull(key), key.size(), nullptr) != 1) {
    OPENSSL_cleanse(out, outsize);
    return kOutOfMemory;
  }
  return finishmac(ctx.get(), message, out, outsize);
}

int deriveKeyMaterial(std::span<const unsigned char> basekey, std::string_view label, SubKey& out) {
  KeyDeriver deriver(basekey);
  return deriver.derive(label, out);
}

int KeyDeriver::derive(std::string_view label, SubKey& out) {
  if (!keyed_) {
    const TransactionAlgorithms* a = transactionalgorithms();
    EvpMacCtxPtr ctx(a != nullptr ? EVP_MAC_CTX_dup(a->hmacsha256) : nullptr);
    if (!ctx || EVP_MAC_init(ctx.get(), nonnull(basekey_), basekey_.size(), nullptr) != 1) return kOutOfMemory;
    keyed_ = std::move(ctx);
  } else if (EVP_MAC_init(keyed_.get(), nullptr, 0, nullptr) != 1) {  // again from the keyed state
    return kOutOfMemory;
  }
  return finishmac(keyed_.get(), bytesof(label), out.bytes.data(), out.bytes.size());
}

}  // namespace zmr
