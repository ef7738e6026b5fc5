#include "keyfiles.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace zmrtest {
namespace {

[[noreturn]] void fail(const std::string& what) {
  unsigned long e = ERR_get_error();
  char text[256] = "";
  if (e != 0) ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  throw std::runtime_error("keyfiles: " + what + ": " + text);
}

// The makers' own library context, with the legacy provider for RC2-40.
OSSL_LIB_CTX* makerContext() {
  static OSSL_LIB_CTX* ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c == nullptr || OSSL_PROVIDER_load(c, "default") == nullptr ||
        OSSL_PROVIDER_load(c, "legacy") == nullptr)
      fail("private library context");
    return c;
  }();
  return ctx;
}

std::string digest(const EVP_MD* md, const std::string& in) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(in.data(), in.size(), out, &n, md, nullptr) != 1) fail("digest");
  return std::string(reinterpret_cast<char*>(out), n);
}

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

struct Pbe {
  int safe;
  int key;
  const EVP_MD* mac;
};

Pbe pbeFor(Encryption e) {
  if (e == Encryption::Legacy) return {NID_pbe_WithSHA1And40BitRC2_CBC, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, EVP_sha1()};
  return {NID_aes_256_cbc, NID_aes_256_cbc, EVP_sha256()};
}

PKCS8_PRIV_KEY_INFO* brokenKeyInfo() {
  PKCS8_PRIV_KEY_INFO* p8 = PKCS8_PRIV_KEY_INFO_new();
  unsigned char* bytes = static_cast<unsigned char*>(OPENSSL_malloc(4));
  if (p8 == nullptr || bytes == nullptr) fail("broken key");
  std::memcpy(bytes, "\x30\x02\x05\x00", 4);  // a SEQUENCE that is no RSA key
  if (PKCS8_pkey_set0(p8, OBJ_nid2obj(NID_rsaEncryption), 0, V_ASN1_NULL, nullptr, bytes, 4) != 1)
    fail("broken key");
  return p8;
}

PKCS12_SAFEBAG* makeBag(const Bag& b, const KeyFileSpec& spec) {
  PKCS12_SAFEBAG* bag = nullptr;
  switch (b.kind) {
    case BagKind::Cert:
      bag = PKCS12_SAFEBAG_create_cert(b.cert);
      break;
    case BagKind::OtherCert:
      bag = PKCS12_item_pack_safebag(b.cert, ASN1_ITEM_rptr(X509), NID_sdsiCertificate, NID_certBag);
      break;
    case BagKind::Key: {
      PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(b.key);
      if (p8 == nullptr) fail("key info");
      bag = PKCS12_SAFEBAG_create0_p8inf(p8);
      break;
    }
    case BagKind::ShroudedKey: {
      PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(b.key);
      if (p8 == nullptr) fail("key info");
      const std::string& pass = b.password ? *b.password : spec.password;
      bag = PKCS12_SAFEBAG_create_pkcs8_encrypt_ex(pbeFor(spec.encryption).key, pass.data(),
                                                  static_cast<int>(pass.size()), nullptr, 0, spec.iterations,
                                                  p8, makerContext(), nullptr);
      PKCS8_PRIV_KEY_INFO_free(p8);
      break;
    }
    case BagKind::BrokenKey:
      bag = PKCS12_SAFEBAG_create0_p8inf(brokenKeyInfo());
      break;
    case BagKind::Secret:
      bag = PKCS12_SAFEBAG_create_secret(NID_pkcs7_data, V_ASN1_OCTET_STRING,
                                         reinterpret_cast<const unsigned char*>("secret"), 6);
      break;
  }
  if (bag == nullptr) fail("bag");
  if (b.localKeyId &&
      PKCS12_add_localkeyid(bag, reinterpret_cast<unsigned char*>(const_cast<char*>(b.localKeyId->data())),
                            static_cast<int>(b.localKeyId->size())) != 1)
    fail("localKeyID");
  if (b.friendlyName && PKCS12_add_friendlyname_utf8(bag, b.friendlyName->c_str(), -1) != 1) fail("friendlyName");
  return bag;
}

PKCS7* makeSafe(const Safe& s, const KeyFileSpec& spec) {
  STACK_OF(PKCS12_SAFEBAG)* bags = sk_PKCS12_SAFEBAG_new_null();
  if (bags == nullptr) fail("bag stack");
  for (const Bag& b : s.bags) sk_PKCS12_SAFEBAG_push(bags, makeBag(b, spec));
  PKCS7* p7;
  if (s.encrypted) {
    const std::string& pass = s.password ? *s.password : spec.password;
    p7 = PKCS12_pack_p7encdata_ex(pbeFor(spec.encryption).safe, pass.data(), static_cast<int>(pass.size()),
                                  nullptr, 0, spec.iterations, bags, makerContext(), nullptr);
  } else {
    p7 = PKCS12_pack_p7data(bags);
  }
  sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  if (p7 == nullptr) fail("safe");
  return p7;
}

}  // namespace

