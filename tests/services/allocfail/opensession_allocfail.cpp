// Session opening under allocation failure: it opens a session that works,
// or it fails and leaves nothing open, wherever the allocation failed (late
// in the key-file load too, where a session used to stay open behind 33001).
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "allocfail/failingalloc.h"
#include "support/apitest.h"
#include "support/merchant.h"

namespace {

using allocfail::kCxx;
using allocfail::kOpenssl;

#if !defined(ZMR_CRYPTO_SWEEP_STRIDE)
#define ZMR_CRYPTO_SWEEP_STRIDE 1
#endif
// Every how many call stacks a forked sweep runs (tests/services/extra.cmake).
constexpr unsigned kStride = ZMR_CRYPTO_SWEEP_STRIDE;

TEST(OpenSessionUnderAllocationFailure, OpensOrLeavesNothingOpen) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("allocfail-opensession");
  int session = -1;
  auto open = [&] {
    session = -1;
    return zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
  };
  const std::string data = "pay 100 to account 1234.56.78903";
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  std::string signature;
  // A session that opens works: it signs, and it verifies under its trust
  // store (whose certificates nothing may have left half read).
  auto works = [&] {
    char* pkcs7 = nullptr;
    int rc = zmr_signdata(session, bytes, data.size(), &pkcs7);
    if (rc == 0) signature = zmrtest::take(pkcs7);
    int verified = zmr_verifydata(session, signature.c_str(), bytes, data.size());
    return rc != 0 ? rc : verified;
  };
  ASSERT_EQ(open(), 0) << zmrtest::recentError();  // every path used once before arming
  ASSERT_EQ(works(), 0) << zmrtest::recentError();
  ASSERT_EQ(zmr_closesession(session), 0);
  auto check = [&](int rc, uint64_t n) {
    zmrtest::recentError();
    if (rc == 0) {
      EXPECT_EQ(session, 0) << "allocation " << n << " failed";
      EXPECT_EQ(works(), 0) << "allocation " << n << " failed: " << zmrtest::recentError();
      EXPECT_EQ(zmr_closesession(session), 0);
    } else {
      EXPECT_EQ(session, -1) << "allocation " << n << " failed";
      EXPECT_EQ(zmr_closesession(0), 2009) << "allocation " << n << " failed, yet a session stayed open";
    }
    return !::testing::Test::HasFailure();
  };
  // Every C++ allocation; OpenSSL's (thousands, most inside the PKCS#12
  // parser) at a stride, which still reaches each stage of the load.
  uint64_t runs = allocfail::sweep(kCxx, open, [&](int rc, uint64_t n, bool) { return check(rc, n); });
  EXPECT_GT(runs, 10u);
  constexpr uint64_t kStride = 13;
  uint64_t n = 1;
  for (; n < 100000; n += kStride) {
    allocfail::arm(kOpenssl, n);
    int rc = open();
    bool injected = allocfail::disarm();
    if (!check(rc, n) || !injected) break;
    n = allocfail::failedallocation();
  }
  EXPECT_GT(n, 20 * kStride);
  ASSERT_EQ(open(), 0) << zmrtest::recentError();  // and it works again afterwards
  EXPECT_EQ(session, 0);
  EXPECT_EQ(zmr_finalize(), 0);
}

// Every call stack of the opening (the trust store's certificates read in
// full, each read through), each in a child of its own: a session that
// opens verifies, and its trust store lets a later verification pass.
TEST(OpenSessionUnderAllocationFailure, EveryStackOfTheOpeningLeavesASessionThatVerifies) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("allocfail-opensession-stacks");
  const std::string data = "pay 100 to account 1234.56.78903";
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  int session = -1;
  auto open = [&] {
    session = -1;
    return zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
  };
  ASSERT_EQ(open(), 0) << zmrtest::recentError();
  char* out = nullptr;
  ASSERT_EQ(zmr_signdata(session, bytes, data.size(), &out), 0) << zmrtest::recentError();
  const std::string signature = zmrtest::take(out);
  ASSERT_EQ(zmr_closesession(session), 0);
  allocfail::Forked f = allocfail::sweepforked([&](uint64_t n) {
    allocfail::Outcome o;
    allocfail::arm(allocfail::kAll, n);
    int rc = open();
    o.reached = allocfail::disarm();
    zmrtest::recentError();
    if (rc == 0 && zmr_verifydata(session, signature.c_str(), bytes, data.size()) != 0)
      o.fault = "opened, yet the verification gave " + zmrtest::recentError();
    return o;
  }, kStride);
  std::printf("%llu runs over %llu allocations\n", static_cast<unsigned long long>(f.runs),
              static_cast<unsigned long long>(f.allocations));
  EXPECT_TRUE(f.faults.empty()) << f.describe();
  EXPECT_GT(f.runs * kStride, 100u) << f.describe();
  std::ignore = zmr_finalize();
}

}  // namespace
