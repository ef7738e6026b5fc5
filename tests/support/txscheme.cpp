#include "txscheme.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <stdexcept>

#include "misc/ossl.h"

namespace zmrtest::tx {
namespace {

const unsigned char* u(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string hmacWith(const EVP_MD* md, const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  static const unsigned char empty = 0;
  if (HMAC(md, key.empty() ? &empty : u(key), static_cast<int>(key.size()), data.empty() ? &empty : u(data),
           data.size(), out, &len) == nullptr)
    throw std::runtime_error("HMAC failed");
  return std::string(reinterpret_cast<char*>(out), len);
}

SubKeys derive(const std::string& basekey, const char* enc, const char* iv, const char* mac) {
  SubKeys k;
  k.enc = hmacSha256(basekey, enc);
  k.iv = hmacSha256(basekey, iv).substr(0, 16);
  k.mac = hmacSha256(basekey, mac);
  return k;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string randomBytes(size_t n) {
  std::string out(n, '\0');
  if (n != 0 && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
    throw std::runtime_error("RAND_bytes failed");
  return out;
}

std::string b64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), u(bytes), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool unb64(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text.empty() || text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    bool pad = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
    if (!alpha && !pad) return false;
  }
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), u(text), static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t padding = text.size() - text.find_last_not_of('=') - 1;
  out.resize(static_cast<size_t>(n) - padding);
  bytes = out;
  return true;
}

std::string hmacSha256(const std::string& key, const std::string& data) { return hmacWith(EVP_sha256(), key, data); }
std::string hmacSha1(const std::string& key, const std::string& data) { return hmacWith(EVP_sha1(), key, data); }

std::string aesEncrypt(const std::string& key, const std::string& iv, const std::string& plain) {
  zmr::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  std::string out(plain.size() + 16, '\0');
  int a = 0, b = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (key.size() != 32 || iv.size() < 16 || !ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, u(key), u(iv)) != 1 ||
      EVP_EncryptUpdate(ctx.get(), o, &a, u(plain), static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), o + a, &b) != 1)
    throw std::runtime_error("AES encryption failed");
  out.resize(static_cast<size_t>(a + b));
  return out;
}

bool aesDecrypt(const std::string& key, const std::string& iv, const std::string& cipher, std::string& plain) {
  zmr::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  std::string out(cipher.size() + 16, '\0');
  int a = 0, b = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (key.size() != 32 || iv.size() < 16 || !ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, u(key), u(iv)) != 1 ||
      EVP_DecryptUpdate(ctx.get(), o, &a, u(cipher), static_cast<int>(cipher.size())) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), o + a, &b) != 1)
    return false;
  out.resize(static_cast<size_t>(a + b));
  plain = out;
  return true;
}

std::string rsaWrap(EVP_PKEY* publicKey, const std::string& basekey) {
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(publicKey, nullptr));
  size_t len = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &len, u(basekey), basekey.size()) != 1)
    throw std::runtime_error("RSA wrap failed");
  std::string out(len, '\0');
  if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, u(basekey), basekey.size()) != 1)
    throw std::runtime_error("RSA wrap failed");
  out.resize(len);
  return out;
}

bool rsaUnwrap(EVP_PKEY* privateKey, const std::string& wrapped, std::string& basekey) {
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(privateKey, nullptr));
  size_t len = 0;
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &len, u(wrapped), wrapped.size()) != 1)
    return false;
  std::string out(len, '\0');
  if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, u(wrapped), wrapped.size()) != 1)
    return false;
  out.resize(len);
  basekey = out;
  return true;
}

std::string modulusHex(EVP_PKEY* key) {
  BIGNUM* n = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1) throw std::runtime_error("no modulus");
  char* hex = BN_bn2hex(n);
  std::string out(hex);
  OPENSSL_free(hex);
  BN_free(n);
  return out;
}

SubKeys requestKeys(const std::string& basekey) {
  return derive(basekey, "requestEncryptionKey", "requestInitVector", "requestAuthenticationKey");
}
SubKeys responseKeys(const std::string& basekey) {
  return derive(basekey, "responseEncryptionKey", "responseInitVector", "responseAuthenticationKey");
}

std::string formEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
        c == '*' || c == '_') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

bool formDecode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%') {
      if (i + 2 >= text.size()) return false;
      int hi = hexval(text[i + 1]), lo = hexval(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return true;
}

