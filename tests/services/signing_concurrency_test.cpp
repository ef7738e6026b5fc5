// Many threads signing with one session's keys at once: each thread's
// profile comes from its own info items, and every result verifies.
#include <thread>
#include <vector>

#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "signingtest.h"

using namespace signingtest;

namespace {

class SigningConcurrency : public Library {};

bool verifies(const std::string& pkcs7, const std::string& data, X509_STORE* store) {
  zmr::Pkcs7Ptr p7 = parse(pkcs7);
  zmr::BioPtr content(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  return p7 && content && PKCS7_verify(p7.get(), nullptr, store, content.get(), nullptr, PKCS7_BINARY) == 1;
}

TEST_F(SigningConcurrency, ThreadsShareKeysButNotProfiles) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("signing-concurrency", 2);
  int s = session(m);
  zmr::X509StorePtr store(X509_STORE_new());
  ASSERT_TRUE(store);
  X509_STORE_add_cert(store.get(), m.pki.root.get());
  X509_VERIFY_PARAM_set_purpose(X509_STORE_get0_param(store.get()), X509_PURPOSE_ANY);
  std::string expectedp1;
  ASSERT_EQ(0, zmr::signdatap1(s, "same text", expectedp1, zmr::KeyRole::authentication));

  constexpr int kThreads = 8, kRounds = 6;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      bool iso = t % 2 == 0;
      if (iso) zmr::setinfoitem(s, "cmsFormat", "PKCS7_ISO320001");
      for (int r = 0; r < kRounds; ++r) {
        std::string data = "thread " + std::to_string(t) + " round " + std::to_string(r), out, p1;
        if (zmr::signdata(s, data, out, zmr::KeyRole::signing, zmr::ChannelNonce::with) != 0 || !verifies(out, data, store.get())) {
          ++failures[t];
          continue;
        }
        zmr::Pkcs7Ptr p7 = parse(out);
        bool hastime = !attributeDer(signer(p7.get()), kSigningTime).empty();
        if (hastime == iso) ++failures[t];
        if (zmr::signdatap1(s, "same text", p1, zmr::KeyRole::authentication) != 0 || p1 != expectedp1) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
}

}  // namespace
