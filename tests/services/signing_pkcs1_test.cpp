// Bare PKCS#1 v1.5 signatures with software keys, checked by openssl
// pkeyutl and against OpenSSL's own signature with the same key.
#include "services/signing/signingops.h"
#include "signingtest.h"

using namespace signingtest;

namespace {

class SignDataP1 : public Library {};

std::string opensslSignature(EVP_PKEY* key, const EVP_MD* md, const std::string& data) {
  zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  size_t n = 0;
  EXPECT_EQ(1, EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key));
  EXPECT_EQ(1, EVP_DigestSign(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(data.data()),
                              data.size()));
  std::string out(n, '\0');
  EXPECT_EQ(1, EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                              reinterpret_cast<const unsigned char*>(data.data()), data.size()));
  out.resize(n);
  return out;
}

TEST_F(SignDataP1, KeyAndDigestFollowCertTypeAndAuthenticationKeySize) {
  zmrtest::CertSpec smallauth = zmrtest::merchantAuthSpec();
  smallauth.keyBits = 1024;
  zmrtest::CertSpec bigsign = zmrtest::merchantSignSpec();
  bigsign.keyBits = 3072;
  struct Merchant {
    const char* name;
    zmrtest::TestPki pki;
    const char* digest;
  } merchants[] = {
      {"2048", zmrtest::makeMerchantPki(2, zmrtest::merchantAuthSpec(), bigsign), "sha256"},
      {"1024", zmrtest::makeMerchantPki(2, smallauth, zmrtest::merchantSignSpec()), "sha1"},
  };
  const std::string data = std::string("binary\0data\xff", 12);
  for (const Merchant& m : merchants) {
    zmrtest::MerchantFiles files = zmrtest::writeMerchantFiles(std::string("p1-") + m.name, m.pki);
    int s = session(files);
    for (int certtype : {0, 1}) {
      SCOPED_TRACE(testing::Message() << m.name << " certtype " << certtype);
      const zmrtest::TestCert& cert = certtype == 0 ? m.pki.merchantSign : m.pki.merchantAuth;
      const zmrtest::TestCert& other = certtype == 0 ? m.pki.merchantAuth : m.pki.merchantSign;
      std::string out;
      ASSERT_EQ(0, zmr::signdatap1(s, data, out, static_cast<zmr::KeyRole>(certtype))) << takeError();
      std::string raw = zmrtest::fromBase64(out);
      EXPECT_EQ(static_cast<size_t>(EVP_PKEY_get_size(cert.key.get())), raw.size());
      EXPECT_EQ(opensslSignature(cert.key.get(), EVP_get_digestbyname(m.digest), data), raw);
      std::string log;
      EXPECT_TRUE(zmrtest::pkeyutlVerifies(out, data, cert.get(), m.digest, &log)) << log;
      EXPECT_FALSE(zmrtest::pkeyutlVerifies(out, data, other.get(), m.digest));
    }
  }
}

TEST_F(SignDataP1, FailuresGiveTheirCodeLineAndNoOutput) {
  zmrtest::MerchantFiles normal = zmrtest::makeMerchantFiles("p1-failures", 2);
  zmrtest::MerchantFiles signonly =
      zmrtest::writeMerchantFiles("p1-signonly", zmrtest::makePki(2), zmrtest::dropAuthenticationPair);
  zmrtest::CertSpec ec = zmrtest::merchantAuthSpec();
  ec.keyType = "ec";
  zmrtest::MerchantFiles eckey =
      zmrtest::writeMerchantFiles("p1-ec", zmrtest::makeMerchantPki(2, ec, zmrtest::merchantSignSpec()));
  int a = session(normal), b = session(signonly), c = session(eckey);
  struct Case {
    int session;
    int certtype;
    int code;
    const char* line;
  } cases[] = {
      {a, 5, 29007, "signdatap1_signdatap1: The requested certificate type is neither signing nor authentication.\n"},
      {b, 1, 2040,
       "signdatap1_signdatap1: An error occured trying to retrieve the merchant's private authentication key from "
       "session store.\n"},
      {c, 1, 29008, "signdatap1_signdatap1: An error occured calling EVP_SignFinal\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.line);
    std::string out = "previous";
    EXPECT_EQ(k.code, zmr::signdatap1(k.session, "data", out, static_cast<zmr::KeyRole>(k.certtype)));
    EXPECT_EQ("", out);
    EXPECT_EQ(k.line, takeError());
  }
  // The EC merchant's signing key is RSA and still signs.
  std::string out;
  EXPECT_EQ(0, zmr::signdatap1(c, "data", out, zmr::KeyRole::signing)) << takeError();
}

}  // namespace
