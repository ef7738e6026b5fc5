// The mobile channel, merchant references and transaction information as
// a merchant calls them: the argument frames, and one exchange of each
// through the exported functions against the stand-ins.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <functional>
#include <string>

#include "support/apitest.h"
#include "support/mobilestandin.h"
#include "support/servicesstandin.h"

namespace {

using zmrtest::MobileGatewayStandin;
using zmrtest::take;

using zmrtest::Unreadable;

int open(const zmrtest::MerchantFiles& m) {
  int session = -1;
  EXPECT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr))
      << zmrtest::recentError();
  return session;
}

TEST(MobileApi, ArgumentFrames) {
  Unreadable bad;
  char* out = nullptr;
  const struct {
    const char* name;
    std::function<int()> call;
    int code;
  } cases[] = {
      {"action: negative session", [&] { return zmr_requestmobileaction(-1, &out); }, 33002},
      {"action: null out", [&] { return zmr_requestmobileaction(0, nullptr); }, 33002},
      {"action: unreadable out", [&] { return zmr_requestmobileaction(0, bad.out()); }, 33003},
      {"status: negative session", [&] { return zmr_requestmobilestatus(-1, "r", &out); }, 33002},
      {"status: null reference", [&] { return zmr_requestmobilestatus(0, nullptr, &out); }, 33002},
      {"status: unreadable reference", [&] { return zmr_requestmobilestatus(0, bad.text(), &out); }, 33003},
      {"status: null out", [&] { return zmr_requestmobilestatus(0, "r", nullptr); }, 33002},
      {"sms: negative session", [&] { return zmr_pushsms(-1, "r", "t"); }, 33002},
      {"sms: null reference", [&] { return zmr_pushsms(0, nullptr, "t"); }, 33002},
      {"sms: null text", [&] { return zmr_pushsms(0, "r", nullptr); }, 33002},
      {"sms: unreadable text", [&] { return zmr_pushsms(0, "r", bad.text()); }, 33003},
      {"reference: negative session", [&] { return zmr_generatemerchantreference(-1, nullptr, nullptr); }, 33002},
      {"reference: the out pointer is probed first", [&] { return zmr_generatemerchantreference(0, nullptr, nullptr); },
       33003},
      {"reference: unreadable out", [&] { return zmr_generatemerchantreference(0, "en_GB", bad.out()); }, 33003},
      {"reference: null locale", [&] { return zmr_generatemerchantreference(0, nullptr, &out); }, 33002},
      {"reference: unreadable locale", [&] { return zmr_generatemerchantreference(0, bad.text(), &out); }, 33003},
      {"info: negative session", [&] { return zmr_gettransactioninfo(-1, "k", "o", "u"); }, 33002},
      {"info: null key", [&] { return zmr_gettransactioninfo(0, nullptr, "o", "u"); }, 33002},
      {"info: null oids", [&] { return zmr_gettransactioninfo(0, "k", nullptr, "u"); }, 33002},
      {"info: null fourth", [&] { return zmr_gettransactioninfo(0, "k", "o", nullptr); }, 33002},
      {"info: unreadable key", [&] { return zmr_gettransactioninfo(0, bad.text(), "o", "u"); }, 33003},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code, c.call()) << c.name;
  // With no session open every call that passes the frame finds none.
  EXPECT_EQ(2009, zmr_requestmobileaction(0, &out));
  EXPECT_EQ(2009, zmr_generatemerchantreference(0, "en_GB", &out));
  EXPECT_EQ(2009, zmr_gettransactioninfo(0, "k", "o", "u"));
  EXPECT_EQ(nullptr, out);
}

TEST(MobileApi, ThroughTheExportedFunctions) {
  ASSERT_EQ(0, zmr_initialize());
  zmrtest::MobileSetup mobile = zmrtest::makeMobileSetup("mobile-api", 1);
  int session = open(mobile.merchant);
  for (const auto& [k, v] : zmrtest::mobileActionItems()) ASSERT_EQ(0, zmr_setinfoitem(session, k.c_str(), v.c_str()));

  char* out = nullptr;
  ASSERT_EQ(0, zmr_requestmobileaction(session, &out)) << zmrtest::recentError(session);
  EXPECT_EQ(MobileGatewayStandin::kReference, take(out));
  ASSERT_EQ(0, zmr_requestmobilestatus(session, "TX", &out)) << zmrtest::recentError(session);
  EXPECT_EQ(MobileGatewayStandin::kStatus, take(out));
  ASSERT_EQ(0, zmr_pushsms(session, "TX", "hello")) << zmrtest::recentError(session);

  mobile.gateway->setLists("en_GB", MobileGatewayStandin::wordList("a", 100), MobileGatewayStandin::wordList("b", 100));
  ASSERT_EQ(0, zmr_generatemerchantreference(session, "en_GB", &out)) << zmrtest::recentError(session);
  std::string reference = take(out);
  EXPECT_EQ(0u, reference.rfind("a", 0)) << reference;
  EXPECT_NE(std::string::npos, reference.find(" b")) << reference;
  EXPECT_EQ(38002, zmr_generatemerchantreference(session, "xx_XX", &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(
      "mgmfetools_mgmfesend: Status code in response not OK.\n"
      "generatemerchantreference_generatemerchantreference: An error occured during download of dictionaries.\n",
      zmrtest::recentError(session));
  EXPECT_EQ("4", take((std::ignore = zmr_getinfoitem(session, "mobileerr", &out), out)));
  EXPECT_EQ(0, zmr_closesession(session));

  zmrtest::ServicesSetup services = zmrtest::makeServicesSetup("txinfo-api", 2);
  services.host->answer({.items = {{"k1.amount", "100.00"}, {"k1.currency", "NOK"}}});
  session = open(services.merchant);
  ASSERT_EQ(0, zmr_gettransactioninfo(session, "k1", "2.5.4.3", "")) << zmrtest::recentError(session);
  ASSERT_EQ(0, zmr_getinfoitem(session, ".amount", &out));
  EXPECT_EQ("100.00", take(out));
  ASSERT_EQ(0, zmr_getinfoitem(session, ".currency", &out));
  EXPECT_EQ("NOK", take(out));
  EXPECT_EQ(0, zmr_finalize());
}

}  // namespace
