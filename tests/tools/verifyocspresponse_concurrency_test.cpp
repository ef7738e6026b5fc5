// Many threads verify OCSP answers against one session's trust store at
// once, with no lock of the library's around the verification.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/setup.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "support/fixtures.h"
#include "support/tempdir.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

TEST(VerifyOcspResponseConcurrency, ThreadsShareTheSessionStore) {
  ASSERT_EQ(initstructures(), 0);
  zmrtest::TestPki pki = zmrtest::makePki(2);
  std::string dir = zmrtest::makeTempDir("ocsp-threads");
  ASSERT_TRUE(zmrtest::writeTrustStore(dir, pki.caCerts()));
  X509_STORE* store = X509_STORE_new();
  ASSERT_EQ(X509_STORE_load_locations(store, nullptr, dir.c_str()), 1);
  int s = zmrtest::openStoreSession();
  zmrtest::sessionState(s)->truststore.reset(store);

  zmrtest::OcspSpec spec = zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get());
  const std::string good = zmrtest::makeOcspBasicDer(spec);
  spec.signer = &pki.endUser;  // refused: not the validation authority
  const std::string bad = zmrtest::makeOcspBasicDer(spec);

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        bool expectGood = (i + t) % 3 != 0;
        zmr::OcspBasicRespPtr basic = zmrtest::parseOcspBasic(expectGood ? good : bad);
        OcspSubject subject{pki.endUser.get(), pki.ca.get(), nullptr};
        OCSP_SINGLERESP* single = nullptr;
        int rc = verifyocspresponse(*zmrtest::sessionState(s), nullptr, basic.get(), subject, 0, OcspTime::live, &single);
        if ((rc == 0) != expectGood || (rc == 0) != (single != nullptr)) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  freesession(s);
}

}  // namespace
}  // namespace zmr
