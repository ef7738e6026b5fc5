// Merchant references from many threads: a locale whose first fetch hangs
// at the gateway holds up only the callers of that locale, and every
// locale is fetched once however many ask for it at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "services/life/lifeops.h"
#include "store/threadstore.h"
#include "services/mobile/mobileops.h"
#include "support/mobilestandin.h"
#include "support/recenterror.h"

namespace zmr {
namespace {

using zmrtest::MobileGatewayStandin;

bool waitFor(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(MerchantReferenceThreads, AHeldLocaleHoldsUpOnlyItsOwnCallers) {
  ASSERT_EQ(0, initialize(nullptr));
  zmrtest::MobileSetup setup = zmrtest::makeMobileSetup("mref-threads", 2);
  int session = -1;
  ASSERT_EQ(0, opensession(session, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                           setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, -1))
      << zmrtest::takeRecentError();
  MobileGatewayStandin& gateway = *setup.gateway;
  gateway.setLists("en_GB", MobileGatewayStandin::wordList("en", 100), MobileGatewayStandin::wordList("gb", 100));
  gateway.setLists("nb_NO", MobileGatewayStandin::wordList("nb", 120), MobileGatewayStandin::wordList("no", 120));
  gateway.hold("nb_NO");

  constexpr int kPerLocale = 4;
  struct Result {
    int code = -1;
    std::string reference;
  };
  std::vector<Result> results(2 * kPerLocale);
  std::atomic<int> finished[2] = {0, 0};
  std::vector<std::thread> threads;
  auto start = [&](int locale, int index) {
    threads.emplace_back([&, locale, index] {
      Result& r = results[index];
      r.code = generatemerchantreference(session, locale == 0 ? "nb_NO" : "en_GB", r.reference);
      ++finished[locale];
    });
  };
  // The held locale's first fetch is at the gateway before anyone else
  // comes; the other callers of that locale must then wait for it.
  start(0, 0);
  ASSERT_TRUE(waitFor([&] { return gateway.waiting() == 1; }));
  for (int i = 1; i < kPerLocale; ++i) start(0, i);
  for (int i = 0; i < kPerLocale; ++i) start(1, kPerLocale + i);

  bool othersDone = waitFor([&] { return finished[1].load() == kPerLocale; });
  int heldDone = finished[0].load();
  int heldRequests = gateway.dictionaryRequests("nb_NO");
  gateway.release();
  for (std::thread& t : threads) t.join();

  EXPECT_TRUE(othersDone) << "en_GB callers waited for the held nb_NO fetch";
  EXPECT_EQ(0, heldDone);
  EXPECT_EQ(1, heldRequests);
  EXPECT_EQ(1, gateway.dictionaryRequests("nb_NO"));
  EXPECT_EQ(1, gateway.dictionaryRequests("en_GB"));
  for (int i = 0; i < 2 * kPerLocale; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(0, results[i].code);
    const char* prefix = i < kPerLocale ? "nb" : "en";
    EXPECT_EQ(0u, results[i].reference.rfind(prefix, 0)) << results[i].reference;
    EXPECT_NE(std::string::npos, results[i].reference.find(i < kPerLocale ? " no" : " gb")) << results[i].reference;
  }
  finalize();
}

// The fetch goes on with the session it started with when the merchant
// closes that session meanwhile, and later calls find it closed.
TEST(MerchantReferenceThreads, SessionClosedDuringAFetch) {
  ASSERT_EQ(0, initialize(nullptr));
  zmrtest::MobileSetup setup = zmrtest::makeMobileSetup("mref-close", 1);
  int session = -1;
  ASSERT_EQ(0, opensession(session, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                           setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, -1))
      << zmrtest::takeRecentError();
  MobileGatewayStandin& gateway = *setup.gateway;
  gateway.setLists("en_GB", MobileGatewayStandin::wordList("en", 100), MobileGatewayStandin::wordList("gb", 100));
  gateway.hold("en_GB");
  int code = -1;
  std::string reference;
  std::thread caller([&] { code = generatemerchantreference(session, "en_GB", reference); });
  bool arrived = waitFor([&] { return gateway.waiting() == 1; });
  EXPECT_EQ(0, closesession(session));
  gateway.release();
  caller.join();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(0, code);
  EXPECT_EQ(0u, reference.rfind("en", 0)) << reference;
  std::string again;
  EXPECT_EQ(2009, generatemerchantreference(session, "en_GB", again));
  finalize();
}

}  // namespace
}  // namespace zmr
