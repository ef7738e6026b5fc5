#include "store/setup.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "services/life/lifeops.h"

namespace zmr {
namespace {

TEST(NamedMutexes, ExactNamesOnly) {
  for (const char* name : {"sessionstore", "certtools", "hsm_client", "verifydata", "gettag",
                           "assymetricdecrypt", "merchantreference"}) {
    EXPECT_EQ(aquiremutex(0, name), 0) << name;
    EXPECT_EQ(releasemutex(-1, name), 0) << name;
  }
  for (const char* name : {"SessionStore", "sessionstore ", "", "verify"}) {
    EXPECT_EQ(aquiremutex(0, name), 3004) << name;
    EXPECT_EQ(releasemutex(0, name), 3004) << name;
  }
  EXPECT_EQ(aquiremutex(0, nullptr), 3004);
}

TEST(NamedMutexes, RelockAndForeignUnlockFailInsteadOfHanging) {
  ASSERT_EQ(aquiremutex(0, "gettag"), 0);
  EXPECT_EQ(aquiremutex(0, "gettag"), 3002);
  int foreign = -1;
  std::thread([&] { foreign = releasemutex(0, "gettag"); }).join();
  EXPECT_EQ(foreign, 3003);
  EXPECT_EQ(releasemutex(0, "gettag"), 0);
}

TEST(NamedMutexes, SecondTakerWaitsForTheHolder) {
  std::atomic<bool> taken{false};
  ASSERT_EQ(aquiremutex(0, "certtools"), 0);
  std::thread other([&] {
    NamedLock lock(0, "certtools");
    taken = lock.ok();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(taken);
  EXPECT_EQ(releasemutex(0, "certtools"), 0);
  other.join();
  EXPECT_TRUE(taken);
}

TEST(Setup, ObjectIdentifiersSurviveReinitialisation) {
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(initstructures(), 0);
    EXPECT_NE(NID_pkcs9_randomNonce, NID_undef);
    EXPECT_EQ(OBJ_txt2nid("ZMR Channel"), NID_pkcs9_randomNonce);
    EXPECT_EQ(OBJ_txt2nid("1.2.840.113549.1.9.25.3"), NID_pkcs9_randomNonce);
    EXPECT_EQ(OBJ_txt2nid("1.2.840.113549.1.9.16.2.19"), NID_pkcs9_signerInfo);
    EXPECT_EQ(OBJ_txt2nid("1.2.840.113549.1.9.16.2.47"), NID_pkcs9_signerInfoV2);
    int first = NID_pkcs9_randomNonce;
    ASSERT_EQ(deinitstructures(), 0);
    ASSERT_EQ(initstructures(), 0);
    EXPECT_EQ(NID_pkcs9_randomNonce, first);
    ASSERT_EQ(deinitstructures(), 0);
  }
}

TEST(Setup, CoreDumpsOffAfterStartUp) {
  ASSERT_EQ(initialize(nullptr), 0);
  struct rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &lim), 0);
  EXPECT_EQ(lim.rlim_cur, 0u);
  EXPECT_EQ(lim.rlim_max, 0u);
  EXPECT_EQ(finalize(), 0);
}

}  // namespace
}  // namespace zmr
