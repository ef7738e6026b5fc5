// The certificate cache and the decodes that take certificates from it:
// over a table of forms, the result (accepted or not, bytes read,
// re-encoding, certificates in order, OpenSSL's errors) is that of the plain
// OpenSSL decode.
#include "tools/certcache.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <ostream>
#include <thread>

#include "store/setup.h"
#include "support/fixtures.h"

namespace zmr {
namespace {

namespace der = zmrtest::der;

struct Outcome {
  bool accepted = false;
  long consumed = 0;
  std::string encoding;
  std::vector<std::string> certs;
  std::vector<unsigned long> errors;
  bool operator==(const Outcome&) const = default;
};
void PrintTo(const Outcome& o, std::ostream* os) {
  *os << (o.accepted ? "accepted" : "refused") << ", " << o.consumed << " bytes read, encoding of "
      << o.encoding.size() << " bytes, " << o.certs.size() << " certificate entries, " << o.errors.size()
      << " errors";
}

std::string derOf(X509* cert) {
  unsigned char* out = nullptr;
  int n = i2d_X509(cert, &out);
  OsslMemoryPtr<unsigned char> owned(out);
  return n > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : std::string();
}

template <typename T>
Outcome outcome(const std::string& input, T* (*decode)(T**, const unsigned char**, long), int (*encode)(const T*, unsigned char**),
                const STACK_OF(X509)* (*certs)(const T*), void (*release)(T*)) {
  ERR_clear_error();
  Outcome o;
  const auto* start = reinterpret_cast<const unsigned char*>(input.data());
  const unsigned char* p = start;
  T* value = decode(nullptr, &p, static_cast<long>(input.size()));
  o.accepted = value != nullptr;
  o.consumed = static_cast<long>(p - start);
  if (value != nullptr) {
    unsigned char* out = nullptr;
    int n = encode(value, &out);
    OsslMemoryPtr<unsigned char> owned(out);
    if (n > 0) o.encoding.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    const STACK_OF(X509)* list = certs(value);
    o.certs.push_back(list == nullptr ? "no stack" : "stack");
    for (int i = 0; i < sk_X509_num(list); ++i) o.certs.push_back(derOf(sk_X509_value(list, i)));
    release(value);
  }
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) o.errors.push_back(e);
  return o;
}

const STACK_OF(X509)* pkcs7certs(const PKCS7* p7) {
  return PKCS7_type_is_signed(p7) && p7->d.sign != nullptr ? p7->d.sign->cert : nullptr;
}
PKCS7* cachedpkcs7(PKCS7**, const unsigned char** in, long length) { return d2ipkcs7(in, length); }
OCSP_BASICRESP* cachedbasic(OCSP_BASICRESP**, const unsigned char** in, long length) {
  return d2iocspbasic(in, length);
}

void expectSamePkcs7(const std::string& name, const std::string& input, bool accepted) {
  SCOPED_TRACE(name);
  Outcome plain = outcome<PKCS7>(input, d2i_PKCS7, i2d_PKCS7, pkcs7certs, PKCS7_free);
  EXPECT_EQ(plain.accepted, accepted);
  // Twice: the first fills the cache, the second takes from it.
  EXPECT_EQ(outcome<PKCS7>(input, cachedpkcs7, i2d_PKCS7, pkcs7certs, PKCS7_free), plain);
  EXPECT_EQ(outcome<PKCS7>(input, cachedpkcs7, i2d_PKCS7, pkcs7certs, PKCS7_free), plain);
}

void expectSameBasic(const std::string& name, const std::string& input, bool accepted) {
  SCOPED_TRACE(name);
  Outcome plain = outcome<OCSP_BASICRESP>(input, d2i_OCSP_BASICRESP, i2d_OCSP_BASICRESP, OCSP_resp_get0_certs,
                                          OCSP_BASICRESP_free);
  EXPECT_EQ(plain.accepted, accepted);
  EXPECT_EQ(outcome<OCSP_BASICRESP>(input, cachedbasic, i2d_OCSP_BASICRESP, OCSP_resp_get0_certs, OCSP_BASICRESP_free),
            plain);
  EXPECT_EQ(outcome<OCSP_BASICRESP>(input, cachedbasic, i2d_OCSP_BASICRESP, OCSP_resp_get0_certs, OCSP_BASICRESP_free),
            plain);
}

std::string children(const std::string& bytes) {
  return der::elements(bytes).at(0).content;
}
std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += p;
  return out;
}
// The outer SEQUENCE's content with an indefinite length.
std::string indefinite(const std::string& bytes) { return "\x30\x80" + children(bytes) + std::string(2, '\0'); }

