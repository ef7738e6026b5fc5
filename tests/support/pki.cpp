#include "pki.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tools/base64.h"

namespace zmrtest {
namespace {

[[noreturn]] void fail(const std::string& what) {
  char buf[256] = "";
  unsigned long e = ERR_get_error();
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  throw std::runtime_error("test PKI: " + what + (e != 0 ? std::string(": ") + buf : std::string()));
}

using BignumPtr = std::unique_ptr<BIGNUM, zmr::OsslDeleter<BN_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, zmr::OsslDeleter<ASN1_OBJECT_free>>;
using OctetPtr = std::unique_ptr<ASN1_OCTET_STRING, zmr::OsslDeleter<ASN1_OCTET_STRING_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, zmr::OsslDeleter<X509_EXTENSION_free>>;

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

// ---- key cache ----

std::string keyCacheDir() {
  std::string dir = std::string(ZMR_TEST_TMPDIR) + "/keycache";
  mkdir(ZMR_TEST_TMPDIR, 0700);
  mkdir(dir.c_str(), 0700);
  return dir;
}

EVP_PKEY* readKeyFile(const std::string& path) {
  zmr::BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    ERR_clear_error();
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  ERR_clear_error();
  return key;
}

void writeKeyFile(const std::string& path, EVP_PKEY* key) {
  std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." +
                    std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
  {
    zmr::BioPtr bio(BIO_new_file(tmp.c_str(), "w"));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
      ERR_clear_error();
      unlink(tmp.c_str());
      return;  // the cache is an optimisation only
    }
  }
  // rename is atomic: a concurrent process reads either no file or a whole one.
  if (rename(tmp.c_str(), path.c_str()) != 0) unlink(tmp.c_str());
}

EVP_PKEY* generate(const std::string& type, int bits) {
  EVP_PKEY* key = nullptr;
  if (type == "rsa") {
    key = EVP_RSA_gen(static_cast<unsigned int>(bits));
  } else if (type == "ec") {
    key = EVP_EC_gen("P-256");
  } else if (type == "ed25519") {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  } else if (type == "dsa") {
    zmr::EvpPkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
    EVP_PKEY* params = nullptr;
    if (!pctx || EVP_PKEY_paramgen_init(pctx.get()) != 1 ||
        EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx.get(), 2048) != 1 || EVP_PKEY_paramgen(pctx.get(), &params) != 1)
      fail("DSA parameters");
    zmr::EvpPkeyPtr p(params);
    zmr::EvpPkeyCtxPtr kctx(EVP_PKEY_CTX_new_from_pkey(nullptr, p.get(), nullptr));
    if (!kctx || EVP_PKEY_keygen_init(kctx.get()) != 1 || EVP_PKEY_keygen(kctx.get(), &key) != 1) fail("DSA key");
  } else {
    throw std::runtime_error("test PKI: unknown key type " + type);
  }
  if (key == nullptr) fail("key generation " + type);
  return key;
}

zmr::EvpPkeyPtr cachedKey(const std::string& type, int bits, int index) {
  static std::mutex mutex;
  static std::map<std::string, zmr::EvpPkeyPtr> cache;
  std::string name = type + "-" + std::to_string(bits) + "-" + std::to_string(index);
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(name);
  if (it == cache.end()) {
    std::string path = keyCacheDir() + "/" + name + ".pem";
    EVP_PKEY* key = readKeyFile(path);
    if (key == nullptr) {
      key = generate(type, bits);
      writeKeyFile(path, key);
    }
    it = cache.emplace(name, zmr::EvpPkeyPtr(key)).first;
  }
  EVP_PKEY_up_ref(it->second.get());
  return zmr::EvpPkeyPtr(it->second.get());
}

// ---- certificate pieces ----

