// A bounded load of whole roads from many threads at once: each thread is
// the merchant's worker for an end user of its own and runs, on one
// merchant session, client session set-up, an authentication and a signing
// of two documents with client 2.1, each verified at the validation
// authority and answered. Every answer must pass its client's checks and
// every result must name the thread's own user. Loopback stand-ins over
// TLS; bounded in count and time; run under the thread sanitizer too. The
// throughput is printed beside OpenSSL's RSA-2048 rate on as many threads.
//
// A failure must keep its text even when the process does not get to the
// end of the test: a sanitizer that halts it, or a hang that has ctest kill
// it, would drop what sits in stdout's buffer. So every failure is written
// to stderr as it happens, stdout goes out line by line, and a watchdog
// names each thread's last finished step and aborts well before ctest's
// time limit.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/apitest.h"
#include "support/roadsetup.h"
#include "support/txclient.h"

namespace {

using zmrtest::Carrier;
using zmrtest::MerchantItems;
using zmrtest::TxDocument;

constexpr int kThreads = 8;
constexpr int kRounds = 10;  // authentication and signing per thread, at most
constexpr auto kTimeLimit = std::chrono::seconds(12);
// Far beyond a sound run (seconds, under the thread sanitizer too), and
// below the test's ctest time limit (300 s).
constexpr auto kWatchdog = std::chrono::seconds(240);
// Private-key operations of the merchant per round: set-up (1) and init (3)
// and verification (2) of the authentication; set-up (1), init (unwrap, two
// documents, coiData: 4) and verification (unwrap, two requests: 3) of the
// signing.
constexpr int kMerchantKeyOperations = 14;

// OpenSSL's RSA-2048 signatures per second on that many threads at once.
double opensslRate(EVP_PKEY* key, int threads) {
  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  auto work = [&] {
    const std::string data(64, 'd');
    unsigned char signature[512];
    while (!stop.load()) {
      EVP_MD_CTX* ctx = EVP_MD_CTX_new();
      size_t n = sizeof signature;
      if (ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
          EVP_DigestSign(ctx, signature, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1)
        ++done;
      EVP_MD_CTX_free(ctx);
    }
  };
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(work);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  stop = true;
  for (std::thread& t : pool) t.join();
  return done.load() / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Aborts the process, after printing each thread's last finished step,
// unless disarmed within the time limit.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : thread_([this, limit] { watch(limit); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  // What thread n finished last (a string literal).
  void step(int n, const char* what) { steps_[static_cast<size_t>(n)].store(what); }

 private:
  void watch(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    if (wake_.wait_for(guard, limit, [this] { return done_; })) return;
    std::fprintf(stderr, "The load did not end within %lld s. Last finished step per thread:\n",
                 static_cast<long long>(limit.count()));
    for (size_t n = 0; n < steps_.size(); ++n) std::fprintf(stderr, "  thread %zu: %s\n", n, steps_[n].load());
    std::fflush(stderr);
    std::abort();
  }

  std::mutex lock_;
  std::condition_variable wake_;
  bool done_ = false;
  std::array<std::atomic<const char*>, kThreads> steps_{};
  std::thread thread_;
};

TEST(VerifyTransactionLoad, EachThreadRunsTheWholeRoadForItsOwnUser) {
  if (!zmrtest::devCoiKey(1) || !zmrtest::devCentralKey(1))
    GTEST_SKIP() << "built with ZMR_CENTRAL_KEYS_DIR: no development keys";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ASSERT_EQ(0, zmr_initialize());
  zmrtest::RoadSetup road = zmrtest::makeRoadSetup("verifytx-load", 1);
  const zmrtest::TestPki& pki = road.merchant.pki;
  int session = -1;
  ASSERT_EQ(0, zmr_opensession(&session, road.merchant.keyfile.c_str(), road.merchant.password.c_str(),
                               road.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      << zmrtest::recentError();
  std::vector<zmrtest::EndUser> users;
  for (int n = 0; n < kThreads; ++n)
    users.push_back(zmrtest::makeEndUser(pki, 20 + n, "Load User " + std::to_string(n)));
  const double openssl = opensslRate(pki.merchantAuth.key.get(), kThreads);

  std::mutex lock;
  std::vector<std::string> failures;
  std::atomic<int> authentications{0}, signings{0};
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + kTimeLimit;
  Watchdog watchdog(kWatchdog);
  for (int n = 0; n < kThreads; ++n) watchdog.step(n, "none");
  auto work = [&](int n) {
    const std::string me = std::to_string(n);
    const zmrtest::EndUser& user = users[n];
    zmrtest::TxClient client(pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(1));
    client.setUser(user);
    auto fail = [&](const std::string& why) {
      std::lock_guard<std::mutex> guard(lock);
      failures.push_back("thread " + me + ": " + why);
      std::fprintf(stderr, "%s\n", failures.back().c_str());
      return false;
    };
    auto call = [&](const char* what, int rc) {
      watchdog.step(n, what);
      return rc == 0 || fail(std::string(what) + " " + std::to_string(rc) + ": " + zmrtest::recentError(session));
    };
    auto signer = [&](const char* what, const std::string& pkcs7) {
      char* name = nullptr;
      if (!call(what, zmr_getpkcs7info(session, pkcs7.c_str(), ZMR_P7_COMMONNAME, &name))) return false;
      const std::string got = zmrtest::take(name);
      return got == user.name || fail(std::string(what) + " names \"" + got + "\"");
    };
    auto item = [&](const char* key, std::string& value) {
      char* text = nullptr;
      if (!call(key, zmr_getinfoitem(session, key, &text))) return false;
      value = zmrtest::take(text);
      return true;
    };
    // zmr_initsession, its tid as the trace id.
    auto setUp = [&](const char* action, std::string& tid) {
      char *cdmuri = nullptr, *t = nullptr, *cid = nullptr;
      bool ok = call("removeinfoitems", zmr_removeinfoitems(session));
      for (const auto& [k, v] : zmrtest::initSessionItems())
        if (ok && k != "action") ok = call("setinfoitem", zmr_setinfoitem(session, k.c_str(), v.c_str()));
      ok = ok && call("setinfoitem", zmr_setinfoitem(session, "action", action)) &&
           call("setinfoitem", zmr_setinfoitem(session, "clientVersion", "2.1")) &&
           (std::string(action) != "sign" ||
            call("setinfoitem", zmr_setinfoitem(session, "docDisplayMode", "interior"))) &&
           call("initsession", zmr_initsession(session, &cdmuri, &t, &cid));
      zmrtest::take(cdmuri);
      zmrtest::take(cid);
      tid = zmrtest::take(t);
      return ok && call("removeinfoitems", zmr_removeinfoitems(session));
    };
    // init and verification, answered and judged; check runs between.
    auto road = [&](const char* operation, const MerchantItems& items, const std::function<bool()>& check) {
      const bool auth = std::string(operation) == "initAuth";
      if (!call("apply", items.apply(session))) return false;
      zmrtest::TxRequest init =
          client.request(operation, auth ? client.authFields(Carrier::nczmr20, "2.1", *items.traceId)
                                         : client.signFields(Carrier::nczmr20, "2.1", *items.traceId));
      std::string answer;
      if (!call(operation, zmrtest::initTransaction(session, init, answer))) return false;
      zmrtest::TxAnswer a = client.check(init, answer, items);
      if (!a.ok) return fail(std::string(operation) + ": " + a.why);
      zmrtest::TxRequest v = client.request(auth ? "verifyAuth" : "verifySign",
                                            auth ? client.verifyAuthFields(init, a) : client.verifySignFields(init, a));
      if (!call(auth ? "verifyAuth" : "verifySign", zmrtest::verifyTransaction(session, v)) || !check()) return false;
      if (!call("verifytransactionresponse", zmrtest::verifyResponse(session, answer))) return false;
      zmrtest::TxAnswer response = client.checkResponse(init, v, answer, {});
      if (!response.ok) return fail(v.operation + " answer: " + response.why);
      return call("removeinfoitems", zmr_removeinfoitems(session));
    };
    for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < deadline; ++round) {
      MerchantItems items;
      std::string tid;
      if (!setUp("auth", tid)) return;
      items.traceId = tid;
      if (!road("initAuth", items, [&] {
            std::string pkcs7;
            return item("clientPkcs7", pkcs7) && signer("clientPkcs7", pkcs7);
          }))
        return;
      ++authentications;
      if (!setUp("sign", tid)) return;
      items.traceId = tid;
      items.documents = {
          {TxDocument::text, "Agreement " + me + " round " + std::to_string(round), "", "Agreement " + me},
          {TxDocument::pdf, std::string("%PDF-1.4\n\0\xff thread ", 18) + me, "", "Terms " + me}};
      if (!road("initSign", items, [&] {
            for (int d = 0; d < 2; ++d) {
              char *pkcs7 = nullptr, *ocsp = nullptr;
              if (!call("getsignatureandocsp", zmr_getsignatureandocsp(session, d, &pkcs7, &ocsp))) return false;
              zmrtest::take(ocsp);
              if (!signer("document signature", zmrtest::take(pkcs7))) return false;
            }
            return true;
          }))
        return;
      ++signings;
    }
  };
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n)
    threads.emplace_back([&, n] {
      work(n);
      watchdog.step(n, "its last round (or stopped at a failure)");
    });
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (const std::string& f : failures) ADD_FAILURE() << f;
  EXPECT_GE(authentications.load(), kThreads);
  EXPECT_GE(signings.load(), kThreads);
  const double rounds = signings.load() / seconds;
  std::printf(
      "%d authentications, %d signings in %.1f s on %d threads: %.1f rounds/s; the merchant's %d private-key "
      "operations per round: %.0f/s, %.3f of OpenSSL's RSA-2048 rate on %d threads (%.0f/s; the stand-ins "
      "and clients share the cores)\n",
      authentications.load(), signings.load(), seconds, kThreads, rounds, kMerchantKeyOperations,
      rounds * kMerchantKeyOperations, rounds * kMerchantKeyOperations / openssl, kThreads, openssl);
  EXPECT_EQ(0, zmr_closesession(session));
  std::ignore = zmr_finalize();
}

}  // namespace
