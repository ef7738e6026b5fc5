// Threads decoding the same signatures and answers at once, each through its
// own certificate cache, with what one thread decoded freed by another.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/setup.h"
#include "support/fixtures.h"
#include "tools/certcache.h"

namespace zmr {
namespace {

TEST(CertCacheConcurrency, ThreadsDecodeAndHandOverCertificates) {
  ASSERT_EQ(initstructures(), 0);
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(pki.endUser);
  spec.extraCerts = {pki.ca.get(), pki.root.get()};
  const std::string p7der = zmrtest::makePkcs7Der(spec);
  const std::string basicder = zmrtest::makeOcspBasicDer(zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get()));
  constexpr int kThreads = 8, kRounds = 40;
  // Each thread frees what its neighbour decoded in the round before.
  std::vector<std::vector<Pkcs7Ptr>> handed(kThreads);
  for (auto& v : handed) v.resize(kRounds);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const auto* p = reinterpret_cast<const unsigned char*>(p7der.data());
        Pkcs7Ptr p7(d2ipkcs7(&p, static_cast<long>(p7der.size())));
        p = reinterpret_cast<const unsigned char*>(basicder.data());
        OcspBasicRespPtr basic(d2iocspbasic(&p, static_cast<long>(basicder.size())));
        if (!p7 || !basic || sk_X509_num(p7->d.sign->cert) != 3 || sk_X509_num(OCSP_resp_get0_certs(basic.get())) != 1 ||
            X509_check_purpose(sk_X509_value(p7->d.sign->cert, 1), -1, 0) != 1)
          ++failures;
        handed[t][r] = std::move(p7);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (Pkcs7Ptr& p7 : handed[(t + 1) % kThreads]) {
        if (i2d_X509(sk_X509_value(p7->d.sign->cert, 0), nullptr) <= 0) ++failures;
        p7.reset();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace zmr
