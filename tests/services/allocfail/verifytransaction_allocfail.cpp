// Transaction verification and its answer under allocation failure: a
// verification that succeeds has stored every result (a failure is never
// success with results missing), and an answer is handed out only whole,
// opening under the initialisation's key with its pairs in order.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>
#include <utility>
#include <vector>

#include "allocfail/failingalloc.h"
#include "store/threadstore.h"
#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/txscheme.h"
#include "support/vastandin.h"

namespace {

using allocfail::kCxx;
namespace tx = zmrtest::tx;

bool failed() { return ::testing::Test::HasFailure(); }

const std::string kChallenge = "\x01\x02\n challenge merchant.example";

std::string item(int session, const char* key) {
  char* value = nullptr;
  return zmr_getinfoitem(session, key, &value) == 0 ? zmrtest::take(value) : "<absent>";
}

TEST(VerificationUnderAllocationFailure, SuccessHasEveryResultAndTheAnswerIsWhole) {
  zmrtest::TestPki pki = zmrtest::makePki(1);
  // Plain HTTP: the sweep is about the library's work, not TLS handshakes.
  zmrtest::VaSetup setup = zmrtest::makeVaSetup("allocfail-verifytx", pki, false);
  ASSERT_EQ(zmr_initialize(), 0);
  int session = -1;
  const zmrtest::MerchantFiles& m = setup.merchant;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  const std::string initkey = tx::randomBytes(32);
  auto initialised = [&] {
    EXPECT_EQ(zmr_removeinfoitems(session), 0);
    const std::pair<const char*, std::string> items[] = {
        {"key", tx::b64(initkey)},         {"carrier", "NC_ZMR20"},
        {"traceId", "trace-0001"},         {"serverChallenge", tx::b64(kChallenge)},
        {"nextURL", "https://m.example/n"}, {"addsocialno", "true"}};
    for (const auto& [k, v] : items) EXPECT_EQ(zmr_setinfoitem(session, k, v.c_str()), 0);
  };
  zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(pki.endUser, kChallenge);
  spec.extraCerts = {pki.ca.get()};
  const tx::Form form = {{"carrier", "NC_ZMR20"}, {"clientInfo", "2.0"}, {"traceId", "trace-0001"},
                         {"pkcs7", zmrtest::makePkcs7Base64(spec)}, {"rtReport", "a=1&b=2"}};
  setup.va->answer([&](const zmrtest::VaRequest& r) {
    zmrtest::OcspSpec good = setup.va->goodSpec(r);
    good.extensions = {{"2.999.10.1.16.3.2.1", "ok"}, {"2.999.10.1.16.3.2", "01018012345"}};
    return zmrtest::VaStandin::reply(good);
  });
  const tx::Envelope e =
      tx::clientRequest(pki.merchantAuth.key.get(), tx::renderForm(form), "verifyAuth", std::nullopt);
  auto run = [&] {
    return zmr_verifytransactionrequest(session, e.encKey.c_str(), e.encData.c_str(), e.encAuth.c_str(),
                                        "verifyAuth", nullptr);
  };
  initialised();
  ASSERT_EQ(run(), 0) << zmrtest::recentError();
  initialised();
  uint64_t runs = allocfail::sweep(kCxx | allocfail::kOpenssl, run, [&](int rc, uint64_t n, bool) {
    if (rc == 0) {
      for (const char* key : {"clientPkcs7", "clientOcsp", "vaperf", "a", "b", "rtReport"})
        EXPECT_NE(item(session, key), "<absent>") << "allocation " << n << ": " << key;
      EXPECT_EQ(item(session, "socialno"), "01018012345") << "allocation " << n;
      EXPECT_EQ(item(session, "operation"), "verifyAuth") << "allocation " << n;
    }
    zmrtest::recentError();
    initialised();
    return !failed();
  });
  EXPECT_GT(runs, 100u);

  // The answer, with every kind of allocation failing.
  initialised();
  ASSERT_EQ(zmr_setinfoitem(session, "sdo", "<sdo/>"), 0);
  ASSERT_EQ(zmr_setinfoitem(session, "vaperf", "12"), 0);
  char* out = nullptr;
  ASSERT_EQ(zmr_verifytransactionresponse(session, &out), 0) << zmrtest::recentError();
  zmrtest::take(std::exchange(out, nullptr));
  runs = allocfail::sweep(kCxx | allocfail::kOpenssl, [&] { return zmr_verifytransactionresponse(session, &out); },
                          [&](int rc, uint64_t n, bool) {
                            std::string got = zmrtest::take(std::exchange(out, nullptr));
                            if (rc == 0) {
                              std::string plain;
                              EXPECT_TRUE(tx::openAnswer(initkey, got, plain)) << "allocation " << n;
                              EXPECT_EQ(plain, "status=OK&sdo=%3Csdo%2F%3E&nextURL=https%3A%2F%2Fm.example%2Fn&vaPerf=12")
                                  << "allocation " << n;
                            } else {
                              EXPECT_EQ(got, "") << "allocation " << n;
                            }
                            zmrtest::recentError();
                            return !failed();
                          });
  EXPECT_GT(runs, 20u);
  std::ignore = zmr_finalize();
}

}  // namespace