BignumPtr serialNumber(const CertSpec& spec) {
  BIGNUM* bn = nullptr;
  if (!spec.serial.empty()) {
    bool hex = spec.serial.rfind("0x", 0) == 0 || spec.serial.rfind("0X", 0) == 0;
    int n = hex ? BN_hex2bn(&bn, spec.serial.c_str() + 2) : BN_dec2bn(&bn, spec.serial.c_str());
    size_t expected = spec.serial.size() - (hex ? 2 : 0);
    if (n <= 0 || static_cast<size_t>(n) != expected) {
      BN_free(bn);
      throw std::runtime_error("test PKI: bad serial text " + spec.serial);
    }
  } else if (!spec.serialBytes.empty()) {
    bn = BN_bin2bn(spec.serialBytes.data(), static_cast<int>(spec.serialBytes.size()), nullptr);
  } else {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) fail("random serial");
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x10);  // positive, full eight bytes
    bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  }
  if (bn == nullptr) fail("serial");
  return BignumPtr(bn);
}

void setTime(X509* x, bool before, const std::optional<std::string>& text, long offset) {
  ASN1_TIME* t = nullptr;
  if (text) {
    t = ASN1_TIME_new();
    int ok = text->size() == 13 ? ASN1_UTCTIME_set_string(t, text->c_str())
                                : ASN1_GENERALIZEDTIME_set_string(t, text->c_str());
    if (ok != 1) {
      ASN1_TIME_free(t);
      throw std::runtime_error("test PKI: bad time text " + *text);
    }
  } else {
    t = X509_time_adj_ex(nullptr, 0, offset, nullptr);
  }
  if (t == nullptr) fail("time");
  int ok = before ? X509_set1_notBefore(x, t) : X509_set1_notAfter(x, t);
  ASN1_TIME_free(t);
  if (ok != 1) fail("set time");
}

void addName(X509_NAME* name, const std::vector<NameEntry>& entries) {
  for (const auto& e : entries) {
    if (X509_NAME_add_entry_by_txt(name, e.field.c_str(), e.type,
                                   reinterpret_cast<const unsigned char*>(e.value.data()),
                                   static_cast<int>(e.value.size()), -1, 0) != 1)
      fail("name entry " + e.field);
  }
}

void addExtension(X509* x, const RawExtension& ext) {
  Asn1ObjectPtr obj(OBJ_txt2obj(ext.oid.c_str(), 0));
  if (!obj) fail("extension oid " + ext.oid);
  OctetPtr value(ASN1_OCTET_STRING_new());
  if (!value || ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(ext.der.data()),
                                      static_cast<int>(ext.der.size())) != 1)
    fail("extension value");
  ExtensionPtr e(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), ext.critical ? 1 : 0, value.get()));
  if (!e || X509_add_ext(x, e.get(), -1) != 1) fail("add extension " + ext.oid);
}

std::string keyIdentifier(X509_PUBKEY* pub) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const unsigned char* bits = nullptr;
  int bitslen = 0;
  if (X509_PUBKEY_get0_param(nullptr, &bits, &bitslen, nullptr, pub) != 1) fail("public key");
  if (EVP_Digest(bits, static_cast<size_t>(bitslen), md, &len, EVP_sha1(), nullptr) != 1) fail("key id");
  return std::string(reinterpret_cast<char*>(md), len);
}

std::string keyUsageDer(int mask) {
  std::string bytes;
  bytes.push_back(static_cast<char>(mask & 0xff));
  bytes.push_back(static_cast<char>((mask >> 8) & 0xff));
  while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
  int unused = 0;
  if (!bytes.empty()) {
    unsigned char last = static_cast<unsigned char>(bytes.back());
    while ((last & 1) == 0) {
      last >>= 1;
      ++unused;
    }
  }
  return der::tlv(0x03, std::string(1, static_cast<char>(unused)) + bytes);
}

std::string ipBytes(const std::string& text) {
  unsigned char b[4];
  if (inet_pton(AF_INET, text.c_str(), b) != 1) throw std::runtime_error("test PKI: bad IP " + text);
  return std::string(reinterpret_cast<char*>(b), 4);
}

