// Detached PKCS#7 signing with software keys: the shape of the SignedData,
// its profiles, the digest rule, and acceptance by openssl cms.
#include <openssl/x509.h>

#include "signingtest.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "tools/pkcs7tools.h"

using namespace signingtest;

namespace {

class SignData : public Library {};

// What every SignedData of the library holds, whatever the profile.
void expectShape(PKCS7* p7, const X509* signercert, const EVP_MD* md) {
  ASSERT_TRUE(PKCS7_type_is_signed(p7));
  EXPECT_EQ(1, ASN1_INTEGER_get(p7->d.sign->version));
  EXPECT_EQ(NID_pkcs7_data, OBJ_obj2nid(p7->d.sign->contents->type));
  EXPECT_EQ(nullptr, p7->d.sign->contents->d.data) << "the content must be detached";
  ASSERT_EQ(1, sk_X509_ALGOR_num(p7->d.sign->md_algs));
  const X509_ALGOR* listed = sk_X509_ALGOR_value(p7->d.sign->md_algs, 0);
  EXPECT_EQ(EVP_MD_get_type(md), OBJ_obj2nid(listed->algorithm));
  ASSERT_NE(nullptr, listed->parameter);
  EXPECT_EQ(V_ASN1_NULL, listed->parameter->type);

  ASSERT_EQ(1, sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)));
  PKCS7_SIGNER_INFO* si = signer(p7);
  EXPECT_EQ(1, ASN1_INTEGER_get(si->version));
  EXPECT_EQ(0, X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(signercert)));
  EXPECT_EQ(0, ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(signercert)));
  EXPECT_EQ(EVP_MD_get_type(md), OBJ_obj2nid(si->digest_alg->algorithm));
  ASSERT_NE(nullptr, si->digest_alg->parameter);
  EXPECT_EQ(V_ASN1_NULL, si->digest_alg->parameter->type);
  EXPECT_EQ(NID_rsaEncryption, OBJ_obj2nid(si->digest_enc_alg->algorithm));
  ASSERT_NE(nullptr, si->digest_enc_alg->parameter);
  EXPECT_EQ(V_ASN1_NULL, si->digest_enc_alg->parameter->type);
}

std::vector<const X509*> certificatesOf(PKCS7* p7) {
  std::vector<const X509*> out;
  for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i) out.push_back(sk_X509_value(p7->d.sign->cert, i));
  return out;
}

