// A bounded load of transaction initialisations from many threads at once:
// each thread has its own client and its own items and runs
// authentications and multi-document signings on one merchant session;
// every answer must open under its own request's key and pass its client's
// checks. Bounded in count and time; run under the thread sanitizer too.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/apitest.h"
#include "support/merchant.h"
#include "support/txclient.h"

namespace {

using zmrtest::Carrier;
using zmrtest::MerchantItems;
using zmrtest::TxDocument;

constexpr int kThreads = 8;
constexpr int kRounds = 12;  // authentication and signing per thread, at most
constexpr auto kTimeLimit = std::chrono::seconds(20);

TEST(InitTransactionLoad, ThreadsEachAnswerTheirOwnClients) {
  zmr::EvpPkeyPtr coi = zmrtest::devCoiKey(2);
  if (!coi) GTEST_SKIP() << "built with ZMR_CENTRAL_KEYS_DIR: no development COI key";
  ASSERT_EQ(0, zmr_initialize());
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("inittx-load", 2);
  int session = -1;
  ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr))
      << zmrtest::recentError();

  const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
  std::mutex lock;
  std::vector<std::string> failures;
  std::atomic<int> authentications{0}, signings{0};
  auto work = [&](int n) {
    const std::string me = std::to_string(n);
    zmrtest::TxClient client(m.pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(2));
    MerchantItems auth;
    auth.traceId = "trace-" + me;
    auth.optional = {{"userID", "user-" + me}};
    auth.channel = {{"c_thread", me}};
    MerchantItems sign = auth;
    sign.documents = {{TxDocument::text, "contract of thread " + me, "", "Avtale " + me},
                      {TxDocument::xml, "<order thread=\"" + me + "\"/>", "<xsl/>", "Ordre " + me}};
    auto fail = [&](const std::string& why) {
      std::lock_guard<std::mutex> guard(lock);
      failures.push_back("thread " + me + ": " + why);
    };
    auto once = [&](const char* operation, const MerchantItems& items, const std::string& clientInfo) {
      if (zmr_removeinfoitems(session) != 0 || items.apply(session) != 0) return fail("setting the items"), false;
      zmrtest::TxRequest r = client.request(
          operation, std::string(operation) == "initAuth" ? client.authFields(Carrier::nczmr20, clientInfo, *items.traceId)
                                                          : client.signFields(Carrier::nczmr20, clientInfo, *items.traceId));
      std::string answer;
      if (int rc = zmrtest::initTransaction(session, r, answer); rc != 0)
        return fail(std::string(operation) + " " + std::to_string(rc) + ": " + zmrtest::recentError()), false;
      zmrtest::TxAnswer a = client.check(r, answer, items);
      if (!a.ok) return fail(std::string(operation) + ": " + a.why), false;
      return true;
    };
    for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < deadline; ++round) {
      if (once("initAuth", auth, "2.0")) ++authentications;
      if (once("initSign", sign, "2.1")) ++signings;
    }
  };
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) threads.emplace_back(work, n);
  for (std::thread& t : threads) t.join();

  for (const std::string& f : failures) ADD_FAILURE() << f;
  std::printf("%d authentications, %d signings\n", authentications.load(), signings.load());
  EXPECT_GE(authentications.load(), kThreads);
  EXPECT_GE(signings.load(), kThreads);
  EXPECT_EQ(0, zmr_closesession(session));
  std::ignore = zmr_finalize();
}

}  // namespace