void addExtensions(X509* x, const CertSpec& s, X509* issuer) {
  using namespace der;
  if (s.ca) {
    std::string content = tlv(0x01, std::string(1, '\xff'));
    if (s.pathlen >= 0) content += tlv(0x02, std::string(1, static_cast<char>(s.pathlen)));
    addExtension(x, {"2.5.29.19", seq(content), true});
  }
  if (s.keyUsage) addExtension(x, {"2.5.29.15", keyUsageDer(*s.keyUsage), true});
  if (!s.extKeyUsage.empty()) {
    std::string content;
    for (const auto& o : s.extKeyUsage) content += oid(o);
    addExtension(x, {"2.5.29.37", seq(content), false});
  }
  if (s.keyIdentifiers) {
    addExtension(x, {"2.5.29.14", octets(keyIdentifier(X509_get_X509_PUBKEY(x))), false});
    X509_PUBKEY* ipub = issuer != nullptr ? X509_get_X509_PUBKEY(issuer) : X509_get_X509_PUBKEY(x);
    addExtension(x, {"2.5.29.35", seq(tlv(0x80, keyIdentifier(ipub))), false});
  }
  if (!s.policies.empty()) addExtension(x, policiesExtension(s.policies));
  if (s.ocspUrl || !s.caIssuers.empty()) {
    std::string content;
    for (const auto& u : s.caIssuers) content += seq(oid("1.3.6.1.5.5.7.48.2") + tlv(0x86, u));
    if (s.ocspUrl) content += seq(oid("1.3.6.1.5.5.7.48.1") + tlv(0x86, *s.ocspUrl));
    addExtension(x, {"1.3.6.1.5.5.7.1.1", seq(content), false});
  }
  if (!s.sanIp.empty() || !s.sanDns.empty() || !s.sanEmail.empty()) {
    std::string content;
    for (const auto& e : s.sanEmail) content += tlv(0x81, e);
    for (const auto& d : s.sanDns) content += tlv(0x82, d);
    for (const auto& i : s.sanIp) content += tlv(0x87, ipBytes(i));
    addExtension(x, {"2.5.29.17", seq(content), false});
  }
  if (s.bankName) addExtension(x, bankNameExtension(*s.bankName));
  if (s.originator) addExtension(x, originatorExtension(*s.originator));
  if (s.phoneNumber || s.dateOfBirth) {
    std::vector<DirectoryAttribute> attrs;
    if (s.dateOfBirth) attrs.push_back({kOidDateOfBirth, {generalizedTime(*s.dateOfBirth)}});
    if (s.phoneNumber) attrs.push_back({kOidTelephoneNumber, {printable(*s.phoneNumber)}});
    addExtension(x, subjectDirectoryExtension(attrs));
  }
  for (const auto& e : s.extensions) addExtension(x, e);
}

// OpenSSL drops an extension list once it is empty, so the certificate is
// re-encoded by hand: its TBSCertificate gets "[3] { SEQUENCE {} }" and a
// new signature, and the result is parsed back.
zmr::X509Ptr withEmptyExtensionList(X509* x, EVP_PKEY* signer, const EVP_MD* md) {
  unsigned char* buf = nullptr;
  int n = i2d_re_X509_tbs(x, &buf);
  if (n <= 0) fail("encode TBSCertificate");
  std::string tbs(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  OPENSSL_free(buf);
  size_t header = 2 + ((static_cast<unsigned char>(tbs[1]) & 0x80) ? (static_cast<unsigned char>(tbs[1]) & 0x7f) : 0);
  tbs = der::seq(tbs.substr(header) + der::tlv(0xa3, der::seq("")));
  const X509_ALGOR* alg = nullptr;
  X509_get0_signature(nullptr, &alg, x);
  buf = nullptr;
  n = i2d_X509_ALGOR(alg, &buf);
  if (n <= 0) fail("encode algorithm");
  std::string algorithm(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  OPENSSL_free(buf);
  zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  size_t siglen = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, signer) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &siglen, reinterpret_cast<const unsigned char*>(tbs.data()), tbs.size()) != 1)
    fail("sign TBSCertificate");
  std::string sig(siglen, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &siglen,
                     reinterpret_cast<const unsigned char*>(tbs.data()), tbs.size()) != 1)
    fail("sign TBSCertificate");
  sig.resize(siglen);
  std::string cert = der::seq(tbs + algorithm + der::tlv(0x03, std::string(1, '\0') + sig));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(cert.data());
  zmr::X509Ptr parsed(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
  if (!parsed) fail("parse certificate with an empty extension list");
  return parsed;
}

