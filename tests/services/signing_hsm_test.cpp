// Signing in the HSM (SoftHSM2) with the very keys of the key file: the
// signatures must be the software ones byte for byte, and real tools must
// accept them.
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "signingtest.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "support/softhsm.h"

using namespace signingtest;

namespace {

constexpr const char* kPin = "1234";

class HsmSigning : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zmrtest::makeSoftHsm("signing-hsm", hsm));
    ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", kPin)) << hsm.log;
  }
  void TearDown() override { zmr::finalize(); }

  // Puts the merchant's keys into the token under labels ending in tag and
  // writes a key file of each kind.
  void addMerchant(const std::string& tag, const zmrtest::TestPki& pki, zmrtest::MerchantFiles& software,
                   zmrtest::MerchantFiles& hardware, const std::string& authlabel = "") {
    std::string sign = "sign-" + tag, auth = authlabel.empty() ? "auth-" + tag : authlabel;
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, pki.merchantSign.key.get(), "sign-" + tag,
                                   std::to_string(10 + ids)))
        << hsm.log;
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, pki.merchantAuth.key.get(), "auth-" + tag,
                                   std::to_string(11 + ids)))
        << hsm.log;
    ids += 2;
    software = zmrtest::writeMerchantFiles("signing-sw-" + tag, pki);
    hardware = zmrtest::writeMerchantFiles("signing-hw-" + tag, pki, [&](zmrtest::KeyFileSpec& spec) {
      spec.safes = zmrtest::hsmKeyFile(pki, software.password, auth, sign).safes;
    });
  }
  void start() { ASSERT_EQ(0, zmr::initialize(zmrtest::kSoftHsmModule)); }

  zmrtest::SoftHsm hsm;
  int ids = 0;
};

TEST_F(HsmSigning, SameKeyGivesTheSameBytesAsSoftware) {
  zmrtest::CertSpec smallauth = zmrtest::merchantAuthSpec();
  smallauth.keyBits = 1024;
  struct Case {
    std::string tag;
    zmrtest::TestPki pki;
    const char* digest;
  } cases[] = {
      {"2048", zmrtest::makePki(2), "sha256"},
      {"1024", zmrtest::makeMerchantPki(2, smallauth, zmrtest::merchantSignSpec()), "sha1"},
  };
  zmrtest::MerchantFiles sw[2], hw[2];
  for (int i = 0; i < 2; ++i) addMerchant(cases[i].tag, cases[i].pki, sw[i], hw[i]);
  start();
  const std::string data = "pay 100 to account 1234.56.78903";
  for (int i = 0; i < 2; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.tag);
    int soft = -1, hard = -1;
    ASSERT_EQ(0, open(sw[i], soft)) << takeError();
    ASSERT_EQ(0, open(hw[i], hard, kPin)) << takeError();
    uint64_t context = 0;
    zmr::gethsm_sessioncontext(*zmrtest::sessionState(hard), &context);
    ASSERT_NE(0u, context) << "not an HSM session";

    // Without signing time a SignedData is deterministic.
    ASSERT_EQ(0, zmr::setinfoitem(soft, "cmsFormat", "PKCS7_ISO320001"));
    for (int nonce : {0, 1}) {
      std::string a, b;
      ASSERT_EQ(0, zmr::signdata(soft, data, a, zmr::KeyRole::signing, static_cast<zmr::ChannelNonce>(nonce))) << takeError();
      ASSERT_EQ(0, zmr::signdata(hard, data, b, zmr::KeyRole::signing, static_cast<zmr::ChannelNonce>(nonce))) << takeError();
      EXPECT_EQ(a, b) << "nonce " << nonce;
    }
    ASSERT_EQ(0, zmr::removeinfoitems(soft));
    for (int certtype : {0, 1}) {
      SCOPED_TRACE(certtype);
      const zmrtest::TestCert& cert = certtype == 0 ? c.pki.merchantSign : c.pki.merchantAuth;
      std::string a, b, log;
      ASSERT_EQ(0, zmr::signdatap1(soft, data, a, static_cast<zmr::KeyRole>(certtype))) << takeError();
      ASSERT_EQ(0, zmr::signdatap1(hard, data, b, static_cast<zmr::KeyRole>(certtype))) << takeError();
      EXPECT_EQ(a, b);
      EXPECT_TRUE(zmrtest::pkeyutlVerifies(b, data, cert.get(), c.digest, &log)) << log;
      // The default profile, with signing time, made in the HSM.
      ASSERT_EQ(0, zmr::signdata(hard, data, b, static_cast<zmr::KeyRole>(certtype), zmr::ChannelNonce::with)) << takeError();
      EXPECT_TRUE(zmrtest::cmsVerifies(b, data, {c.pki.root.get()}, &log)) << log;
      zmr::Pkcs7Ptr p7 = parse(b);
      ASSERT_TRUE(p7);
      EXPECT_EQ(signingCertValue(cert.get()), attributeDer(signer(p7.get()), kOtherSigningCert));
    }
    std::string a, b;
    int days = 0;
    const std::string order = "<order><sum>100</sum></order>";
    ASSERT_EQ(0, zmr::createxmldsig(soft, order, a, days)) << takeError();
    ASSERT_EQ(0, zmr::createxmldsig(hard, order, b, days)) << takeError();
    EXPECT_EQ(a, b);
    std::string log;
    EXPECT_TRUE(zmrtest::xmlsecVerifies(b, {c.pki.root.get()}, {c.pki.ca.get()}, &log)) << log;
  }
}

TEST_F(HsmSigning, KeyMissingFromTheTokenFailsAfterTheModulesLines) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::MerchantFiles sw, hw;
  addMerchant("missing", pki, sw, hw, "no-such-label");
  start();
  int s = -1;
  ASSERT_EQ(0, open(hw, s, kPin)) << takeError();
  struct Case {
    bool pkcs1;
    int certtype;
    int code;
    const char* last;
  } cases[] = {
      {false, 1, 4009, "signdata_signdata: An error occured signing the data with HSM private keys\n"},
      {true, 1, 4009, "signdatap1_signdatap1: An error occured signing the data with HSM private keys\n"},
      {false, 2, 4001, "signdata_signdata: The requested certificate type is neither SIGNING nor AUTHENTICATION\n"},
      {true, 2, 29007,
       "signdatap1_signdatap1: The requested certificate type is neither signing nor authentication.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pkcs1 << " " << c.certtype);
    std::string out;
    int rc = c.pkcs1 ? zmr::signdatap1(s, "data", out, static_cast<zmr::KeyRole>(c.certtype)) : zmr::signdata(s, "data", out, static_cast<zmr::KeyRole>(c.certtype), zmr::ChannelNonce::with);
    EXPECT_EQ(c.code, rc);
    EXPECT_EQ("", out);
    std::string error = takeError();
    ASSERT_GE(error.size(), std::string(c.last).size());
    EXPECT_EQ(c.last, error.substr(error.size() - std::string(c.last).size())) << error;
    if (c.code == 4009) {
      EXPECT_EQ(0u, error.rfind("hsmclient_", 0)) << "the module's lines come first: " << error;
    } else {
      EXPECT_EQ(c.last, error);
    }
  }
  // The signing key is there: signing still works.
  std::string out;
  EXPECT_EQ(0, zmr::signdata(s, "data", out, zmr::KeyRole::signing, zmr::ChannelNonce::with)) << takeError();
}

}  // namespace
