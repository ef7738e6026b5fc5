// Library life and merchant sessions, driven the way a merchant does:
// through the exported functions only.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zmr/zmr.h>

#include <string>

#include "support/apitest.h"
#include "support/merchant.h"

namespace {

struct Life : ::testing::Test {
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }
};

TEST_F(Life, StartAndStopAreIdempotentAndRepeatable) {
  EXPECT_EQ(zmr_finalize(), 0);  // without start-up
  ASSERT_EQ(zmr_initialize(), 0);
  EXPECT_EQ(zmr_initialize(), 0);
  // Already started: the driver is loaded now, and this one cannot be.
  EXPECT_EQ(zmr_hsminitialize("/no/such/driver.so"), 25001);
  EXPECT_EQ(zmr_finalize(), 0);
  EXPECT_EQ(zmr_finalize(), 0);
  ASSERT_EQ(zmr_initialize(), 0);
  char* v = nullptr;
  EXPECT_EQ(zmr_getversioninfo(&v), 0);
  EXPECT_EQ(0, zmr_free(v));
}

TEST_F(Life, AFailedStartLeavesTheLibraryStopped) {
  // Core dumps are switched off only by a start that succeeds.
  struct rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &before), 0);
  if (before.rlim_max > 0) {
    before.rlim_cur = before.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &before), 0);
  }
  EXPECT_EQ(zmr_hsminitialize("/no/such/driver.so"), 25001);
  struct rlimit after;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &after), 0);
  EXPECT_EQ(after.rlim_cur, before.rlim_cur);
  EXPECT_EQ(after.rlim_max, before.rlim_max);
  // Not started: a plain start now runs from the beginning.
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-failedstart");
  int s = -1;
  EXPECT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
}

TEST_F(Life, OpensFromFileAndFromArgumentsAndDescribesTheSession) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-open", 2);
  int a = -1, b = -1;
  ASSERT_EQ(zmr_opensession(&a, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  ASSERT_EQ(zmr_opensession(&b, m.keyfile.c_str(), m.password.c_str(), nullptr, "shop.example.com, 127.0.0.1",
                            "ignored", m.truststore.c_str(), "2.999.10.1.16.1.1.1, 2.999.10.1.16.1.2.1", nullptr,
                            nullptr),
            0)
      << zmrtest::recentError();
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  sessionstoreinfo* info = nullptr;
  ASSERT_EQ(zmr_getsessionstoreinfo(b, &info), 0) << zmrtest::recentError();
  EXPECT_EQ(info->sessionid, 1);
  EXPECT_EQ(info->environment, 2);
  EXPECT_STREQ(info->grantedpolicies, "2.999.10.1.16.1.1.1, 2.999.10.1.16.1.2.1");
  EXPECT_EQ(info->next, nullptr);
  unsigned char* der = nullptr;
  uint64_t length = 0;
  ASSERT_EQ(zmr_base64decode(b, info->authcertificate, &der, &length), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(der), length), zmrtest::toDer(m.pki.merchantAuth.get()));
  EXPECT_EQ(0, zmr_free(der));
  EXPECT_EQ(zmr_freesessionstoreinfo(b, info), 0);
  EXPECT_EQ(zmr_closesession(a), 0);
  EXPECT_EQ(zmr_closesession(a), 2009);
  int c = -1;
  ASSERT_EQ(zmr_opensession(&c, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(c, 0);  // the released number comes back first
}

TEST_F(Life, ADescriptionOutlivingItsSessionIsStillReleased) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-info");
  int s = -1;
  ASSERT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0);
  sessionstoreinfo* info = nullptr;
  ASSERT_EQ(zmr_getsessionstoreinfo(s, &info), 0);
  ASSERT_EQ(zmr_closesession(s), 0);
  EXPECT_EQ(zmr_freesessionstoreinfo(s, info), 2009);  // and freed: the leak checker holds us to it
}