// tbsCertificate turned into a SET: the certificate no longer decodes, the
// lengths around it stay right.
std::string brokenCert(X509* cert) {
  std::string d = derOf(cert);
  std::vector<der::Element> e = der::elements(d.substr(0, d.size()));
  std::string content = e.at(0).content;
  content[0] = 0x31;
  return der::seq(content);
}

// An input, and whether the plain decode accepts it.
struct Form {
  std::string name;
  std::string der;
  bool accepted;
};

class CertCache : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(initstructures(), 0);
    pki = new zmrtest::TestPki(zmrtest::makePki(2));
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  static zmrtest::TestPki* pki;

  // SignedData's fields (version, algorithms, content, [certificates], signers).
  static std::vector<std::string> signedFields(const std::string& p7) {
    std::vector<der::Element> info = der::elements(children(p7));
    std::vector<std::string> out;
    for (const der::Element& e : der::elements(children(info.at(1).content))) out.push_back(e.whole);
    return out;
  }
  static std::string signedData(const std::vector<std::string>& fields) {
    static const std::string oid = der::oid("1.2.840.113549.1.7.2");
    return der::seq(oid + der::tlv(0xa0, der::seq(join(fields))));
  }
};
zmrtest::TestPki* CertCache::pki = nullptr;

TEST_F(CertCache, Pkcs7FormsDecodeAsThePlainDecode) {
  zmrtest::Pkcs7Spec one = zmrtest::pkcs7For(pki->endUser);
  zmrtest::Pkcs7Spec none = one;
  none.includeSignerCerts = false;
  zmrtest::Pkcs7Spec several = one;
  several.extraCerts = {pki->ca.get(), pki->root.get()};
  zmrtest::Pkcs7Spec repeated = one;
  repeated.extraCerts = {pki->ca.get(), pki->endUser.get()};
  const std::string d = zmrtest::makePkcs7Der(one);
  std::vector<std::string> f = signedFields(d);  // the certificates field is f[3]
  ASSERT_EQ(f.size(), 5u);
  const std::string brokenField = der::tlv(0xa0, brokenCert(pki->endUser.get()));
  const std::string dataType =
      der::seq(der::oid("1.2.840.113549.1.7.1") + der::tlv(0xa0, der::octets("signed content")));

  const std::vector<Form> forms = {
      {"one certificate", d, true},
      {"no certificates", zmrtest::makePkcs7Der(none), true},
      {"several", zmrtest::makePkcs7Der(several), true},
      {"a certificate twice", zmrtest::makePkcs7Der(repeated), true},
      {"empty certificates field", signedData({f[0], f[1], f[2], der::tlv(0xa0, ""), f[4]}), true},
      {"certificates field twice", signedData({f[0], f[1], f[2], f[3], f[3], f[4]}), false},
      {"certificates after the signers", signedData({f[0], f[1], f[2], f[4], f[3]}), false},
      {"a broken certificate", signedData({f[0], f[1], f[2], brokenField, f[4]}), false},
      {"a certificate overruns its field",
       signedData({f[0], f[1], f[2], der::tlv(0xa0, children(f[3]).substr(0, 40)), f[4]}), false},
      {"BER outer", indefinite(d), true},
      {"BER SignedData", der::seq(der::oid("1.2.840.113549.1.7.2") +
                                  der::tlv(0xa0, "\x30\x80" + join(f) + std::string(2, '\0'))),
       true},
      {"trailing bytes", d + std::string("\x05\x00", 2), true},
      {"truncated", d.substr(0, d.size() - 1), false},
      {"only the header", d.substr(0, 4), false},
      {"not signedData", dataType, true},
      {"empty", "", false},
  };
  for (const Form& form : forms) expectSamePkcs7(form.name, form.der, form.accepted);
}