std::string hardeningSalt() {
  // SHA-1 of "libzmr merchant key file hardening salt".
  static const unsigned char salt[20] = {0x34, 0x1f, 0xd7, 0xf9, 0xcc, 0x80, 0xf1, 0x60, 0x40, 0x3d,
                                         0x05, 0xb5, 0x11, 0x1d, 0x7b, 0x8b, 0x5c, 0xbc, 0xff, 0x3c};
  return std::string(reinterpret_cast<const char*>(salt), sizeof salt);
}

std::string hardenedPassword(const std::string& merchantPassword) {
  const std::string salt = hardeningSalt();
  std::string x = merchantPassword;
  for (int i = 0; i < 1000; ++i) x = digest(EVP_sha1(), digest(EVP_md5(), x + salt) + salt);
  return base64(x) + "\r\n";
}

Bag certBag(const TestCert& c, std::optional<std::string> localKeyId) {
  Bag b;
  b.kind = BagKind::Cert;
  b.cert = c.get();
  b.localKeyId = std::move(localKeyId);
  return b;
}

Bag keyBag(const TestCert& c, std::string localKeyId, bool shrouded) {
  Bag b;
  b.kind = shrouded ? BagKind::ShroudedKey : BagKind::Key;
  b.key = c.key.get();
  b.localKeyId = std::move(localKeyId);
  return b;
}

Safe safeOf(std::vector<Bag> bags, bool encrypted) {
  Safe s;
  s.bags = std::move(bags);
  s.encrypted = encrypted;
  return s;
}

KeyFileSpec merchantKeyFile(const TestPki& pki, const std::string& merchantPassword, Encryption encryption) {
  KeyFileSpec spec;
  spec.password = hardenedPassword(merchantPassword);
  spec.encryption = encryption;
  spec.safes = {
      safeOf({certBag(pki.merchantAuth, "auth")}, true),
      safeOf({certBag(pki.merchantSign, "sign")}, true),
      safeOf({keyBag(pki.merchantAuth, "auth")}),
      safeOf({keyBag(pki.merchantSign, "sign")}),
      safeOf({certBag(pki.root)}, true),
      safeOf({certBag(pki.ca)}, true),
  };
  return spec;
}

KeyFileSpec hsmKeyFile(const TestPki& pki, const std::string& merchantPassword, const std::string& authLabel,
                       const std::string& signLabel) {
  KeyFileSpec spec = merchantKeyFile(pki, merchantPassword);
  spec.safes = {
      safeOf({certBag(pki.merchantAuth, authLabel)}, true),
      safeOf({certBag(pki.merchantSign, signLabel)}, true),
      safeOf({certBag(pki.root)}, true),
      safeOf({certBag(pki.ca)}, true),
  };
  return spec;
}

std::string makeKeyFile(const KeyFileSpec& spec) {
  STACK_OF(PKCS7)* safes = sk_PKCS7_new_null();
  if (safes == nullptr) fail("safe stack");
  for (const Safe& s : spec.safes) sk_PKCS7_push(safes, makeSafe(s, spec));
  PKCS12* p12 = PKCS12_add_safes_ex(safes, NID_pkcs7_data, makerContext(), nullptr);
  sk_PKCS7_pop_free(safes, PKCS7_free);
  if (p12 == nullptr) fail("PKCS#12");
  if (spec.mac) {
    const std::string& pass = spec.macPassword ? *spec.macPassword : spec.password;
    if (PKCS12_set_mac(p12, pass.data(), static_cast<int>(pass.size()), nullptr, 0, spec.iterations,
                       pbeFor(spec.encryption).mac) != 1) {
      PKCS12_free(p12);
      fail("MAC");
    }
  }
  unsigned char* der = nullptr;
  int n = i2d_PKCS12(p12, &der);
  PKCS12_free(p12);
  if (n <= 0) fail("DER");
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

bool writeKeyFile(const std::string& path, const KeyFileSpec& spec) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << makeKeyFile(spec);
  return static_cast<bool>(f);
}

std::string propertiesText(const Properties& entries, const std::string& lineEnd) {
  std::string text;
  for (const auto& [key, value] : entries) text += key + "=" + value + lineEnd;
  return text;
}

bool writePropertiesFile(const std::string& path, const Properties& entries, const std::string& lineEnd) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << propertiesText(entries, lineEnd);
  return static_cast<bool>(f);
}

Properties standardProperties(const std::string& truststoreDir) {
  return {{"webaddress", "merchant.example,127.0.0.1"}, {"truststore", truststoreDir}, {"grantedpolicies", "ALL"}};
}

}  // namespace zmrtest
