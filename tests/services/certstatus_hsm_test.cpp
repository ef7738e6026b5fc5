// The OCSP request signed in the HSM: SoftHSM2 with the merchant's own keys
// gives the request the validation authority sees from a software session
// (OpenSSL verifies its signature), and a module that fails to sign gives
// 4009 after its own lines.
#include "certstatustest.h"
#include "hsm/hsmtest.h"
#include "support/softhsm.h"
#include "support/storesession.h"
#include "zmr/zmr.h"

using namespace certstatustest;

namespace {

constexpr const char* kPin = "1234";
// writeMerchantFiles always uses this merchant password.
constexpr const char* kMerchantPassword = "merchant-secret";

zmrtest::VaSetup hsmSetup(const std::string& tag, const zmrtest::TestPki& pki, const std::string& signLabel) {
  return zmrtest::makeVaSetup(tag, pki, true, {}, [&](zmrtest::KeyFileSpec& spec) {
    spec.safes = zmrtest::hsmKeyFile(pki, kMerchantPassword, "auth-" + tag, signLabel).safes;
  });
}

TEST(CertStatusHsm, SoftHsmSignsTheRequestsOfBothKeySizes) {
  zmrtest::SoftHsm hsm;
  ASSERT_TRUE(zmrtest::makeSoftHsm("cs-hsm", hsm));
  ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", kPin)) << hsm.log;
  zmrtest::CertSpec small = zmrtest::merchantAuthSpec();
  small.keyBits = 1024;
  struct Case {
    std::string tag;
    zmrtest::TestPki pki;
    const char* algorithm;
  } cases[] = {
      {"cs-hsm-2048", zmrtest::makePki(2), kSha256WithRsa},
      {"cs-hsm-1024", zmrtest::makeMerchantPki(2, small, zmrtest::merchantSignSpec()), kSha1WithRsa},
  };
  int id = 20;
  for (const Case& c : cases) {
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, c.pki.merchantSign.key.get(), "sign-" + c.tag,
                                   std::to_string(id++)))
        << hsm.log;
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, c.pki.merchantAuth.key.get(), "auth-" + c.tag,
                                   std::to_string(id++)))
        << hsm.log;
  }
  ASSERT_EQ(0, zmr::initialize(zmrtest::kSoftHsmModule));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    zmrtest::VaSetup setup = hsmSetup(c.tag, c.pki, "sign-" + c.tag);
    int s = -1;
    ASSERT_EQ(0, zmr::opensession(s, setup.merchant.keyfile.c_str(), kMerchantPassword,
                                  setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, kPin,
                                  -1))
        << takeError();
    uint64_t context = 0;
    zmr::gethsm_sessioncontext(*zmrtest::sessionState(s), &context);
    ASSERT_NE(0u, context) << "not an HSM session";
    ASSERT_EQ(0, zmr::removeinfoitems(s));

    // Every extension, over TLS, about the end user.
    for (const auto& [k, v] : zmrtest::Properties{{"operation", "verifySign"},
                                                  {"ocspFormat", "OCSP_RFC6960_COMPATIBLE"},
                                                  {"addsocialno", "true"},
                                                  {"traceId", "hsm"}})
      ASSERT_EQ(0, zmr::setinfoitem(s, k, v));
    Outcome o = call(s, zmrtest::endUserPkcs7(c.pki));
    EXPECT_EQ(0, o.rc) << o.error;
    ASSERT_EQ(1u, setup.va->requests().size());
    zmrtest::VaRequest r = setup.va->requests()[0];
    EXPECT_EQ((std::vector<std::string>{zmrtest::kOidWanted, zmrtest::kOidBilling, zmrtest::kOidRfc6960Flag}),
              checkRequest(r, c.pki, c.pki.endUser.get(), c.algorithm));
    EXPECT_EQ("2.999.10.1.16.3.2", r.extension(zmrtest::kOidWanted).value_or(""));
    EXPECT_EQ(r.extension(zmrtest::kOidBilling), o.nonce);
    EXPECT_EQ(";hsm", o.nonce.value_or("").substr(o.nonce.value_or("").size() - 4));

    // The merchant's own certificate through the exported function.
    ASSERT_EQ(0, zmr::removeinfoitems(s));
    char* ocsp = nullptr;
    EXPECT_EQ(0, zmr_getowncertstatus(s, &ocsp)) << takeError();
    EXPECT_NE(nullptr, ocsp);
    EXPECT_EQ(0, zmr_free(ocsp));
    ASSERT_EQ(2u, setup.va->requests().size());
    EXPECT_EQ(std::vector<std::string>{zmrtest::kOidBilling},
              checkRequest(setup.va->requests()[1], c.pki, c.pki.merchantSign.get(), c.algorithm));
    EXPECT_EQ(0, zmr::closesession(s));
  }
  zmr::finalize();
}

TEST(CertStatusHsm, AModuleThatCannotSignGives4009) {
  hsmtest::FakeP11 fake;
  ASSERT_NE(nullptr, fake.handle);
  fake.reset(1);
  fake.addobject(0, "sign-fake", CKO_PRIVATE_KEY);
  fake.addobject(0, "auth-cs-fake", CKO_PRIVATE_KEY);
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::VaSetup setup = hsmSetup("cs-fake", pki, "sign-fake");
  ASSERT_EQ(0, zmr::initialize(fake.path.c_str()));
  int s = -1;
  ASSERT_EQ(0, zmr::opensession(s, setup.merchant.keyfile.c_str(), kMerchantPassword,
                                setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, kPin,
                                -1))
      << takeError();
  fake.setrv("C_Sign", CKR_DEVICE_ERROR);
  ASSERT_EQ(0, zmr::setinfoitem(s, "operation", "verifyAuth"));
  Outcome o = call(s, zmrtest::endUserPkcs7(pki));
  EXPECT_EQ(4009, o.rc);
  EXPECT_EQ(0u, o.error.rfind("hsmclient_", 0)) << "the module's lines come first: " << o.error;
  EXPECT_NE(std::string::npos,
            o.error.find("getcertstatus_signocsprequest: An error occured signing the data with HSM private keys\n"
                         "getcertstatus_getcertstatus: An error occured trying to sign the ocsp request with the "
                         "merchants own signing certificate.\n"))
      << o.error;
  EXPECT_TRUE(setup.va->requests().empty());
  EXPECT_EQ("", o.ocsp);
  zmr::removeinfoitems(s);
  zmr::finalize();
  fake.reset(0);
}

}  // namespace
