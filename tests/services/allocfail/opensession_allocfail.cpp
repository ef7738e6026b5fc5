// Session opening under allocation failure: it opens the session, or it
// fails and leaves nothing open, wherever the allocation failed (late in
// the key-file load too, where a session used to stay open behind 33001).
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>

#include "allocfail/failingalloc.h"
#include "support/apitest.h"
#include "support/merchant.h"

namespace {

using allocfail::kCxx;
using allocfail::kOpenssl;

TEST(OpenSessionUnderAllocationFailure, OpensOrLeavesNothingOpen) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("allocfail-opensession");
  int session = -1;
  auto open = [&] {
    session = -1;
    return zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
  };
  ASSERT_EQ(open(), 0) << zmrtest::recentError();  // every path used once before arming
  ASSERT_EQ(zmr_closesession(session), 0);
  auto check = [&](int rc, uint64_t n) {
    zmrtest::recentError();
    if (rc == 0) {
      EXPECT_EQ(session, 0) << "allocation " << n << " failed";
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

}  // namespace