TEST_F(CertCache, OcspFormsDecodeAsThePlainDecode) {
  zmrtest::OcspSpec one = zmrtest::ocspFor(pki->responder, pki->endUser.get(), pki->ca.get());
  zmrtest::OcspSpec none = one;
  none.certs = std::vector<const X509*>{};
  zmrtest::OcspSpec several = one;
  several.certs = std::vector<const X509*>{pki->responder.get(), pki->ca.get(), pki->root.get()};
  zmrtest::OcspSpec repeated = one;
  repeated.certs = std::vector<const X509*>{pki->responder.get(), pki->responder.get()};
  const std::string d = zmrtest::makeOcspBasicDer(one);
  std::vector<std::string> f;
  for (const der::Element& e : der::elements(children(d))) f.push_back(e.whole);
  ASSERT_EQ(f.size(), 4u);  // tbs, algorithm, signature, certs
  const std::string certs = children(children(f[3]));

  const std::vector<Form> forms = {
      {"one certificate", d, true},
      {"no certificates", zmrtest::makeOcspBasicDer(none), true},
      {"several", zmrtest::makeOcspBasicDer(several), true},
      {"a certificate twice", zmrtest::makeOcspBasicDer(repeated), true},
      {"empty certificate list", der::seq(f[0] + f[1] + f[2] + der::tlv(0xa0, der::seq(""))), true},
      {"certs field twice", der::seq(join(f) + f[3]), false},
      {"two lists in the field", der::seq(f[0] + f[1] + f[2] + der::tlv(0xa0, der::seq(certs) + der::seq(certs))),
       false},
      {"list not a SEQUENCE", der::seq(f[0] + f[1] + f[2] + der::tlv(0xa0, der::set(certs))), false},
      {"a broken certificate",
       der::seq(f[0] + f[1] + f[2] + der::tlv(0xa0, der::seq(brokenCert(pki->responder.get())))), false},
      {"a certificate overruns the list",
       der::seq(f[0] + f[1] + f[2] + der::tlv(0xa0, der::seq(certs.substr(0, 40)))), false},
      {"BER outer", indefinite(d), true},
      {"BER list", der::seq(f[0] + f[1] + f[2] + der::tlv(0xa0, "\x30\x80" + certs + std::string(2, '\0'))), true},
      {"trailing bytes", d + std::string("\x05\x00", 2), true},
      {"truncated", d.substr(0, d.size() - 1), false},
      {"empty", "", false},
  };
  for (const Form& form : forms) expectSameBasic(form.name, form.der, form.accepted);
}

