// PKCS#7 readers and the SignerInfo check, over the fixture factory's
// signatures and over signatures made by `openssl cms`.
#include "tools/pkcs7tools.h"

#include <gtest/gtest.h>

#include <functional>

#include "store/setup.h"
#include "store/threadstore.h"
#include "support/fixtures.h"
#include "support/tempdir.h"
#include "tools/base64.h"

namespace zmr {
namespace {

using zmrtest::Pkcs7SignerSpec;
using zmrtest::Pkcs7Spec;
using zmrtest::SigningCertAttribute;
namespace der = zmrtest::der;

std::string takeError() {
  std::optional<std::string> e;
  getlasterror(0, e);
  return e.value_or("");
}

std::string b64(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

const EVP_MD* orDefault(const EVP_MD* md) { return md != nullptr ? md : EVP_sha256(); }

class Pkcs7Tools : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(initstructures(), 0);
    pki = new zmrtest::TestPki(zmrtest::makePki(2));
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  void SetUp() override { takeError(); }
  static zmrtest::TestPki* pki;
};
zmrtest::TestPki* Pkcs7Tools::pki = nullptr;

TEST_F(Pkcs7Tools, FindObjectWalksTheEncodingWithinBounds) {
  struct Case {
    const char* name;
    std::string der;
    unsigned char tag;
    long expected;  // offset, -1 for none
  };
  const std::string sha256 = der::oid("2.16.840.1.101.3.4.2.1");  // 9 content bytes
  const Case cases[] = {
      {"into nested sequences", der::seq(der::seq(sha256)), 6, 4},
      {"over a whole OID", der::seq(sha256 + der::octets("h")), 4, 13},
      {"over a short INTEGER", der::seq(der::tlv(0x02, "\x04") + der::octets("h")), 4, 5},
      {"over a long-form length", der::seq(der::octets(std::string(200, '\x06')) + sha256), 6, 206},
      {"not into a SET", der::set(sha256), 6, -1},
      {"not into an OCTET STRING", der::octets(sha256), 6, -1},
      {"truncated header", std::string("\x30\x05\x06", 3), 4, -1},
      {"length past the end", std::string("\x30\x82\xff\xff\x06\x01\x00", 7), 6, -1},
      {"child past its parent", std::string("\x30\x02\x04\x05\x06\x01\x00", 7), 6, -1},
      {"indefinite length", std::string("\x30\x80\x06\x01\x00\x00\x00", 7), 6, -1},
      {"match whose length runs out", std::string("\x30\x03\x04\x05\x00", 5), 4, -1},
      {"empty", std::string(), 6, -1},
  };
  for (const Case& c : cases) {
    const auto* buf = reinterpret_cast<const unsigned char*>(c.der.data());
    const unsigned char* found = findObject(c.tag, buf, c.der.size());
    EXPECT_EQ(found == nullptr ? -1L : static_cast<long>(found - buf), c.expected) << c.name;
  }
}

TEST_F(Pkcs7Tools, CreateHashForPkcs1BuildsTheDigestInfo) {
  const std::string sha1Prefix("\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14", 15);
  const std::string sha256Prefix(
      "\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19);
  const std::string data = "data to sign";
  struct Case {
    int64_t bits;
    std::string expected;
  };
  const Case cases[] = {
      {1024, sha1Prefix + zmrtest::digestOf(EVP_sha1(), data)},
      {2048, sha256Prefix + zmrtest::digestOf(EVP_sha256(), data)},
      {0, sha256Prefix + zmrtest::digestOf(EVP_sha256(), data)},
      {1023, sha256Prefix + zmrtest::digestOf(EVP_sha256(), data)},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> out;
    ASSERT_EQ(createhashforpkcs1(0, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, c.bits), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), c.expected) << c.bits;
  }
  std::vector<unsigned char> empty;
  ASSERT_EQ(createhashforpkcs1(0, nullptr, 0, empty, 2048), 0);
  EXPECT_EQ(std::string(empty.begin(), empty.end()), sha256Prefix + zmrtest::digestOf(EVP_sha256(), ""));
}

TEST_F(Pkcs7Tools, ChannelAttributeCases) {
  auto withChannel = [&](std::function<void(Pkcs7SignerSpec&)> edit) {
    Pkcs7Spec spec = zmrtest::pkcs7For(pki->endUser);
    spec.signers[0].channel = "ZMR Channel";
    edit(spec.signers[0]);
    return zmrtest::makePkcs7Base64(spec);
  };
  Pkcs7Spec two = zmrtest::pkcs7For(pki->merchantSign);
  two.signers.push_back(two.signers[0]);
  two.signers[1].cert = &pki->endUser;
  two.signers[1].channel = "ZMR Channel";
  std::string valid = zmrtest::makePkcs7Der(zmrtest::pkcs7For(pki->endUser));
  Pkcs7Spec none = zmrtest::pkcs7For(pki->endUser);
  none.signers.clear();

  struct Case {
    const char* name;
    std::string input;
    int code;
    const char* line;
  };
  const Case cases[] = {
      {"exact value", withChannel([](auto&) {}), 0, ""},
      {"second signer carries it", zmrtest::makePkcs7Base64(two), 0, ""},
      {"more characters", withChannel([](auto& s) { s.channel = "ZMR Channel2"; }), 12014, "correct value"},
      {"NUL inside", withChannel([](auto& s) { s.channel = std::string("ZMR Channel\0x", 13); }), 12014,
       "correct value"},
      {"shorter", withChannel([](auto& s) { s.channel = "ZMR Chann"; }), 12014, "correct value"},
      {"UTF8String value", withChannel([](auto& s) { s.channelValueDer = der::utf8("ZMR Channel"); }), 12013,
       "does not contain the ZMR Channel signed attribute"},
      {"absent", withChannel([](auto& s) { s.channel.reset(); }), 12012, "Did not find the required"},
      {"no SignerInfo", zmrtest::makePkcs7Base64(none), 12011, "No signers information"},
      {"type data", b64(der::seq(der::oid("1.2.840.113549.1.7.1") + der::tlv(0xa0, der::octets("x")))), 12010,
       "is not signed"},
      {"not DER", b64("not a pkcs7 at all"), 12009, "to an pkcs7 structure"},
      {"trailing bytes", b64(valid + "x"), 12009, "to an pkcs7 structure"},
      {"not base64", "@@@@", 21002, "base64 decode the pkcs7 input"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check_signed_attribute(0, c.input, NID_pkcs9_randomNonce), c.code) << c.name;
    std::string err = takeError();
    if (c.code != 0) {
      EXPECT_NE(err.find("pkcs7tools_get_signed_attribute: "), std::string::npos) << c.name;
      EXPECT_NE(err.find(c.line), std::string::npos) << c.name << ": " << err;
    }
  }
}

TEST_F(Pkcs7Tools, SignerDigestAlgorithmAndSigningTime) {
  struct Case {
    const char* name;
    std::function<void(Pkcs7SignerSpec&)> edit;
    int algorithmCode;  // code of getpkcs7signerhashalgorithm
    SignerHash algorithm;
    int hasSigningTime;
  };
  const Case cases[] = {
      {"sha256", [](auto&) {}, 0, SignerHash::sha256, 1},
      {"sha1", [](auto& s) { s.digest = EVP_sha1(); }, 0, SignerHash::sha1, 1},
      {"md5", [](auto& s) { s.digest = EVP_md5(); }, 0, SignerHash::md5, 1},
      {"sha512", [](auto& s) { s.digest = EVP_sha512(); }, 12001, static_cast<SignerHash>(-1), 1},
      {"no signing time", [](auto& s) { s.signingTime = false; }, 0, SignerHash::sha256, 0},
      {"GeneralizedTime signing time",
       [](auto& s) { s.signingTimeDer = der::generalizedTime("20270203140509Z"); }, 0, SignerHash::sha256, 0},
      {"no signed attributes", [](auto& s) { s.signedAttributes = false; }, 0, SignerHash::sha256, 0},
  };
  for (const Case& c : cases) {
    Pkcs7Spec spec = zmrtest::pkcs7For(pki->endUser);
    c.edit(spec.signers[0]);
    std::string p7 = zmrtest::makePkcs7Base64(spec);
    SignerHash algorithm = static_cast<SignerHash>(-1);
    EXPECT_EQ(getpkcs7signerhashalgorithm(0, p7, algorithm), c.algorithmCode) << c.name;
    if (c.algorithmCode == 0) {
      EXPECT_EQ(algorithm, c.algorithm) << c.name;
    }
    takeError();
    EXPECT_EQ(pkcs7_has_signingtime(0, p7), c.hasSigningTime) << c.name;
  }
  SignerHash algorithm = static_cast<SignerHash>(-1);
  EXPECT_EQ(getpkcs7signerhashalgorithm(0, b64("garbage"), algorithm), 5001);
  EXPECT_NE(takeError().find("pkcs7tools_getpkcs7signerhashalgorithm: An error occured trying to parse"),
            std::string::npos);
  // The signing-time probe never reports.
  EXPECT_EQ(pkcs7_has_signingtime(0, "@@@"), 0);
  EXPECT_EQ(pkcs7_has_signingtime(0, b64("garbage")), 0);
  EXPECT_EQ(takeError(), "");
}

TEST_F(Pkcs7Tools, SignerIssuerAndPolicy) {
  Pkcs7Spec spec = zmrtest::pkcs7For(pki->endUser);
  spec.extraCerts = {pki->root.get(), pki->ca.get()};
  zmr::Pkcs7Ptr p7 = zmrtest::makePkcs7(spec);
  X509* signer = nullptr;
  X509* issuer = nullptr;
  ASSERT_EQ(getpkcs7signercert(0, p7.get(), signer), 0);
  EXPECT_EQ(X509_cmp(signer, pki->endUser.get()), 0);
  ASSERT_EQ(getpkcs7issuercert(0, p7.get(), issuer), 0);
  EXPECT_EQ(X509_cmp(issuer, pki->ca.get()), 0);
  std::string policy;
  EXPECT_EQ(getpkcs7policyoid(0, zmrtest::makePkcs7Base64(spec), policy), 0);
  EXPECT_EQ(policy, zmrtest::kPolicyPersonal);

  // Without the issuer's certificate.
  spec.extraCerts.clear();
  p7 = zmrtest::makePkcs7(spec);
  EXPECT_EQ(getpkcs7issuercert(0, p7.get(), issuer), 12001);
  EXPECT_NE(takeError().find("pkcs7tools_getpkcs7issuercert: Did not find the certificate for the issuer"),
            std::string::npos);
  // Without the signer's certificate.
  spec.includeSignerCerts = false;
  spec.extraCerts = {pki->ca.get()};
  p7 = zmrtest::makePkcs7(spec);
  EXPECT_EQ(getpkcs7signercert(0, p7.get(), signer), 12001);
  EXPECT_EQ(takeError(), "pkcs7tools_getpkcs7signercert: Did not find signing certificate in pkcs7.\n");
  EXPECT_EQ(getpkcs7issuercert(0, p7.get(), issuer), 12001);
  EXPECT_NE(takeError().find("pkcs7tools_getpkcs7issuercert: An error occured retrieving the signing certificate"),
            std::string::npos);
  EXPECT_EQ(getpkcs7policyoid(0, zmrtest::makePkcs7Base64(spec), policy), 12001);
  EXPECT_NE(takeError().find("pkcs7tools_getpkcs7policyoid: An error occured trying to get the X509 certificate"),
            std::string::npos);
}

// What the check is given besides the SignerInfo.
enum class Given { content, otherData, digest, longDigest };

TEST_F(Pkcs7Tools, SignatureVerifyCases) {
  const std::string content = "signed content";
  const std::string digest = zmrtest::digestOf(EVP_sha256(), content);
  EVP_PKEY* key = pki->endUser.key.get();
  const size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key));
  // A block that merely ends in the digest, without PKCS#1 padding.
  const std::string forged = zmrtest::rsaRawSign(key, std::string(1, '\0') + std::string(modulus - 1 - 32, '\x5a') + digest);
  // Correct padding, but a DigestInfo naming SHA-512 around the SHA-256 digest.
  const std::string wrongInfo = std::string("\x30\x51\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x03\x05\x00\x04\x20", 19) + digest;
  const std::string wrongAlgorithm = zmrtest::rsaRawSign(
      key, std::string("\x00\x01", 2) + std::string(modulus - 3 - wrongInfo.size(), '\xff') + std::string(1, '\0') + wrongInfo);
  auto noAttributes = [](Pkcs7SignerSpec& s) { s.signedAttributes = false; };

