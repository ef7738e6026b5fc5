// Closing a merchant session whose keys are in the HSM while a call still
// holds it: the number is free at once, and the HSM session ends (with the
// logout rule of the slot) when the last holder lets go.
#include <gtest/gtest.h>

#include "hsmtest.h"
#include "services/life/lifeops.h"
#include "support/keyfiles.h"
#include "support/merchant.h"

using hsmtest::FakeP11;
using hsmtest::takeError;

namespace {

constexpr const char* kPin = "1234";

struct ClosingHsmSessions : hsmtest::Test {
  void SetUp() override {
    hsmtest::Test::SetUp();
    ASSERT_NE(nullptr, fake.handle);
    fake.reset(2);
    fake.addobject(1, "signkey", CKO_PRIVATE_KEY);
    fake.addobject(1, "authkey", CKO_PRIVATE_KEY);
    m = zmrtest::makeMerchantFiles("hsm-sessionclose");
    hsmkeyfile = m.dir + "/hsm.p12";
    ASSERT_TRUE(zmrtest::writeKeyFile(hsmkeyfile, zmrtest::hsmKeyFile(m.pki, m.password, "authkey", "signkey")));
    ASSERT_EQ(0, zmr::initialize(fake.path.c_str()));
  }
  void TearDown() override {
    EXPECT_EQ(0, zmr::finalize());
    fake.reset(0);
    hsmtest::Test::TearDown();
  }
  int open() {
    int n = -1;
    EXPECT_EQ(0, zmr::opensession(n, hsmkeyfile.c_str(), m.password.c_str(), nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, kPin, -1))
        << takeError();
    logoutsbefore = fake.calls("C_Logout");  // the slot search's own
    return n;
  }
  // Logouts of merchant sessions since the last opening.
  unsigned long logouts() { return fake.calls("C_Logout") - logoutsbefore; }

  FakeP11 fake;
  zmrtest::MerchantFiles m;
  std::string hsmkeyfile;
  unsigned long logoutsbefore = 0;
};

TEST_F(ClosingHsmSessions, TheLastHolderEndsTheHsmSession) {
  int first = open();
  zmr::SessionRef held;  // a call in flight
  ASSERT_EQ(0, zmr::usesession(first, held));
  uint64_t handle = 0;
  zmr::gethsm_sessioncontext(*held, &handle);
  ASSERT_NE(0u, handle);

  EXPECT_EQ(0, zmr::closesession(first));  // does not wait for the holder
  EXPECT_EQ(2009, zmr::checksessionvalidity(first));
  EXPECT_EQ(0u, logouts());
  EXPECT_EQ(1u, fake.opensessions());
  EXPECT_EQ(1, fake.loggedin(1));

  // The number serves a new session at once, on the same slot.
  int second = open();
  EXPECT_EQ(first, second);
  EXPECT_EQ(2u, fake.opensessions());

  // The old session's end keeps the login: the new one uses the slot.
  held.reset();
  EXPECT_EQ(1u, fake.opensessions());
  EXPECT_EQ(0u, logouts());
  EXPECT_EQ(1, fake.loggedin(1));

  // With nothing in flight, closing logs out itself.
  EXPECT_EQ(0, zmr::closesession(second));
  EXPECT_EQ(1u, logouts());
  EXPECT_EQ(0u, fake.opensessions());
  EXPECT_EQ(0, fake.loggedin(1));
}

TEST_F(ClosingHsmSessions, AHolderThatOutlivesEveryOtherSessionLogsOut) {
  int n = open();
  zmr::SessionRef held;
  ASSERT_EQ(0, zmr::usesession(n, held));
  EXPECT_EQ(0, zmr::closesession(n));
  EXPECT_EQ(0u, logouts());
  held.reset();
  EXPECT_EQ(1u, logouts());
  EXPECT_EQ(0u, fake.opensessions());
  EXPECT_EQ("", takeError());  // the holder's call is not blamed for it
}

TEST_F(ClosingHsmSessions, AFailedLogoutWithNothingInFlightLeavesTheSessionOpen) {
  int n = open();
  fake.setrv("C_Logout", CKR_DEVICE_ERROR);
  EXPECT_EQ(25013, zmr::closesession(n));
  takeError();
  zmr::SessionRef still;
  ASSERT_EQ(0, zmr::usesession(n, still));
  uint64_t handle = 0;
  zmr::gethsm_sessioncontext(*still, &handle);
  EXPECT_NE(0u, handle);
  still.reset();
  fake.clearrv("C_Logout");
  EXPECT_EQ(0, zmr::closesession(n));
  EXPECT_EQ(0u, fake.opensessions());
}

}  // namespace