std::string renderForm(const Form& form) {
  std::string out;
  for (const auto& [k, v] : form) {
    if (!out.empty()) out += '&';
    out += formEncode(k) + "=" + formEncode(v);
  }
  return out;
}

bool parseForm(const std::string& text, Form& out) {
  out.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    size_t eq = part.find('=');
    std::string k, v;
    if (!formDecode(part.substr(0, eq), k)) return false;
    if (eq != std::string::npos && !formDecode(part.substr(eq + 1), v)) return false;
    out.emplace_back(k, v);
    start = end + 1;
  }
  return true;
}

std::optional<std::string> field(const Form& form, const std::string& key) {
  for (const auto& [k, v] : form) {
    if (k == key) return v;
  }
  return std::nullopt;
}

std::vector<std::string> names(const Form& form) {
  std::vector<std::string> out;
  for (const auto& p : form) out.push_back(p.first);
  return out;
}

Envelope clientRequestWrapped(const std::string& wrapped, const std::string& basekey, const std::string& plain,
                              const std::string& operation, const std::optional<std::string>& extra) {
  SubKeys k = requestKeys(basekey);
  Envelope e;
  e.encKey = b64(wrapped);
  e.encData = b64(aesEncrypt(k.enc, k.iv, plain));
  e.encAuth = b64(hmacSha1(k.mac, operation + e.encData + e.encKey + extra.value_or("")));
  return e;
}

Envelope clientRequest(EVP_PKEY* merchantKey, const std::string& plain, const std::string& operation,
                       const std::optional<std::string>& extra, const std::string& basekey, std::string* usedKey) {
  std::string key = basekey.empty() ? randomBytes(32) : basekey;
  if (usedKey != nullptr) *usedKey = key;
  return clientRequestWrapped(rsaWrap(merchantKey, key), key, plain, operation, extra);
}

bool openResponse(const std::string& basekey, const std::string& encData, const std::string& encAuth,
                  std::string& plain) {
  std::string cipher, tag;
  if (!unb64(encData, cipher) || !unb64(encAuth, tag)) return false;
  SubKeys k = responseKeys(basekey);
  std::string expected = hmacSha1(k.mac, cipher);
  if (tag.size() != expected.size() || CRYPTO_memcmp(tag.data(), expected.data(), tag.size()) != 0) return false;
  return aesDecrypt(k.enc, k.iv, cipher, plain);
}

bool openAnswer(const std::string& basekey, const std::string& answer, std::string& plain) {
  Form f;
  if (!parseForm(answer, f) || f.size() != 2 || f[0].first != "encData" || f[1].first != "encAuth") return false;
  return openResponse(basekey, f[0].second, f[1].second, plain);
}

bool openMerchantRequest(EVP_PKEY* serverKey, const Envelope& request, std::string& basekey, std::string& plain,
                         std::string* why) {
  auto no = [&](const char* reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  std::string wrapped, cipher, tag;
  if (!unb64(request.encKey, wrapped) || !unb64(request.encData, cipher) || !unb64(request.encAuth, tag))
    return no("base64");
  if (!rsaUnwrap(serverKey, wrapped, basekey)) return no("unwrap");
  if (basekey.size() != 32) return no("base key length");
  SubKeys k = requestKeys(basekey);
  std::string expected = hmacSha1(k.mac, cipher + wrapped);
  if (tag.size() != expected.size() || CRYPTO_memcmp(tag.data(), expected.data(), tag.size()) != 0)
    return no("tag");
  if (!aesDecrypt(k.enc, k.iv, cipher, plain)) return no("decryption");
  return true;
}

Envelope merchantRequest(EVP_PKEY* serverKey, const std::string& plain, const std::string& basekey) {
  std::string key = basekey.empty() ? randomBytes(32) : basekey;
  SubKeys k = requestKeys(key);
  std::string wrapped = rsaWrap(serverKey, key);
  std::string cipher = aesEncrypt(k.enc, k.iv, plain);
  return {b64(wrapped), b64(cipher), b64(hmacSha1(k.mac, cipher + wrapped))};
}

Envelope serverResponse(const std::string& basekey, const std::string& plain) {
  SubKeys k = responseKeys(basekey);
  std::string cipher = aesEncrypt(k.enc, k.iv, plain);
  return {"", b64(cipher), b64(hmacSha1(k.mac, cipher))};
}

}  // namespace zmrtest::tx
