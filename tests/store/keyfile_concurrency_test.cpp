// Sessions opened on many threads at once: the private PKCS#12 context is
// made on first use by whichever thread comes first, and each load touches
// only its own session.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store/loaders/configuration.h"
#include "store/loaders/keyfile.h"
#include "store/sessionstore.h"
#include "support/keyfiles.h"
#include "support/pki.h"
#include "support/tempdir.h"

namespace zmr {
namespace {

TEST(KeyFileConcurrency, SessionsLoadInParallel) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  std::string dir = zmrtest::makeTempDir("keyfile-concurrency");
  std::string trust = dir + "/trust";
  ASSERT_EQ(mkdir(trust.c_str(), 0755), 0);
  ASSERT_TRUE(zmrtest::writeTrustStore(trust, pki.caCerts()));
  const std::string files[] = {dir + "/modern.p12", dir + "/legacy.p12", dir + "/hsm.p12"};
  ASSERT_TRUE(zmrtest::writeKeyFile(files[0], zmrtest::merchantKeyFile(pki, "pw")));
  ASSERT_TRUE(zmrtest::writeKeyFile(files[1], zmrtest::merchantKeyFile(pki, "pw", zmrtest::Encryption::Legacy)));
  ASSERT_TRUE(zmrtest::writeKeyFile(files[2], zmrtest::hsmKeyFile(pki, "pw", "a", "s")));

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        PendingSession session;
        if (session.open() != 0 ||
            loadproperties(session.state(), "host,ip", trust.c_str(), "ALL", nullptr, nullptr, nullptr) != 0) {
          ++failures;
          continue;
        }
        int kind = (t + round) % 3;
        if (loadkeyfile(session.state(), files[kind].c_str(), "pw", kind == 2) != 0) {
          ++failures;
          continue;
        }
        X509* cert = nullptr;
        if (getsigncert(session.state(), &cert) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  freeSessions();
}

}  // namespace
}  // namespace zmr