TEST_F(SignData, ProfilesFollowCertTypeNonceAndCmsFormat) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("signdata-profiles", 2);
  int s = session(m);
  const std::string data = "order 4711: 2 x widget";
  struct Case {
    int certtype;
    int nonce;
    const char* formatkey;  // info item set before signing, if any
    const char* format;
    std::vector<std::string> attributes;
  } cases[] = {
      {0, 1, nullptr, nullptr, {kContentType, kChannel, kSigningTime, kMessageDigest, kOtherSigningCert}},
      {0, 0, nullptr, nullptr, {kContentType, kSigningTime, kMessageDigest, kOtherSigningCert}},
      {0, 2, nullptr, nullptr, {kContentType, kSigningTime, kMessageDigest, kOtherSigningCert}},
      {0, 1, "cmsFormat", "PKCS7_ISO320001", {kContentType, kChannel, kMessageDigest, kSigningCertV2}},
      {0, 0, "CMSFORMAT", "PKCS7_ISO320001", {kContentType, kMessageDigest, kSigningCertV2}},
      {0, 1, "cmsFormat", "pkcs7_iso320001", {kContentType, kChannel, kSigningTime, kMessageDigest, kOtherSigningCert}},
      {0, 1, "cmsFormat", "PKCS7_ISO320001 ", {kContentType, kChannel, kSigningTime, kMessageDigest, kOtherSigningCert}},
      {1, 1, "cmsFormat", "PKCS7_ISO320001", {kContentType, kChannel, kSigningTime, kMessageDigest, kOtherSigningCert}},
      {1, 0, nullptr, nullptr, {kContentType, kSigningTime, kMessageDigest, kOtherSigningCert}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "certtype " << c.certtype << " nonce " << c.nonce << " format "
                                    << (c.format ? c.format : "-"));
    ASSERT_EQ(0, zmr::removeinfoitems(s));
    if (c.formatkey != nullptr) {
      ASSERT_EQ(0, zmr::setinfoitem(s, c.formatkey, c.format));
    }
    std::string out;
    ASSERT_EQ(0, zmr::signdata(s, data, out, static_cast<zmr::KeyRole>(c.certtype), static_cast<zmr::ChannelNonce>(c.nonce))) << takeError();
    EXPECT_EQ(std::string::npos, out.find_first_of("\r\n"));
    zmr::Pkcs7Ptr p7 = parse(out);
    ASSERT_TRUE(p7);
    const zmrtest::TestCert& cert = c.certtype == 0 ? m.pki.merchantSign : m.pki.merchantAuth;
    expectShape(p7.get(), cert.get(), EVP_sha256());
    PKCS7_SIGNER_INFO* si = signer(p7.get());
    EXPECT_EQ(c.attributes, attributeOids(si));
    EXPECT_EQ(octets(digestOf(EVP_sha256(), data)), attributeDer(si, kMessageDigest));
    EXPECT_EQ(signingCertValue(cert.get()), attributeDer(si, c.attributes.back()));
    if (c.nonce == 1) {
      EXPECT_EQ(octets("ZMR Channel"), attributeDer(si, kChannel));
    }
    std::string time = attributeDer(si, kSigningTime);
    if (!time.empty()) {
      EXPECT_EQ(V_ASN1_UTCTIME, time[0]);
    }
    // Signer first, then the issuing CA; the self-signed root stays out.
    std::vector<const X509*> certs = certificatesOf(p7.get());
    ASSERT_EQ(2u, certs.size());
    EXPECT_EQ(0, X509_cmp(certs[0], cert.get()));
    EXPECT_EQ(0, X509_cmp(certs[1], m.pki.ca.get()));

    std::string log;
    EXPECT_TRUE(zmrtest::cmsVerifies(out, data, {m.pki.root.get()}, &log)) << log;
    // The library's own check reads the signing-certificate layout back.
    EXPECT_EQ(0, zmr::pkcs7signatureverify(s, p7.get(), si, cert.get(),
                                           reinterpret_cast<const unsigned char*>(data.data()), data.size(), zmr::DataIs::content))
        << takeError();
  }
  std::string out;
  ASSERT_EQ(0, zmr::signdata(s, data, out, zmr::KeyRole::signing, zmr::ChannelNonce::with));
  EXPECT_FALSE(zmrtest::cmsVerifies(out, data + ".", {m.pki.root.get()}))
      << "the verifier must see the content";
}

TEST_F(SignData, EmptyDataIsSignedToo) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("signdata-empty", 1);
  int s = session(m);
  std::string out;
  ASSERT_EQ(0, zmr::signdata(s, nullptr, 0, out, zmr::KeyRole::signing, zmr::ChannelNonce::with)) << takeError();
  zmr::Pkcs7Ptr p7 = parse(out);
  ASSERT_TRUE(p7);
  EXPECT_EQ(octets(digestOf(EVP_sha256(), "")), attributeDer(signer(p7.get()), kMessageDigest));
  std::string log;
  EXPECT_TRUE(zmrtest::cmsVerifies(out, "", {m.pki.root.get()}, &log)) << log;
}