// The decodes of a plain DER form take the certificates from the cache: the
// same objects, in order, as the cache hands out.
TEST_F(CertCache, DecodesShareTheCachedCertificates) {
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(pki->endUser);
  spec.extraCerts = {pki->ca.get(), pki->root.get()};
  const std::string p7der = zmrtest::makePkcs7Der(spec);
  zmrtest::OcspSpec ocsp = zmrtest::ocspFor(pki->responder, pki->endUser.get(), pki->ca.get());
  ocsp.certs = std::vector<const X509*>{pki->responder.get(), pki->ca.get()};
  const std::string basicder = zmrtest::makeOcspBasicDer(ocsp);

  const auto* p = reinterpret_cast<const unsigned char*>(p7der.data());
  Pkcs7Ptr p7(d2ipkcs7(&p, static_cast<long>(p7der.size())));
  ASSERT_TRUE(p7);
  p = reinterpret_cast<const unsigned char*>(basicder.data());
  OcspBasicRespPtr basic(d2iocspbasic(&p, static_cast<long>(basicder.size())));
  ASSERT_TRUE(basic);
  const STACK_OF(X509)* p7certs = p7->d.sign->cert;
  const STACK_OF(X509)* basiccerts = OCSP_resp_get0_certs(basic.get());
  ASSERT_EQ(sk_X509_num(p7certs), 3);
  ASSERT_EQ(sk_X509_num(basiccerts), 2);
  EXPECT_EQ(cachedcertificate(pki->endUser.der()).get(), sk_X509_value(p7certs, 0));
  EXPECT_EQ(cachedcertificate(pki->ca.der()).get(), sk_X509_value(p7certs, 1));
  EXPECT_EQ(cachedcertificate(pki->root.der()).get(), sk_X509_value(p7certs, 2));
  EXPECT_EQ(cachedcertificate(pki->responder.der()).get(), sk_X509_value(basiccerts, 0));
  EXPECT_EQ(sk_X509_value(basiccerts, 1), sk_X509_value(p7certs, 1));
}

std::vector<zmrtest::TestCert> distinctCerts(const zmrtest::TestPki& pki, size_t n) {
  std::vector<zmrtest::TestCert> out = {pki.root, pki.ca, pki.merchantAuth, pki.merchantSign, pki.endUser,
                                        pki.responder, pki.server};
  for (int i = 1; out.size() < n; ++i) {
    zmrtest::EndUser u = zmrtest::makeEndUser(pki, i);
    out.push_back(u.auth);
    out.push_back(u.sign);
  }
  out.resize(n);
  return out;
}

TEST_F(CertCache, KeepsTheLastCertificatesOfTheThread) {
  std::vector<zmrtest::TestCert> certs = distinctCerts(*pki, kCertCacheEntries + 2);
  std::vector<std::string> ders;
  for (const zmrtest::TestCert& c : certs) ders.push_back(c.der());
  std::vector<X509Ptr> first;
  for (int i = 0; i < kCertCacheEntries; ++i) first.push_back(cachedcertificate(ders[i]));
  // Within the bound every certificate is the one object, with a reference
  // for each holder.
  for (int i = 0; i < kCertCacheEntries; ++i) {
    X509Ptr again = cachedcertificate(ders[i]);
    ASSERT_TRUE(again);
    EXPECT_EQ(again.get(), first[i].get());
    EXPECT_EQ(derOf(again.get()), ders[i]);
  }
  // Used last: 0 .. 7. Using 0 again makes 1 the least recently used,
  // which a new certificate replaces.
  X509Ptr zero = cachedcertificate(ders[0]);
  X509Ptr newcomer = cachedcertificate(ders[kCertCacheEntries]);
  EXPECT_EQ(cachedcertificate(ders[0]).get(), first[0].get());
  EXPECT_EQ(cachedcertificate(ders[2]).get(), first[2].get());
  EXPECT_NE(cachedcertificate(ders[1]).get(), first[1].get());
  // A certificate that the cache let go stays whole for its holder.
  EXPECT_EQ(derOf(first[1].get()), ders[1]);

  // Another thread decodes its own; what it handed out outlives it.
  X509Ptr fromThread;
  std::thread([&] { fromThread = cachedcertificate(ders[0]); }).join();
  ASSERT_TRUE(fromThread);
  EXPECT_NE(fromThread.get(), first[0].get());
  EXPECT_EQ(derOf(fromThread.get()), ders[0]);

  // Refused: not a certificate, bytes over, too long to keep but decoded.
  EXPECT_FALSE(cachedcertificate(""));
  EXPECT_FALSE(cachedcertificate(ders[0] + std::string(1, '\0')));
  EXPECT_FALSE(cachedcertificate(ders[0].substr(0, ders[0].size() - 1)));
}

}  // namespace
}  // namespace zmr