TEST_F(Life, MandatoryValuesAreValidatedWithTheirMessages) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-validate");
  struct Case {
    const char* webaddress;
    const char* policies;
    int code;
    const char* message;
  } cases[] = {
      {"shop.example.com,10.0.0.1", "ALL", 0, ""},
      {"  shop.example.com , 10.0.0.1 ,10.0.0.2", "all", 0, ""},
      {"shop.example.com", "ALL", 28002, "IP address(es) for the hostname is missing.\n"},
      {"shop.example.com,", "ALL", 28002, "contains empty IP address(es).\n"},
      {"shop.example.com,10.0.0.1,,", "ALL", 28002, "contains empty IP address(es).\n"},
      {"shop.example.com,shop.example.com", "ALL", 28002, "is repeated in the same parameter."},
      {"LOCALHOST.example.com,10.0.0.1", "ALL", 28003, "is set to \"localhost\"."},
      {"-shop.example.com,10.0.0.1", "ALL", 28004, "does not contain a valid hostname\n"},
      {"shop..example.com,10.0.0.1", "ALL", 28004, "does not contain a valid hostname\n"},
      {"shop.example.com.,10.0.0.1", "ALL", 28004, "does not contain a valid hostname\n"},
      {"", "ALL", 28001, "\"webaddress\" is present but empty\n"},
      {"  ,10.0.0.1", "ALL", 28001, "\"webaddress\" is present but empty\n"},
      {"shop.example.com,10.0.0.1", "", 28001, "\"grantedpolicies\" is present but empty\n"},
      {"shop.example.com,10.0.0.1", "ALL,2.999.1", 28002, "Insert only \"ALL\" or a commaseparated list of OIDs\n"},
  };
  for (const auto& c : cases) {
    zmrtest::recentError();
    int s = -1;
    int rc = zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), nullptr, c.webaddress, nullptr,
                             m.truststore.c_str(), c.policies, nullptr, nullptr);
    std::string text = zmrtest::recentError();
    EXPECT_EQ(rc, c.code) << c.webaddress << " / " << c.policies << ": " << text;
    EXPECT_NE(text.find(c.message), std::string::npos) << c.webaddress << ": " << text;
    if (rc == 0) {
      EXPECT_EQ(zmr_closesession(s), 0);
    } else {
      EXPECT_EQ(text.rfind("The ", 0), 0u) << "no prefix expected: " << text;
    }
  }
  // A failed opening leaves no session behind: the next one gets number 0.
  int s = -1;
  ASSERT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(s, 0);
}

TEST_F(Life, AWrongPasswordFailsAndItsTextStaysReadable) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-password");
  int s = 77;
  EXPECT_EQ(zmr_opensession(&s, m.keyfile.c_str(), "wrong", m.properties.c_str(), nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr),
            2046);
  EXPECT_EQ(s, 77);
  EXPECT_FALSE(zmrtest::recentError().empty());
}

TEST_F(Life, ShutdownClosesOpenSessions) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-shutdown");
  int s = -1;
  ASSERT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0);
  ASSERT_EQ(zmr_finalize(), 0);
  ASSERT_EQ(zmr_initialize(), 0);
  EXPECT_EQ(zmr_closesession(s), 2009);
  int again = -1;
  ASSERT_EQ(zmr_opensession(&again, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(again, 0);
}

TEST(LifeNotStarted, SessionsOpenOnlyWhileTheLibraryRuns) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("life-notstarted");
  auto open = [&](int& s) {
    return zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
  };
  int s = 77;
  EXPECT_EQ(open(s), ZMR_E_NOTINITIALIZED);
  EXPECT_EQ(s, 77);
  EXPECT_EQ(zmrtest::recentError(), "opensession_opensession: The library is not initialized.\n");
  EXPECT_EQ(zmr_rahsmopensession(&s, m.keyfile.c_str(), m.password.c_str(), "1234", -1), ZMR_E_NOTINITIALIZED);
  zmrtest::recentError();

  ASSERT_EQ(zmr_initialize(), 0);
  ASSERT_EQ(open(s), 0) << zmrtest::recentError();
  EXPECT_EQ(s, 0);
  ASSERT_EQ(zmr_finalize(), 0);
  EXPECT_EQ(open(s), ZMR_E_NOTINITIALIZED);
  EXPECT_EQ(zmr_closesession(0), 2009);  // nothing was opened behind the refusal
}

}  // namespace