std::string derOf(const X509* cert) {
  unsigned char* buf = nullptr;
  int n = i2d_X509(cert, &buf);
  if (n <= 0) fail("encode certificate");
  std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  OPENSSL_free(buf);
  return out;
}

}  // namespace

// ---- DER ----

namespace der {
std::string tlv(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<char>(n));
  } else {
    std::string len;
    for (; n != 0; n >>= 8) len.insert(len.begin(), static_cast<char>(n & 0xff));
    out.push_back(static_cast<char>(0x80 | len.size()));
    out += len;
  }
  return out + content;
}
std::string seq(const std::string& content) { return tlv(0x30, content); }
std::string set(const std::string& content) { return tlv(0x31, content); }
std::string oid(const std::string& dotted) {
  Asn1ObjectPtr obj(OBJ_txt2obj(dotted.c_str(), 0));
  if (!obj) fail("oid " + dotted);
  unsigned char* buf = nullptr;
  int n = i2d_ASN1_OBJECT(obj.get(), &buf);
  if (n <= 0) fail("encode oid " + dotted);
  std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  OPENSSL_free(buf);
  return out;
}
std::string octets(const std::string& bytes) { return tlv(0x04, bytes); }
std::string printable(const std::string& text) { return tlv(0x13, text); }
std::string utf8(const std::string& text) { return tlv(0x0c, text); }
std::string ia5(const std::string& text) { return tlv(0x16, text); }
std::string generalizedTime(const std::string& text) { return tlv(0x18, text); }
std::string utcTime(const std::string& text) { return tlv(0x17, text); }

std::vector<Element> elements(const std::string& bytes) {
  std::vector<Element> out;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 2) fail("DER: element header cut");
    Element e;
    e.tag = static_cast<unsigned char>(bytes[at]);
    if ((e.tag & 0x1f) == 0x1f) fail("DER: multi-byte tag");
    size_t length = static_cast<unsigned char>(bytes[at + 1]);
    size_t header = 2;
    if (length == 0x80) fail("DER: indefinite length");
    if (length > 0x80) {
      size_t count = length & 0x7f;
      if (count > 4 || bytes.size() - at - 2 < count) fail("DER: length cut");
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<unsigned char>(bytes[at + 2 + i]);
      header += count;
    }
    if (bytes.size() - at - header < length) fail("DER: content cut");
    e.content = bytes.substr(at + header, length);
    e.whole = bytes.substr(at, header + length);
    out.push_back(std::move(e));
    at += header + length;
  }
  return out;
}
}  // namespace der

std::string environmentRootName(int environment) {
  switch (environment) {
    case 1: return "DEVLAB - Zelmor Root CA";
    case 2: return "TESTLAB - Zelmor Root CA";
    case 3: return "TEST - Zelmor Root CA";
    case 4: return "Zelmor Root CA";
    default: return "";
  }
}

zmr::EvpPkeyPtr testKey(int bits, int index) { return cachedKey("rsa", bits, index); }

zmr::EvpPkeyPtr testKeyOfType(const std::string& type, int index) {
  return cachedKey(type, type == "rsa" ? 2048 : 0, index);
}

RawExtension bankNameExtension(const std::string& text) {
  return {kOidBankName, der::seq(der::octets(text)), false};
}
RawExtension originatorExtension(const std::string& text) {
  return {kOidOriginator, der::seq(der::octets(text)), false};
}
RawExtension subjectDirectoryExtension(const std::vector<DirectoryAttribute>& attributes) {
  std::string content;
  for (const auto& a : attributes) {
    std::string values;
    for (const auto& v : a.values) values += v;
    content += der::seq(der::oid(a.oid) + der::set(values));
  }
  return {"2.5.29.9", der::seq(content), false};
}
RawExtension policiesExtension(const std::vector<std::string>& oids) {
  std::string content;
  for (const auto& o : oids) content += der::seq(der::oid(o));
  return {"2.5.29.32", der::seq(content), false};
}
RawExtension rawExtension(const std::string& oid, const std::string& der) { return {oid, der, false}; }

// ---- TestCert ----

TestCert::TestCert(const TestCert& other) { *this = other; }

TestCert& TestCert::operator=(const TestCert& other) {
  if (this == &other) return *this;
  if (other.cert) X509_up_ref(other.cert.get());
  if (other.key) EVP_PKEY_up_ref(other.key.get());
  cert.reset(other.cert.get());
  key.reset(other.key.get());
  return *this;
}

