// Decrypted init requests through transaction initialisation: the input
// after its first byte is the client's plain form, encrypted by the harness
// under a fixed base key with a valid tag, so that every input reaches the
// dispatcher and the builders. The first byte picks the operation (bits
// 0-1: initAuth, initSign, other), the merchant's mime type (bits 2-3:
// text/plain, application/pdf, text/ZMRXML, another), whether the thread
// has documents (bit 4) and the ISO signing profile (bit 5). Every answer
// must open under the request's key, and an answer is handed out exactly
// when the status is 0.
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "misc/ossl.h"
#include "net/http_lib.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/items/itemsops.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"

using namespace zmr;

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

X509Ptr makecert(const char* cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerkey, const char* usage, int serial) {
  X509Ptr cert(X509_new());
  require(cert && X509_set_version(cert.get(), 2) == 1);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  require(X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 86400);
  require(X509_set_pubkey(cert.get(), key) == 1);
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, issuer != nullptr ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::pair<int, const char*> extensions[] = {
      {NID_basic_constraints, issuer == nullptr ? "critical,CA:TRUE" : "critical,CA:FALSE"},
      {NID_key_usage, usage},
  };
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    require(ext != nullptr && X509_add_ext(cert.get(), ext, -1) == 1);
    X509_EXTENSION_free(ext);
  }
  require(X509_sign(cert.get(), issuerkey != nullptr ? issuerkey : key, EVP_sha256()) > 0);
  return cert;
}

// The harness's base key: bytes 1..32.
std::vector<unsigned char> basekey() {
  std::vector<unsigned char> k(32);
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<unsigned char>(i + 1);
  return k;
}

// A merchant session of environment 1 with 1024-bit keys (fast to sign
// with), and the base key wrapped under its authentication key.
struct Fixture {
  int session = -1;
  std::string enckey;
  std::string basekeytext;
  SubKey mackey, enc, iv;
  Fixture() {
    PendingSession opening;
    require(opening.open() == 0);
    Session* s = &opening.state();
    EVP_PKEY* rootkey = EVP_RSA_gen(2048);
    EVP_PKEY* authkey = EVP_RSA_gen(1024);
    EVP_PKEY* signkey = EVP_RSA_gen(1024);
    require(rootkey != nullptr && authkey != nullptr && signkey != nullptr);
    X509Ptr root = makecert("Fuzz Root", rootkey, nullptr, nullptr, "critical,keyCertSign,cRLSign", 1);
    s->authcert = makecert("Fuzz Merchant", authkey, root.get(), rootkey, "critical,digitalSignature", 2);
    s->signcert = makecert("Fuzz Merchant", signkey, root.get(), rootkey, "critical,nonRepudiation", 3);
    s->authkey.reset(authkey);
    s->signkey.reset(signkey);
    s->cacerts.reset(sk_X509_new_null());
    require(s->cacerts && sk_X509_push(s->cacerts.get(), root.release()) > 0);
    EVP_PKEY_free(rootkey);
    s->environment = 1;
    s->properties = {{"webaddress", "fuzz.example"}};
    opening.publish();
    session = opening.number();

    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(authkey, nullptr));
    std::vector<unsigned char> k = basekey(), wrapped(128);
    size_t len = wrapped.size();
    require(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &len, k.data(), k.size()) == 1);
    enckey = base64_encode(wrapped.data(), len);
    basekeytext = base64_encode(k.data(), k.size());
    require(deriveKeyMaterial(k, kRequestLabels.authentication, mackey) == 0 &&
            deriveKeyMaterial(k, kRequestLabels.encryption, enc) == 0 &&
            deriveKeyMaterial(k, kRequestLabels.iv, iv) == 0);
  }
};

constexpr const char* kOperations[] = {"initAuth", "initSign", "initOther", "initOther"};
constexpr const char* kMimeTypes[] = {"text/plain", "application/pdf", "text/ZMRXML", "image/png"};

// What a merchant sets before the call.
void setitems(int session, unsigned char selector) {
  removeallinfoitems(session);
  const std::pair<const char*, const char*> items[] = {
      {"traceId", "t"},
      {"c_amount", "100"},
      {"mimeType", kMimeTypes[(selector >> 2) & 3]},
      {"data", "RnV6eiBNZXJjaGFudCBAIGjDtHRlbA=="},
      {"xml", "<a>b</a>"},
      {"xsl", "<xsl/>"},
      {"dataDescription", "Kj\xF8p"},
      {"extPDFUrl", "https://fuzz.example/a.pdf"},
      {"userID", "u"},
      {"cmsFormat", (selector & 0x20) != 0 ? "PKCS7_ISO320001" : "PKCS7"},
  };
  for (const auto& [k, v] : items) require(pushinfoitem(session, k, v) == 0);
  if ((selector & 0x10) != 0) {
    require(adddocument(session, "dGV4dA==", "", 0, "one \"text\"\n") == 0);
    require(adddocument(session, "<x/>", "<xsl/>", 1, "two") == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  if (size < 1) return 0;
  const unsigned char selector = data[0];
  const std::string operation = kOperations[selector & 3];
  const std::string plain(reinterpret_cast<const char*>(data + 1), size - 1);
  setitems(f.session, selector);

  std::vector<unsigned char> cipher;
  require(symmetricEncrypt2(f.session, f.enc.bytes, f.iv.bytes, bytesof(plain), cipher) == 0);
  const std::string encdata = base64_encode(cipher.data(), cipher.size());
  std::array<unsigned char, kTagLength> tag{};
  require(authenticateMessage(f.mackey.bytes, bytesof(operation + encdata + f.enckey), tag) == 0);

  std::optional<std::string> answer;
  int rc = inittransaction(f.session, f.enckey, encdata, base64_encode(tag.data(), tag.size()), operation,
                           std::nullopt, answer);
  require((rc == 0) == answer.has_value());
  if (answer) {
    std::optional<std::string> encrypted = http_find_value("encData", *answer);
    std::optional<std::string> mac = http_find_value("encAuth", *answer);
    SecretString opened;
    require(encrypted && mac &&
            decrypttransactionresponse(f.session, f.basekeytext, *encrypted, *mac, opened) == 0);
  }
  std::optional<std::string> discard;
  getlasterror(f.session, discard);
  return 0;
}
