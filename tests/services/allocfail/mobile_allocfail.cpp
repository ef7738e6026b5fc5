// The mobile channel, merchant references and transaction information
// under allocation failure: a call fails, or it hands out the gateway's or
// the services host's answer to a whole request; a failed fetch of word
// lists leaves the cache usable; stored items are the answer's, in order.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <string>
#include <utility>
#include <vector>

#include "allocfail/failingalloc.h"
#include "services/life/lifeops.h"
#include "support/apitest.h"
#include "support/mobilestandin.h"
#include "support/servicesstandin.h"

namespace {

using allocfail::kCxx;
using zmrtest::MobileGatewayStandin;

bool failed() { return ::testing::Test::HasFailure(); }

int open(const zmrtest::MerchantFiles& m) {
  int session = -1;
  EXPECT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  return session;
}

// C++ allocations only, as for the other exchanges: OpenSSL's would add
// every step of each TLS handshake.
TEST(MobileUnderAllocationFailure, AnswersOnlyToWholeRequests) {
  zmrtest::MobileSetup setup = zmrtest::makeMobileSetup("allocfail-mobile", 1);
  MobileGatewayStandin& gateway = *setup.gateway;
  gateway.setLists("en_GB", MobileGatewayStandin::wordList("first", 100),
                   MobileGatewayStandin::wordList("second", 100));
  ASSERT_EQ(zmr_initialize(), 0);
  int session = open(setup.merchant);
  for (const auto& [k, v] : zmrtest::mobileActionItems()) ASSERT_EQ(zmr_setinfoitem(session, k.c_str(), v.c_str()), 0);
  char* out = nullptr;
  auto judge = [&](const char* expected) {
    return [&out, expected](int rc, uint64_t n, bool) {
      std::string got = zmrtest::take(std::exchange(out, nullptr));
      if (rc == 0) {
        EXPECT_EQ(got, expected) << "allocation " << n;
      } else {
        EXPECT_EQ(got, "") << "allocation " << n;
      }
      return !failed();
    };
  };
  EXPECT_GT(allocfail::sweep(kCxx, [&] { return zmr_requestmobileaction(session, &out); },
                             judge(MobileGatewayStandin::kReference)),
            50u);
  EXPECT_GT(allocfail::sweep(kCxx, [&] { return zmr_requestmobilestatus(session, "TX", &out); },
                             judge(MobileGatewayStandin::kStatus)),
            10u);
  EXPECT_GT(allocfail::sweep(kCxx, [&] { return zmr_pushsms(session, "TX", "text"); }, judge("")), 10u);
  const std::vector<std::string> action = {"serverversion", "action", "URL", "phoneNumber", "phoneAlias",
                                           "merchantReference", "certType", "timeout", "locale", "countryCode",
                                           "checkAlias", "synchronousCommunication", "mifv", "mitm", "popInfo",
                                           "popParameters", "popSignature"};
  for (const zmrtest::GatewayRequest& r : gateway.requests()) {
    std::string what = r.field("action").value_or("");
    if (what == "sign") {
      EXPECT_EQ(r.names(), action);
      EXPECT_TRUE(r.popSignatureValid && r.popParametersValid) << r.popText;
    } else if (what == "pushSMS") {
      EXPECT_EQ(r.names().size(), 5u);
    } else {
      EXPECT_EQ(what, "getStatus");
    }
  }

  // Every run starts with an empty cache, so that the fetch is swept; a
  // run that fails must leave nothing behind that holds up the next.
  auto reference = [&] { return zmr_generatemerchantreference(session, "en_GB", &out); };
  uint64_t runs = allocfail::sweep(kCxx, reference, [&](int rc, uint64_t n, bool) {
    std::string got = zmrtest::take(std::exchange(out, nullptr));
    if (rc == 0) {
      EXPECT_EQ(got.rfind("first", 0), 0u) << "allocation " << n << ": " << got;
      EXPECT_NE(got.find(" second"), std::string::npos) << "allocation " << n << ": " << got;
    } else {
      EXPECT_EQ(got, "");
    }
    EXPECT_EQ(zmr::cleanupdictionaries(), 0);
    return !failed();
  });
  EXPECT_GT(runs, 50u);
  // And once cached, without a fetch.
  ASSERT_EQ(reference(), 0);
  zmrtest::take(std::exchange(out, nullptr));
  int fetches = gateway.dictionaryRequests("en_GB");
  allocfail::sweep(kCxx, reference, [&](int rc, uint64_t n, bool) {
    std::string got = zmrtest::take(std::exchange(out, nullptr));
    EXPECT_TRUE(rc == 0 ? got.rfind("first", 0) == 0 : got.empty()) << "allocation " << n;
    return !failed();
  });
  EXPECT_EQ(gateway.dictionaryRequests("en_GB"), fetches);
  std::ignore = zmr_finalize();
}

TEST(TransactionInfoUnderAllocationFailure, StoredItemsAreTheAnswersInOrder) {
  zmrtest::ServicesSetup setup = zmrtest::makeServicesSetup("allocfail-txinfo", 2);
  ASSERT_TRUE(setup.centralKey) << "the build has no development central keys";
  const zmrtest::tx::Form items = {{"k1", "one"}, {"k2", "two words"}, {"k3", "3&3"}};
  setup.host->answer({.items = {{"refk1", "one"}, {"refk2", "two words"}, {"refk3", "3&3"}}});
  ASSERT_EQ(zmr_initialize(), 0);
  int session = open(setup.merchant);
  auto run = [&] { return zmr_gettransactioninfo(session, "ref", "1.2.3", ""); };
  ASSERT_EQ(run(), 0) << zmrtest::recentError();
  uint64_t runs = allocfail::sweep(kCxx | allocfail::kOpenssl, run, [&](int rc, uint64_t n, bool) {
    // What was stored: a prefix of the answer's items, all of them on 0.
    size_t stored = 0;
    for (const auto& [name, value] : items) {
      char* got = nullptr;
      if (zmr_getinfoitem(session, name.c_str(), &got) != 0) break;
      EXPECT_EQ(zmrtest::take(got), value) << "allocation " << n;
      ++stored;
    }
    for (size_t i = stored; i < items.size(); ++i) {
      char* got = nullptr;
      EXPECT_NE(zmr_getinfoitem(session, items[i].first.c_str(), &got), 0) << "allocation " << n;
      zmrtest::take(got);
    }
    if (rc == 0) {
      EXPECT_EQ(stored, items.size()) << "allocation " << n;
    }
    EXPECT_EQ(zmr_removeinfoitems(session), 0);
    return !failed();
  });
  EXPECT_GT(runs, 100u);
  for (const zmrtest::SdmRequest& r : setup.host->requests()) {
    EXPECT_TRUE(r.opened) << r.why;
    EXPECT_TRUE(r.signatureValid && r.popValid);
    EXPECT_EQ(zmrtest::tx::names(r.fields),
              (std::vector<std::string>{"key", "oids", "certinfo", "serverinfo", "params", "signature"}));
  }
  std::ignore = zmr_finalize();
}

}  // namespace