std::string TestCert::pem() const { return toPem(cert.get()); }
std::string TestCert::der() const { return toDer(cert.get()); }
std::string TestCert::derBase64() const {
  std::string d = toDer(cert.get());
  return zmr::base64_encode(reinterpret_cast<const unsigned char*>(d.data()), d.size());
}
std::string TestCert::keyPem() const {
  zmr::BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    fail("key PEM");
  return bioText(bio.get());
}

std::string toPem(const X509* cert) {
  zmr::BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) fail("certificate PEM");
  return bioText(bio.get());
}

std::string toDer(const X509* cert) { return derOf(cert); }

zmr::X509Ptr fromPem(const std::string& pem) {
  zmr::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  zmr::X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return cert;
}

// ---- makers ----

TestCert makeCert(const CertSpec& s, const TestCert* issuer) {
  TestCert out;
  if (s.key != nullptr) {
    EVP_PKEY_up_ref(s.key);
    out.key.reset(s.key);
  } else {
    out.key = cachedKey(s.keyType, s.keyType == "rsa" ? s.keyBits : 0, s.keyIndex);
  }
  out.cert.reset(X509_new());
  X509* x = out.cert.get();
  if (x == nullptr || X509_set_version(x, s.version - 1) != 1) fail("new certificate");
  BignumPtr serial = serialNumber(s);
  if (BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) == nullptr) fail("serial");
  addName(X509_get_subject_name(x), s.subject);
  X509* issuerCert = issuer != nullptr ? issuer->cert.get() : nullptr;
  if (X509_set_issuer_name(x, issuerCert != nullptr ? X509_get_subject_name(issuerCert) : X509_get_subject_name(x)) != 1)
    fail("issuer name");
  setTime(x, true, s.notBefore, s.notBeforeOffset);
  setTime(x, false, s.notAfter, s.notAfterOffset);
  if (X509_set_pubkey(x, out.key.get()) != 1) fail("public key");
  if (s.version >= 3 && !s.emptyExtensionList) addExtensions(x, s, issuerCert);
  EVP_PKEY* signer = issuer != nullptr ? issuer->key.get() : out.key.get();
  const EVP_MD* md = s.digest != nullptr ? s.digest : EVP_sha256();
  if (EVP_PKEY_get_id(signer) == EVP_PKEY_ED25519) md = nullptr;
  if (X509_sign(x, signer, md) <= 0) fail("sign certificate");
  if (s.emptyExtensionList) out.cert = withEmptyExtensionList(x, signer, md);
  return out;
}

CertSpec rootSpec(const std::string& commonName) {
  CertSpec s;
  s.subject = {{"C", "NO"}, {"O", "Zelmor"}};
  if (!commonName.empty()) s.subject.push_back({"CN", commonName});
  s.ca = true;
  s.keyUsage = KU_KEY_CERT_SIGN | KU_CRL_SIGN;
  s.ocspUrl.reset();
  s.keyIndex = 0;
  return s;
}

CertSpec issuingCaSpec(const std::string& commonName) {
  CertSpec s;
  s.subject = {{"C", "NO"}, {"O", "Zelmor"}, {"CN", commonName}};
  s.ca = true;
  s.pathlen = 0;
  s.keyUsage = KU_KEY_CERT_SIGN | KU_CRL_SIGN;
  s.keyIndex = 1;
  return s;
}

CertSpec merchantAuthSpec() {
  CertSpec s;
  s.subject = {{"C", "NO"}, {"O", "Test Merchant AS"}, {"serialNumber", "9578-5999-4-000001"},
               {"CN", "Test Merchant"}};
  s.keyUsage = KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT;
  s.policies = {kPolicyMerchantAuth};
  s.bankName = "Test Bank";
  s.originator = "Test Originator";
  s.keyIndex = 2;
  return s;
}

CertSpec merchantSignSpec() {
  CertSpec s = merchantAuthSpec();
  s.keyUsage = KU_NON_REPUDIATION;
  s.policies = {kPolicySignOnly};
  s.keyIndex = 3;
  return s;
}

