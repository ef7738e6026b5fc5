// Several threads ask about certificates at once on one merchant session,
// each with its own request options: every request carries the thread's
// own billing text, and the additional information lands in the thread
// that asked.
#include <atomic>
#include <thread>
#include <vector>

#include "certstatustest.h"

using namespace certstatustest;

namespace {

TEST(CertStatusConcurrency, ThreadsShareTheMerchantSession) {
  ASSERT_EQ(0, zmr::initialize(nullptr));
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::VaSetup setup = zmrtest::makeVaSetup("cs-threads", pki, true);
  int session = -1;
  ASSERT_EQ(0, zmr::opensession(session, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                                setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, -1));
  // The account number given back is the trace id of the request.
  setup.va->answer([&](const zmrtest::VaRequest& r) {
    zmrtest::OcspSpec spec = setup.va->goodSpec(r);
    std::string billing = r.extension(zmrtest::kOidBilling).value_or("");
    spec.extensions = {zmrtest::additionalStatus(zmrtest::kOidAccountNo, "ok"),
                       zmrtest::additionalData(zmrtest::kOidAccountNo, billing.substr(billing.rfind(';') + 1))};
    return zmrtest::VaStandin::reply(spec);
  });
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  constexpr int kThreads = 4, kRounds = 3;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        std::string trace = "thread" + std::to_string(t) + "-" + std::to_string(r);
        zmr::removeinfoitems(session);
        zmr::setinfoitem(session, "operation", r % 2 == 0 ? "verifyAuth" : "verifySign");
        zmr::setinfoitem(session, "traceId", trace);
        bool own = t % 2 == 1 && r == 0;
        Outcome o = call(session, own ? std::nullopt : std::optional<std::string>(pkcs7));
        if (o.rc != 0 || o.ocsp.empty() || o.nonce.value_or("").find(";" + trace) == std::string::npos ||
            item(session, "accountno") != trace || item(session, "vaperf") == "<absent>") {
          ADD_FAILURE() << trace << ": " << o.rc << " " << o.error;
          ++failures;
        }
      }
      zmr::removeinfoitems(session);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(static_cast<size_t>(kThreads * kRounds), setup.va->requests().size());
  zmr::finalize();
}

}  // namespace
