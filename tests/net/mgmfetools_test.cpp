#include "net/mgmfetools.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/http_lib.h"
#include "misc/centralservers.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/standin.h"

namespace zmr {
namespace {

using zmrtest::Behaviour;
using zmrtest::HttpRequest;
using zmrtest::HttpResponse;
using zmrtest::StandinServer;

std::string recent() {
  const std::string* e = peeklasterror();
  return e == nullptr ? "" : *e;
}

class MobileGateway : public ::testing::Test {
 protected:
  void SetUp() override {
    bed = std::make_unique<zmrtest::TlsTestbed>(zmrtest::makeTlsTestbed("mgmfe"));
    session = bed->openSession();
    ASSERT_GE(session, 0);
    state = zmrtest::sessionState(session);
    state->environment = 1;
    gateway = std::make_unique<StandinServer>(bed->good());
    for (const char* path : {"/RAVUD/MobileMerchantFE", "/RAVUD/MobileUtility"}) {
      gateway->handle(path, [this](const HttpRequest&) {
        HttpResponse r;
        if (raw.empty()) {
          r.body = body;
        } else {
          r.raw = raw;
        }
        return r;
      });
    }
    property("mgmfedns", gateway->url("/RAVUD/MobileMerchantFE"));
    property("mgmfeutildns", gateway->url("/RAVUD/MobileUtility"));
  }
  void TearDown() override {
    gateway.reset();
    state.reset();
    freesession(session);
  }
  void property(const std::string& k, const std::string& v) { state->properties.emplace_back(k, v); }