CertSpec endUserSpec() {
  CertSpec s;
  s.subject = {{"C", "NO"}, {"serialNumber", "9578-4050-000000001"}, {"CN", "Kari Nordmann"}};
  s.keyUsage = KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION;
  s.policies = {kPolicyPersonal};
  s.phoneNumber = "+4712345678";
  s.dateOfBirth = "19800101120000Z";
  s.keyIndex = 4;
  return s;
}

CertSpec responderSpec() {
  CertSpec s;
  s.subject = {{"C", "NO"}, {"O", "Zelmor"}, {"CN", "Zelmor Validation Authority"}};
  s.keyUsage = KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION;
  s.extKeyUsage = {"OCSPSigning"};
  s.policies = {kPolicyResponder};
  s.ocspUrl.reset();
  s.keyIndex = 5;
  return s;
}

CertSpec serverSpec(bool wrongHost) {
  CertSpec s;
  std::string host = wrongHost ? "wrong.invalid" : "127.0.0.1";
  s.subject = {{"C", "NO"}, {"O", "Zelmor"}, {"CN", host}};
  s.keyUsage = KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT;
  s.extKeyUsage = {"serverAuth"};
  s.ocspUrl.reset();
  if (wrongHost) {
    s.sanDns = {"wrong.invalid"};
  } else {
    s.sanIp = {"127.0.0.1"};
    s.sanDns = {"localhost"};
  }
  s.keyIndex = 6;
  return s;
}

TestPki makePki(int environment) {
  TestPki p;
  p.environment = environment;
  std::string name = environmentRootName(environment);
  // Each environment has keys of its own, so that one environment's trust
  // store cannot accept another's certificates through a shared CA key.
  int keySet = 8 * (name.empty() ? 5 : environment);
  auto make = [&](CertSpec spec, const TestCert* issuer) {
    spec.keyIndex += keySet;
    return makeCert(spec, issuer);
  };
  p.root = make(rootSpec(name.empty() ? "Zelmor Root CA2" : name), nullptr);
  p.ca = make(issuingCaSpec(), &p.root);
  p.merchantAuth = make(merchantAuthSpec(), &p.ca);
  p.merchantSign = make(merchantSignSpec(), &p.ca);
  p.endUser = make(endUserSpec(), &p.ca);
  p.responder = make(responderSpec(), &p.ca);
  p.server = make(serverSpec(), &p.ca);
  return p;
}

EndUser makeEndUser(const TestPki& pki, int index, const std::string& name) {
  EndUser u;
  u.name = !name.empty() ? name : index == 0 ? std::string("Ola Nordmann") : "Ola Nordmann " + std::to_string(index);
  char serial[32];
  std::snprintf(serial, sizeof serial, "9578-4050-%09d", 100 + index);
  CertSpec spec = endUserSpec();
  spec.subject = {{"C", "NO"}, {"serialNumber", serial}, {"CN", u.name}};
  // Key indexes well above those of the PKIs (8 per environment).
  spec.keyUsage = KU_DIGITAL_SIGNATURE;
  spec.keyIndex = 1000 + 2 * index;
  u.auth = makeCert(spec, &pki.ca);
  spec.keyUsage = KU_NON_REPUDIATION;
  spec.keyIndex = 1001 + 2 * index;
  u.sign = makeCert(spec, &pki.ca);
  u.ca = pki.ca;
  return u;
}

bool writeTrustStore(const std::string& dir, const std::vector<const X509*>& certs) {
  for (const X509* c : certs) {
    int ok = 0;
    unsigned long h = X509_NAME_hash_ex(X509_get_subject_name(c), nullptr, nullptr, &ok);
    if (ok != 1) return false;
    char name[32];
    std::string path;
    for (int n = 0;; ++n) {
      std::snprintf(name, sizeof name, "%08lx.%d", h, n);
      path = dir + "/" + name;
      if (access(path.c_str(), F_OK) != 0) break;
    }
    zmr::BioPtr bio(BIO_new_file(path.c_str(), "w"));
    if (!bio || PEM_write_bio_X509(bio.get(), c) != 1) {
      ERR_clear_error();
      return false;
    }
  }
  return true;
}

}  // namespace zmrtest
