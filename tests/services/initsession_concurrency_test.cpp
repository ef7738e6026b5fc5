// Several threads set up client sessions at once on one merchant session,
// each with its own request options, against one stand-in.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "services/initsession/initsessionops.h"
#include "services/life/lifeops.h"
#include "services/items/itemsops.h"
#include "support/sdmstandin.h"

namespace zmr {
namespace {

TEST(InitSessionConcurrency, ThreadsShareTheMerchantSession) {
  ASSERT_TRUE(zmrtest::devCentralKey(1)) << "the build has no development central keys (cmake/centralkeys.cmake)";
  ASSERT_EQ(0, initialize(nullptr));
  zmrtest::SdmSetup setup = zmrtest::makeSdmSetup("initsession-threads", 1);
  int session = -1;
  const zmrtest::MerchantFiles& m = setup.merchant;
  ASSERT_EQ(0, opensession(session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, -1));
  // Each thread's own merchantUrl comes back as its tid.
  setup.sdm->answer([](const zmrtest::SdmRequest& r) {
    zmrtest::tx::Form payload = zmrtest::SdmStandin::goodPayload(r);
    payload[2].second = r.field("merchantUrl").value_or("");
    return zmrtest::SdmStandin::reply(r, payload);
  });
  constexpr int kThreads = 4, kRounds = 3;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string url = "https://shop" + std::to_string(t) + ".test/";
      setinfoitem(session, "merchantUrl", url);
      for (const auto& [k, v] : zmrtest::initSessionItems()) setinfoitem(session, k, v);
      for (int r = 0; r < kRounds; ++r) {
        std::optional<std::string> cdmuri, tid, cid;
        if (initsession(session, cdmuri, tid, cid) != 0 || tid != url) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  std::set<std::string> nonces;
  for (const auto& r : setup.sdm->requests()) nonces.insert(r.field("nonce").value_or(""));
  EXPECT_EQ(static_cast<size_t>(kThreads * kRounds), nonces.size());
  finalize();
}

}  // namespace
}  // namespace zmr