  struct Case {
    const char* name;
    std::function<void(Pkcs7Spec&, Pkcs7SignerSpec&)> edit;
    Given given;
    int code;
    const char* line;
  };
  const Case cases[] = {
      {"detached sha256", [](auto&, auto&) {}, Given::content, 0, ""},
      {"attached", [](auto& p, auto&) { p.detached = false; }, Given::content, 0, ""},
      {"sha1", [](auto&, auto& s) { s.digest = EVP_sha1(); }, Given::content, 0, ""},
      {"md5", [](auto&, auto& s) { s.digest = EVP_md5(); }, Given::content, 0, ""},
      {"sha512", [](auto&, auto& s) { s.digest = EVP_sha512(); }, Given::content, 5007, "algorithm is not supported"},
      {"no signing time", [](auto&, auto& s) { s.signingTime = false; }, Given::content, 0, ""},
      {"with channel", [](auto&, auto& s) { s.channel = "ZMR Channel"; }, Given::content, 0, ""},
      {"ISO profile attribute only", [](auto&, auto& s) { s.signingCert = SigningCertAttribute::v2; },
       Given::content, 0, ""},
      {"no signing-certificate attribute", [](auto&, auto& s) { s.signingCert = SigningCertAttribute::none; },
       Given::content, 0, ""},
      {"digest given", [](auto&, auto&) {}, Given::digest, 0, ""},
      {"other data", [](auto&, auto&) {}, Given::otherData, 12003, "message digest does not match"},
      {"digest over 64 bytes", [](auto&, auto&) {}, Given::longDigest, 12005, "too large"},
      {"no messageDigest", [](auto&, auto& s) { s.messageDigest = false; }, Given::content, 12002, "was not found"},
      {"20-byte messageDigest", [](auto&, auto& s) { s.messageDigestValue = std::string(20, 'x'); },
       Given::content, 12003, "length of the digests"},
      {"cert hash by sha1", [](auto&, auto& s) { s.signingCertHashOid = zmrtest::kOidSha1; }, Given::content, 12016,
       "doesn't use sha-256"},
      {"cert hash OID a prefix of sha256", [](auto&, auto& s) { s.signingCertHashOid = "2.16.840.1.101.3.4.2"; },
       Given::content, 12016, "doesn't use sha-256"},
      {"cert hash OID longer than sha256", [](auto&, auto& s) { s.signingCertHashOid = "2.16.840.1.101.3.4.2.1.1"; },
       Given::content, 12016, "doesn't use sha-256"},
      {"cert hash of another cert", [&](auto&, auto& s) { s.signingCertOf = pki->ca.get(); }, Given::content, 12018,
       "hash didn't verify"},
      {"cert hash too short", [&](auto&, auto& s) { s.signingCertHash = digest.substr(0, 16); }, Given::content,
       12018, "hash didn't verify"},
      {"cert hash without OCTET STRING",
       [](auto&, auto& s) { s.signingCertValue = der::seq(der::seq(der::oid(zmrtest::kOidSha256))); },
       Given::content, 12019, "Error parsing the singer info structure"},
      {"cert hash value not a SEQUENCE", [](auto&, auto& s) { s.signingCertValue = der::octets("x"); },
       Given::content, 0, ""},
      {"tampered signature", [](auto&, auto& s) { s.signature = std::string(256, '\x42'); }, Given::content, 5007,
       "signature does not verify"},
      {"no attributes", [&](auto&, auto& s) { noAttributes(s); }, Given::content, 0, ""},
      {"no attributes, other data", [&](auto&, auto& s) { noAttributes(s); }, Given::otherData, 5007,
       "signature does not verify"},
      {"no attributes, digest given", [&](auto&, auto& s) { noAttributes(s); }, Given::digest, 0, ""},
      {"no attributes, digest over 64 bytes", [&](auto&, auto& s) { noAttributes(s); }, Given::longDigest, 5007,
       "signature does not verify"},
      {"digest over 64 bytes, cert hash of another cert", [&](auto&, auto& s) { s.signingCertOf = pki->ca.get(); },
       Given::longDigest, 12018, "hash didn't verify"},
      {"no attributes, block ending in the digest",
       [&](auto&, auto& s) {
         noAttributes(s);
         s.signature = forged;
       },
       Given::digest, 5007, "signature does not verify"},
      {"no attributes, DigestInfo of another algorithm",
       [&](auto&, auto& s) {
         noAttributes(s);
         s.signature = wrongAlgorithm;
       },
       Given::digest, 5007, "signature does not verify"},
  };
  for (const Case& c : cases) {
    Pkcs7Spec spec = zmrtest::pkcs7For(pki->endUser, content);
    c.edit(spec, spec.signers[0]);
    zmr::Pkcs7Ptr p7 = zmrtest::makePkcs7(spec);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    std::string data = c.given == Given::content     ? content
                       : c.given == Given::otherData ? std::string("other content")
                       : c.given == Given::digest    ? zmrtest::digestOf(orDefault(spec.signers[0].digest), content)
                                                     : std::string(65, 'd');
    DataIs isDigest = c.given == Given::digest || c.given == Given::longDigest ? DataIs::digest : DataIs::content;
    EXPECT_EQ(pkcs7signatureverify(0, p7.get(), si, pki->endUser.get(),
                                   reinterpret_cast<const unsigned char*>(data.data()), data.size(), isDigest),
              c.code)
        << c.name;
    std::string err = takeError();
    if (c.code != 0) {
      EXPECT_NE(err.find(c.line), std::string::npos) << c.name << ": " << err;
    }
  }
}

