// Threads sign at once through SoftHSM2 with one merchant session: each
// call runs in its own PKCS#11 session, with no lock of the library.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hsmtest.h"
#include "support/pki.h"
#include "support/softhsm.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 12;

class HsmSigningConcurrency : public hsmtest::Test {
 protected:
  void SetUp() override {
    hsmtest::Test::SetUp();
    ASSERT_TRUE(zmrtest::makeSoftHsm("hsmconcurrency", hsm));
    ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
    key = zmrtest::testKey(2048, 0);
    ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", key.get(), "signkey", "01")) << hsm.log;
    ASSERT_EQ(0, zmr::hsm_loaddriver(zmrtest::kSoftHsmModule));
    ASSERT_EQ(0, zmr::hsm_initialize());
    ASSERT_EQ(0, zmr::hsm_opensession(merchant.state(), "signkey", -1, "1234")) << hsmtest::takeError();
  }
  void TearDown() override {
    EXPECT_EQ(0, zmr::hsm_closesession(merchant.state()));
    EXPECT_EQ(0, zmr::hsm_finalize());
    hsmtest::Test::TearDown();
  }

  // kThreads signers, started together, kRounds signatures each, every one
  // checked with OpenSSL; while they run, during() runs on this thread.
  template <typename Fn>
  void signFromThreads(Fn during) {
    struct Result {
      std::vector<std::string> messages;
      std::vector<std::vector<unsigned char>> signatures;
      std::vector<int> codes;
      std::string errors;
    };
    std::vector<Result> results(kThreads);
    std::atomic<int> ready{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        Result& r = results[t];
        for (int i = 0; i < kRounds; ++i) {
          std::string message = "thread " + std::to_string(t) + " round " + std::to_string(i);
          std::vector<unsigned char> digestinfo = hsmtest::sha256DigestInfo(message);
          std::vector<unsigned char> sig;
          r.codes.push_back(
              zmr::hsm_signdata(merchant.state(), digestinfo.data(), digestinfo.size(), sig, "signkey", zmr::HsmRsa::pkcs1));
          r.messages.push_back(message);
          r.signatures.push_back(sig);
        }
        r.errors = hsmtest::takeError();
        done.fetch_add(1);
      });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    during(done);
    for (auto& th : threads) th.join();

    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ("", results[t].errors) << t;
      for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(0, results[t].codes[i]) << t << "/" << i;
        EXPECT_TRUE(hsmtest::verifiesSha256(key.get(), results[t].messages[i], results[t].signatures[i]))
            << t << "/" << i;
      }
    }
  }

  zmrtest::SoftHsm hsm;
  zmr::EvpPkeyPtr key;
  hsmtest::MerchantSession merchant;
};

TEST_F(HsmSigningConcurrency, EightThreadsSignAtOnce) {
  signFromThreads([](std::atomic<int>&) {});
}

// Another merchant session on the same token is opened (by slot search)
// and closed over and over meanwhile: neither its search nor its closing
// may log the token out under the signers.
TEST_F(HsmSigningConcurrency, OtherSessionsComeAndGoOnTheToken) {
  int cycles = 0;
  signFromThreads([&](std::atomic<int>& done) {
    while (done.load() < kThreads) {
      hsmtest::MerchantSession other;
      ASSERT_EQ(0, zmr::hsm_opensession(other.state(), "signkey", -1, "1234")) << hsmtest::takeError();
      ASSERT_EQ(0, zmr::hsm_closesession(other.state())) << hsmtest::takeError();
      ++cycles;
    }
  });
  EXPECT_GT(cycles, 0);
}

}  // namespace
