// Decrypted verification requests through transaction verification and the
// answer: the input after its first byte is the client's plain form,
// encrypted by the harness under a fixed base key with a valid tag, so that
// every input reaches the dispatcher, the handlers and the report parser.
// The thread holds what an initialisation leaves (key, carrier, traceId,
// serverChallenge, signeddata, two documents with signed data). The
// tokens "@A", "@1" and "@2" in the input become valid signatures by the
// harness's end user over the challenge and the two documents, so that
// inputs get past verification to certificate status, whose validation
// authority is a closed loopback port. The first byte picks the operation
// (bits 0-1: verifyAuth, verifySign, handleError, other), the carrier item
// (bits 2-3: NC_ZMR20, none, mobile, other) and RFC 6960 mode (bit 4).
// A verification answer must open under the initialisation's key, and an
// answer is handed out exactly when the status is 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmr/zmr.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "misc/ossl.h"
#include "net/http_lib.h"
#include "services/items/itemsops.h"
#include "services/transactiondata/transactiondataops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"

using namespace zmr;

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

X509Ptr makecert(const char* cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerkey, const char* usage, int serial,
                 bool user) {
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
  std::vector<std::pair<int, const char*>> extensions = {
      {NID_basic_constraints, issuer == nullptr ? "critical,CA:TRUE" : "critical,CA:FALSE"},
      {NID_key_usage, usage},
  };
  if (user) {
    extensions.emplace_back(NID_info_access, "OCSP;URI:http://127.0.0.1");
    CERTIFICATEPOLICIES* policies = CERTIFICATEPOLICIES_new();
    POLICYINFO* personal = POLICYINFO_new();
    require(policies != nullptr && personal != nullptr);
    personal->policyid = OBJ_txt2obj("2.999.10.1.16.1.12.2.1", 1);
    require(personal->policyid != nullptr && sk_POLICYINFO_push(policies, personal) > 0);
    require(X509_add1_ext_i2d(cert.get(), NID_certificate_policies, policies, 0, X509V3_ADD_DEFAULT) == 1);
    CERTIFICATEPOLICIES_free(policies);
  }
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    require(ext != nullptr && X509_add_ext(cert.get(), ext, -1) == 1);
    X509_EXTENSION_free(ext);
  }
  require(X509_sign(cert.get(), issuerkey != nullptr ? issuerkey : key, EVP_sha256()) > 0);
  return cert;
}

// A loopback port that nothing listens on.
int closedport() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  require(fd >= 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  require(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
  close(fd);
  return ntohs(a.sin_port);
}

std::string formencoded(const std::string& text) {
  std::string out;
  http_urlencode(text, out);
  return out;
}

// A detached binary signature by the end user over content, carrying the
// root (its issuer), form-encoded.
std::string usersignature(X509* user, EVP_PKEY* key, X509* root, const std::string& content) {
  X509StackPtr certs(sk_X509_new_null());
  require(certs && sk_X509_push(certs.get(), root) > 0);
  BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  PKCS7* p7 = PKCS7_sign(user, key, certs.get(), in.get(), PKCS7_DETACHED | PKCS7_BINARY);
  sk_X509_pop(certs.get());
  require(p7 != nullptr);
  unsigned char* der = nullptr;
  int n = i2d_PKCS7(p7, &der);
  PKCS7_free(p7);
  require(n > 0);
  std::string b64 = base64_encode(der, static_cast<size_t>(n));
  OPENSSL_free(der);
  return formencoded(b64);
}

const std::string kChallenge = "\x01\x02\n challenge fuzz.example";
const std::string kDocuments[2] = {"first document", std::string("%PDF-1.4\0\n", 10)};

struct Fixture {
  int session = -1;
  std::string enckey;
  std::string basekeytext;  // the verification request's
  std::string initkeytext;  // the initialisation's
  std::string siga, sig1, sig2;
  SubKey mackey, enc, iv;
  Fixture() {
    require(zmr_initialize() == 0);
    PendingSession opening;
    require(opening.open() == 0);
    Session* s = &opening.state();
    EVP_PKEY* rootkey = EVP_RSA_gen(2048);
    EVP_PKEY* authkey = EVP_RSA_gen(1024);
    EVP_PKEY* signkey = EVP_RSA_gen(1024);
    EVP_PKEY* userkey = EVP_RSA_gen(1024);
    require(rootkey != nullptr && authkey != nullptr && signkey != nullptr && userkey != nullptr);
    X509Ptr root = makecert("Fuzz Root", rootkey, nullptr, nullptr, "critical,keyCertSign,cRLSign", 1, false);
    s->authcert = makecert("Fuzz Merchant", authkey, root.get(), rootkey, "critical,digitalSignature", 2, false);
    s->signcert = makecert("Fuzz Merchant", signkey, root.get(), rootkey, "critical,nonRepudiation", 3, false);
    X509Ptr user = makecert("Fuzz User", userkey, root.get(), rootkey, "critical,digitalSignature,nonRepudiation", 4,
                            true);
    s->authkey.reset(authkey);
    s->signkey.reset(signkey);
    s->truststore.reset(X509_STORE_new());
    require(s->truststore && X509_STORE_add_cert(s->truststore.get(), root.get()) == 1);
    s->cacerts.reset(sk_X509_new_null());
    siga = usersignature(user.get(), userkey, root.get(), kChallenge);
    sig1 = usersignature(user.get(), userkey, root.get(), kDocuments[0]);
    sig2 = usersignature(user.get(), userkey, root.get(), kDocuments[1]);
    require(s->cacerts && sk_X509_push(s->cacerts.get(), root.release()) > 0);
    EVP_PKEY_free(rootkey);
    EVP_PKEY_free(userkey);
    s->environment = 1;
    const std::string port = std::to_string(closedport());
    const std::pair<const char*, const char*> properties[] = {{"webaddress", "fuzz.example"},
                                                              {"grantedpolicies", "ALL"},
                                                              {"vaport", port.c_str()},
                                                              {"vassldisabled", "true"},
                                                              {"vatimeout", "2"}};
    for (const auto& [k, v] : properties) s->properties.emplace_back(k, v);
    opening.publish();
    session = opening.number();

    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(authkey, nullptr));
    std::vector<unsigned char> k(32), wrapped(128);
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<unsigned char>(i + 1);
    size_t len = wrapped.size();
    require(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &len, k.data(), k.size()) == 1);
    enckey = base64_encode(wrapped.data(), len);
    basekeytext = base64_encode(k.data(), k.size());
    std::vector<unsigned char> initkey(32, 0x5a);
    initkeytext = base64_encode(initkey.data(), initkey.size());
    require(deriveKeyMaterial(k, kRequestLabels.authentication, mackey) == 0 &&
            deriveKeyMaterial(k, kRequestLabels.encryption, enc) == 0 &&
            deriveKeyMaterial(k, kRequestLabels.iv, iv) == 0);
  }
};