TEST_F(Pkcs7Tools, SignatureVerifyWithTheWrongSignerCertificate) {
  zmr::Pkcs7Ptr p7 = zmrtest::makePkcs7(zmrtest::pkcs7For(pki->endUser));
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  const std::string content = "signed content";
  const auto* data = reinterpret_cast<const unsigned char*>(content.data());
  EXPECT_EQ(pkcs7signatureverify(0, p7.get(), si, pki->merchantSign.get(), data, content.size(), DataIs::content), 12018);
  Pkcs7Spec plain = zmrtest::pkcs7For(pki->endUser);
  plain.signers[0].signingCert = SigningCertAttribute::none;
  p7 = zmrtest::makePkcs7(plain);
  si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  EXPECT_EQ(pkcs7signatureverify(0, p7.get(), si, pki->merchantSign.get(), data, content.size(), DataIs::content), 5007);
}

// Signatures made by OpenSSL's own CMS signer verify as well.
TEST_F(Pkcs7Tools, VerifiesSignaturesMadeByOpensslCms) {
  std::string dir = zmrtest::makeTempDir("pkcs7-cms");
  const std::string content = "content signed by openssl cms";
  ASSERT_TRUE(zmrtest::writeFile(dir + "/data", content));
  ASSERT_TRUE(zmrtest::writeFile(dir + "/cert.pem", pki->endUser.pem()));
  ASSERT_TRUE(zmrtest::writeFile(dir + "/key.pem", pki->endUser.keyPem()));
  const char* variants[] = {"-md sha256", "-md sha1 -nodetach", "-md sha256 -noattr", "-md md5 -nosmimecap"};
  for (const char* v : variants) {
    std::string out;
    ASSERT_EQ(zmrtest::runCommand("openssl cms -sign -binary -outform DER -in " + dir + "/data -signer " + dir +
                                      "/cert.pem -inkey " + dir + "/key.pem " + v + " -out " + dir + "/p7.der 2>&1",
                                  &out),
              0)
        << out;
    std::string der = zmrtest::readFile(dir + "/p7.der");
    zmr::Pkcs7Ptr p7;
    ASSERT_TRUE(parsepkcs7(reinterpret_cast<const unsigned char*>(der.data()), der.size(), p7)) << v;
    X509* signer = nullptr;
    ASSERT_EQ(getpkcs7signercert(0, p7.get(), signer), 0) << v;
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_EQ(pkcs7signatureverify(0, p7.get(), si, signer, reinterpret_cast<const unsigned char*>(content.data()),
                                   content.size(), DataIs::content),
              0)
        << v << ": " << takeError();
    EXPECT_NE(pkcs7signatureverify(0, p7.get(), si, signer, reinterpret_cast<const unsigned char*>("x"), 1, DataIs::content), 0)
        << v;
    takeError();
  }
}

}  // namespace
}  // namespace zmr