  std::unique_ptr<zmrtest::TlsTestbed> bed;
  std::unique_ptr<StandinServer> gateway;
  int session = -1;
  SessionRef state;
  std::string body = "statusCode=0";  // read by the handler; set before a send
  std::string raw;
};

TEST_F(MobileGateway, BodyAndEndpoints) {
  std::vector<mgmfeparameter> pairs = {{"action", "getStatus"}, {"transactionReference", "a b"}, {"x&y", "&"}};
  std::string out;
  ASSERT_EQ(ravud_send(*state, pairs, out, 10000), 0) << recent();
  ASSERT_EQ(mgmfeutil_send(*state, pairs, out, 10000), 0) << recent();
  auto seen = gateway->requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/RAVUD/MobileMerchantFE");
  EXPECT_EQ(seen[1].path, "/RAVUD/MobileUtility");
  for (const HttpRequest& r : seen) {
    EXPECT_EQ(r.body, "serverversion=5.2.2&action=getStatus&transactionReference=a+b&x&y=%26");
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded; charset=iso-8859-1");
  }
}

TEST_F(MobileGateway, ReplyTable) {
  struct Case {
    const char* what;
    std::string body, raw;
    int code;
    std::string out, mobileerr, error;
  } cases[] = {
      {"ok", "statusCode=0&transactionStatus=X", "", 0, "statusCode=0&transactionStatus=X", "", ""},
      {"ok, any case", "x=1&StatusCode=0", "", 0, "x=1&StatusCode=0", "", ""},
      {"not zero", "statusCode=00", "", 36007, "statusCode=00", "00",
       "mgmfetools_mgmfesend: Status code in response not OK.\n"},
      {"one", "statusCode=1&reason=busy", "", 36007, "statusCode=1&reason=busy", "1",
       "mgmfetools_mgmfesend: Status code in response not OK.\n"},
      {"missing", "transactionStatus=X", "", 36006, "transactionStatus=X", "",
       "mgmfetools_mgmfesend: Missing status code in RAVUD response.\n"},
      {"empty body", "", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 36005, "", "",
       "mgmfetools_mgmfesend: Got empty response from RAVUD\n"},
      {"no header end", "", "HTTP/1.1 200 OK\r\nstatusCode=0", 36004, "", "",
       "mgmfetools_mgmfesend: Got bad http response from RAVUD\n"},
      {"not 200", "", "HTTP/1.1 500 Oops 200 \r\nContent-Length: 12\r\n\r\nstatusCode=0", 36004, "", "",
       "mgmfetools_mgmfesend: Got bad http response from RAVUD\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    removeallinfoitems(session);
    std::optional<std::string> discard;
    getlasterror(session, discard);
    body = c.body;
    raw = c.raw;
    gateway->setBehaviour(c.raw.empty() ? Behaviour::normal : Behaviour::closeDelimited);
    std::string out = "stale";
    EXPECT_EQ(ravud_send(*state, {{"action", "getStatus"}}, out, 10000), c.code);
    EXPECT_EQ(out, c.out);
    std::string item;
    EXPECT_EQ(popinfoitem(session, "mobileerr", item), c.mobileerr.empty() ? 2022 : 0);
    EXPECT_EQ(item, c.mobileerr);
    EXPECT_EQ(recent(), c.error);
  }
}

TEST_F(MobileGateway, TransportFailureKeepsTheClientsLine) {
  setlasterror(session, "lost when the post starts\n");
  gateway->setBehaviour(Behaviour::reset);
  std::string out;
  EXPECT_EQ(ravud_send(*state, {{"action", "getStatus"}}, out, 0), 35011);
  EXPECT_EQ(recent(), "http_post: Connection error\nmgmfetools_mgmfesend: Error communicating with RAVUD\n");
}

TEST_F(MobileGateway, ThroughTheRavudProxy) {
  zmrtest::ProxyStandin proxy;
  property("ravudhttpproxyserver", "127.0.0.1");
  property("ravudhttpproxyport", std::to_string(proxy.port()));
  std::string out;
  ASSERT_EQ(ravud_send(*state, {{"action", "getStatus"}}, out, 10000), 0) << recent();
  EXPECT_EQ(proxy.requestLines(), std::vector<std::string>{"CONNECT 127.0.0.1:" + std::to_string(gateway->port()) +
                                                           " HTTP/1.1"});
}

TEST_F(MobileGateway, RefusedBeforeSending) {
  std::string out;
  EXPECT_EQ(ravud_send(*state, {{"action", "push"}, {"text", std::nullopt}}, out, 10000), 1);
  EXPECT_EQ(recent(), "mgmfetools_mgmfesend: Error url encoding parameter for RAVUD URL\n");
  // Only environments 1 and 2 read the address properties; the others
  // (and 1 and 2 without them) use the build's address, or fail closed.
  for (int env : {0, 3, 4, 5}) {
    if (centralserverurl(env, CentralServer::mgmfe) || centralserverurl(env, CentralServer::mgmfeutil)) continue;
    state->environment = env;
    EXPECT_EQ(ravud_send(*state, {{"action", "getStatus"}}, out, 10000), 36001) << env;
    EXPECT_EQ(mgmfeutil_send(*state, {{"action", "getStatus"}}, out, 10000), 36001) << env;
  }
  EXPECT_EQ(gateway->connections(), 0);

  zmrtest::StoreSession bare;  // no configuration, so no TLS contexts
  std::optional<std::string> discard;
  getlasterror(bare.number, discard);
  EXPECT_EQ(ravud_send(bare.state(), {}, out, 0), 2027);
  EXPECT_EQ(mgmfeutil_send(bare.state(), {}, out, 0), 2027);
  EXPECT_EQ(recent(),
            "mgmfetools_mgmfesend: An error occured trying to get the SSL context for ravud for the session.\n"
            "mgmfetools_mgmfesend: An error occured trying to get the SSL context for the session.\n");
}

TEST(MobileGatewayLimit, MillisecondsToSeconds) {
  struct Case {
    int64_t ms;
    int seconds;
  } cases[] = {{999, 1}, {1, 1}, {1000, 1}, {1999, 1}, {40000, 40}, {0, 0}, {-5, 0}};
  for (const Case& c : cases) EXPECT_EQ(mgmfe_timeoutseconds(c.ms), c.seconds) << c.ms;
  // A send without a limit runs under the client's default.
  EXPECT_EQ(http_effectivetimeoutms(mgmfe_timeoutseconds(0)), 60000);
}

}  // namespace
}  // namespace zmr