constexpr const char* kOperations[] = {"verifyAuth", "verifySign", "handleError", "verify"};
constexpr const char* kCarriers[] = {"NC_ZMR20", nullptr, "mobile", "other"};

// What an initialisation leaves on the thread.
void setitems(const Fixture& f, unsigned char selector) {
  removeallinfoitems(f.session);
  require(pushinfoitem(f.session, "key", f.initkeytext) == 0);
  if (const char* carrier = kCarriers[(selector >> 2) & 3]) require(pushinfoitem(f.session, "carrier", carrier) == 0);
  const std::pair<const char*, std::string> items[] = {
      {"traceId", "t"},
      {"serverChallenge", base64_encode(reinterpret_cast<const unsigned char*>(kChallenge.data()), kChallenge.size())},
      {"signeddata", base64_encode(reinterpret_cast<const unsigned char*>(kDocuments[0].data()), kDocuments[0].size())},
      {"nextURL", "https://fuzz.example/next"},
      {"ocspFormat", (selector & 0x10) != 0 ? "OCSP_RFC6960_COMPATIBLE" : "OCSP_ZELMOR_DEFAULT"},
  };
  for (const auto& [k, v] : items) require(pushinfoitem(f.session, k, v) == 0);
  document* head = nullptr;
  require(adddocument(f.session, "ZG9j", "", 0, "one") == 0 && adddocument(f.session, "ZG9j", "", 0, "two") == 0 &&
          getdocuments(f.session, &head) == 0 && head->next);
  head->signeddata = base64_encode(reinterpret_cast<const unsigned char*>(kDocuments[0].data()), kDocuments[0].size());
  head->next->signeddata =
      base64_encode(reinterpret_cast<const unsigned char*>(kDocuments[1].data()), kDocuments[1].size());
}

std::string substituted(const Fixture& f, std::string text) {
  const std::pair<const char*, const std::string*> tokens[] = {{"@A", &f.siga}, {"@1", &f.sig1}, {"@2", &f.sig2}};
  for (const auto& [token, value] : tokens) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value->size()))
      text.replace(at, 2, *value);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  if (size < 1 || size > 8192) return 0;
  const unsigned char selector = data[0];
  const std::string operation = kOperations[selector & 3];
  const std::string plain = substituted(f, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  setitems(f, selector);

  std::vector<unsigned char> cipher;
  require(symmetricEncrypt2(f.session, f.enc.bytes, f.iv.bytes, bytesof(plain), cipher) == 0);
  const std::string encdata = base64_encode(cipher.data(), cipher.size());
  std::array<unsigned char, kTagLength> tag{};
  require(authenticateMessage(f.mackey.bytes, bytesof(operation + encdata + f.enckey), tag) == 0);
  const std::string encauth = base64_encode(tag.data(), tag.size());
  int verified = zmr_verifytransactionrequest(f.session, f.enckey.c_str(), encdata.c_str(), encauth.c_str(),
                                              operation.c_str(), nullptr);
  static const bool trace = std::getenv("FUZZ_TRACE") != nullptr;  // to look at one input
  if (trace) {
    const std::string* text = peeklasterror();
    std::fprintf(stderr, "%s: %d\n%s", operation.c_str(), verified, text != nullptr ? text->c_str() : "");
  }

  char* answer = nullptr;
  int rc = zmr_verifytransactionresponse(f.session, &answer);
  require((rc == 0) == (answer != nullptr));
  if (answer != nullptr) {
    std::optional<std::string> encrypted = http_find_value("encData", answer);
    std::optional<std::string> mac = http_find_value("encAuth", answer);
    SecretString opened;
    require(encrypted && mac &&
            decrypttransactionresponse(f.session, f.initkeytext, *encrypted, *mac, opened) == 0);
    require(zmr_free(answer) == 0);
  }
  char* error = nullptr;
  require(zmr_getrecenterror(f.session, &error) == 0);
  if (error != nullptr) require(zmr_free(error) == 0);
  return 0;
}
