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

int computemac(const EVP_MAC_CTX* tmpl, std::span<const unsigned char> key, std::span<const unsigned char> message,
               unsigned char* out, size_t outsize) {
  if (tmpl == nullptr) return kOutOfMemory;
  EvpMacCtxPtr ctx(EVP_MAC_CTX_dup(tmpl));
  // A null key would mean "keep the template's key".
  static const unsigned char nokey = 0;
  const unsigned char* k = key.empty() ? &nokey : key.data();
  static const unsigned char nomessage = 0;
  const unsigned char* m = message.empty() ? &nomessage : message.data();
  size_t produced = 0;
  if (!ctx || EVP_MAC_init(ctx.get(), k, key.size(), nullptr) != 1 ||
      EVP_MAC_update(ctx.get(), m, message.size()) != 1 || EVP_MAC_final(ctx.get(), out, &produced, outsize) != 1 ||
      produced != outsize) {
    OPENSSL_cleanse(out, outsize);
    return kOutOfMemory;
  }
  return kOk;
}

int deriveKeyMaterial(std::span<const unsigned char> basekey, std::string_view label, SubKey& out) {
  KeyDeriver deriver(basekey);
  return deriver.derive(label, out);
}

int KeyDeriver::derive(std::string_view label, SubKey& out) {
  if (!keyed_) {
    const TransactionAlgorithms* a = transactionalgorithms();
    EvpMacCtxPtr ctx(a != nullptr ? EVP_MAC_CTX_dup(a->hmacsha256) : nullptr);
    static const unsigned char nokey = 0;
    if (!ctx || EVP_MAC_init(ctx.get(), basekey_.empty() ? &nokey : basekey_.data(), basekey_.size(), nullptr) != 1)
      return kOutOfMemory;
    keyed_ = std::move(ctx);
  } else if (EVP_MAC_init(keyed_.get(), nullptr, 0, nullptr) != 1) {  // again from the keyed state
    return kOutOfMemory;
  }
  static const unsigned char nomessage = 0;
  size_t produced = 0;
  if (EVP_MAC_update(keyed_.get(), label.empty() ? &nomessage : bytesof(label).data(), label.size()) != 1 ||
      EVP_MAC_final(keyed_.get(), out.bytes.data(), &produced, out.bytes.size()) != 1 || produced != out.bytes.size()) {
    OPENSSL_cleanse(out.bytes.data(), out.bytes.size());
    return kOutOfMemory;
  }
  return kOk;
}

}  // namespace zmr