TEST_F(SignData, ThousandTwentyFourBitAuthenticationKeyGivesSha1ButSha256CertificateHash) {
  zmrtest::CertSpec auth = zmrtest::merchantAuthSpec();
  auth.keyBits = 1024;
  zmrtest::MerchantFiles m =
      zmrtest::writeMerchantFiles("signdata-1024", zmrtest::makeMerchantPki(2, auth, zmrtest::merchantSignSpec()));
  int s = session(m);
  const std::string data = "small key merchant";
  for (int certtype : {0, 1}) {
    SCOPED_TRACE(certtype);
    const zmrtest::TestCert& cert = certtype == 0 ? m.pki.merchantSign : m.pki.merchantAuth;
    std::string out;
    ASSERT_EQ(0, zmr::signdata(s, data, out, static_cast<zmr::KeyRole>(certtype), zmr::ChannelNonce::with)) << takeError();
    zmr::Pkcs7Ptr p7 = parse(out);
    ASSERT_TRUE(p7);
    expectShape(p7.get(), cert.get(), EVP_sha1());
    PKCS7_SIGNER_INFO* si = signer(p7.get());
    EXPECT_EQ(octets(digestOf(EVP_sha1(), data)), attributeDer(si, kMessageDigest));
    EXPECT_EQ(signingCertValue(cert.get()), attributeDer(si, kOtherSigningCert));
    std::string log;
    EXPECT_TRUE(zmrtest::cmsVerifies(out, data, {m.pki.root.get()}, &log)) << log;
  }
}

TEST_F(SignData, ChainOfSelfSignedCertificatesOnlyLeavesTheSignerAlone) {
  zmrtest::TestPki pki = zmrtest::makePki(3);
  zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles(
      "signdata-rootonly", pki, [](zmrtest::KeyFileSpec& spec) { spec.safes.pop_back(); });  // no issuing CA
  int s = session(m);
  std::string out;
  ASSERT_EQ(0, zmr::signdata(s, "x", out, zmr::KeyRole::signing, zmr::ChannelNonce::with)) << takeError();
  zmr::Pkcs7Ptr p7 = parse(out);
  ASSERT_TRUE(p7);
  std::vector<const X509*> certs = certificatesOf(p7.get());
  ASSERT_EQ(1u, certs.size());
  EXPECT_EQ(0, X509_cmp(certs[0], pki.merchantSign.get()));
}

TEST_F(SignData, FailuresGiveTheirCodeLineAndNoOutput) {
  zmrtest::MerchantFiles normal = zmrtest::makeMerchantFiles("signdata-failures", 2);
  // A sign-only key file: no authentication pair, so SHA-256 and no auth cert.
  zmrtest::MerchantFiles signonly =
      zmrtest::writeMerchantFiles("signdata-signonly", zmrtest::makePki(2), zmrtest::dropAuthenticationPair);
  zmrtest::CertSpec ec = zmrtest::merchantSignSpec();
  ec.keyType = "ec";
  zmrtest::MerchantFiles eckey =
      zmrtest::writeMerchantFiles("signdata-ec", zmrtest::makeMerchantPki(2, zmrtest::merchantAuthSpec(), ec));
  int a = session(normal), b = session(signonly), c = session(eckey);
  struct Case {
    int session;
    int certtype;
    int code;
    const char* line;
  } cases[] = {
      {a, 2, 4001, "signdata_signdata: The requested certificate type is neither SIGNING nor AUTHENTICATION\n"},
      {a, -1, 4001, "signdata_signdata: The requested certificate type is neither SIGNING nor AUTHENTICATION\n"},
      {b, 1, 2043,
       "signdata_signdata: An error occured trying to get the merchants auth certificate from sessionstore\n"},
      {c, 0, 4007, "signdata_signdata: An error occured calling EVP_SignFinal\n"},
      {999, 0, 2009, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "session " << k.session << " certtype " << k.certtype);
    zmr::setlasterror(k.session, "stale line\n");
    std::string out = "previous";
    EXPECT_EQ(k.code, zmr::signdata(k.session, "data", out, static_cast<zmr::KeyRole>(k.certtype), zmr::ChannelNonce::with));
    EXPECT_EQ("", out);
    std::string error = takeError();
    if (k.code == 2009) {
      EXPECT_EQ("stale line\n", error) << "an invalid session must not touch the recent error";
    } else {
      EXPECT_EQ(k.line, error);
    }
  }
  // The sign-only merchant still signs with its signing key, with SHA-256.
  std::string out;
  ASSERT_EQ(0, zmr::signdata(b, "data", out, zmr::KeyRole::signing, zmr::ChannelNonce::with)) << takeError();
  zmr::Pkcs7Ptr p7 = parse(out);
  ASSERT_TRUE(p7);
  expectShape(p7.get(), signonly.pki.merchantSign.get(), EVP_sha256());
}

}  // namespace
