// Merchant sessions with the keys in an HSM (SoftHSM2), through the
// exported functions.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>

#include "support/apitest.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/softhsm.h"

namespace {

struct HsmLife : ::testing::Test {
  void SetUp() override {
    m = zmrtest::makeMerchantFiles("hsmlife");
    ASSERT_TRUE(zmrtest::makeSoftHsm("hsmlife", hsm));
    ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234"));
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", m.pki.merchantAuth.key.get(), "authkey", "01"));
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", m.pki.merchantSign.key.get(), "signkey", "02"));
    hsmkeyfile = m.dir + "/hsm.p12";
    ASSERT_TRUE(zmrtest::writeKeyFile(hsmkeyfile, zmrtest::hsmKeyFile(m.pki, m.password, "authkey", "signkey")));
    ASSERT_EQ(zmr_hsminitialize(zmrtest::kSoftHsmModule), 0);
  }
  void TearDown() override { EXPECT_EQ(zmr_finalize(), 0); }
  zmrtest::MerchantFiles m;
  zmrtest::SoftHsm hsm;
  std::string hsmkeyfile;
};

TEST_F(HsmLife, OpensFindsTheSlotByLabelAndCloses) {
  int s = -1;
  ASSERT_EQ(zmr_hsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, "1234", -1),
            0)
      << zmrtest::recentError();
  sessionstoreinfo* info = nullptr;
  ASSERT_EQ(zmr_getsessionstoreinfo(s, &info), 0) << zmrtest::recentError();
  EXPECT_EQ(info->environment, 1);
  EXPECT_EQ(0, zmr_freesessionstoreinfo(s, info));
  EXPECT_EQ(zmr_closesession(s), 0);
}

TEST_F(HsmLife, ADriverAskedForAfterAPlainStartIsLoadedThen) {
  ASSERT_EQ(zmr_finalize(), 0);
  ASSERT_EQ(zmr_initialize(), 0);
  int s = -1;
  EXPECT_EQ(zmr_hsminitialize("/no/such/driver.so"), 25001);
  // Still running, without a driver.
  ASSERT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  EXPECT_EQ(zmr_closesession(s), 0);
  EXPECT_NE(zmr_rahsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), "1234", -1), 0);
  ASSERT_EQ(zmr_hsminitialize(zmrtest::kSoftHsmModule), 0);
  ASSERT_EQ(zmr_rahsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), "1234", -1), 0) << zmrtest::recentError();
  EXPECT_EQ(zmr_closesession(s), 0);
  // The driver loaded stays.
  EXPECT_EQ(zmr_hsminitialize("/no/such/driver.so"), 0);
  ASSERT_EQ(zmr_rahsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), "1234", -1), 0) << zmrtest::recentError();
  EXPECT_EQ(zmr_closesession(s), 0);
}

TEST_F(HsmLife, WithoutConfigurationThereIsNothingToDescribe) {
  int s = -1;
  ASSERT_EQ(zmr_rahsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), "1234", -1), 0) << zmrtest::recentError();
  sessionstoreinfo* info = nullptr;
  EXPECT_EQ(zmr_getsessionstoreinfo(s, &info), 2004);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(zmr_closesession(s), 0);
}

TEST_F(HsmLife, FailedOpeningsLeaveNothingOpen) {
  int s = -1;
  int rc = zmr_rahsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), "0000", -1);
  EXPECT_GE(rc, 25000);
  EXPECT_LT(rc, 26000);
  // A validation failure after a successful login closes that login too.
  EXPECT_EQ(zmr_hsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), nullptr, "shop.example.com", nullptr,
                               m.truststore.c_str(), "ALL", nullptr, nullptr, "1234", -1),
            28002);
  // A software key file has no HSM labels.
  EXPECT_EQ(zmr_rahsmopensession(&s, m.keyfile.c_str(), m.password.c_str(), "1234", -1), 2038);
  ASSERT_EQ(zmr_rahsmopensession(&s, hsmkeyfile.c_str(), m.password.c_str(), "1234", -1), 0) << zmrtest::recentError();
  EXPECT_EQ(s, 0);  // every failed opening gave its number back
  EXPECT_EQ(zmr_closesession(s), 0);
}

}  // namespace
