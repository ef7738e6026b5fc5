// Mobile transactions, status queries and SMS pushes against the stand-in
// gateway over TLS: the forms it receives, the proof of possession it
// checks, and every way the exchange can fail.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "services/life/lifeops.h"
#include "services/mobile/mobileops.h"
#include "services/items/itemsops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/merchantvariants.h"
#include "support/mobilestandin.h"
#include "support/recenterror.h"
#include "support/softhsm.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;
using zmrtest::GatewayRequest;
using zmrtest::HttpResponse;
using zmrtest::MobileGatewayStandin;

std::string recent() { return zmrtest::peekRecentError(); }
std::string taken() { return zmrtest::takeRecentError(); }

int openSession(const zmrtest::MerchantFiles& m, const char* pin = nullptr) {
  int s = -1;
  int rc = opensession(s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr, nullptr,
                       nullptr, nullptr, pin, -1);
  EXPECT_EQ(0, rc) << recent();
  return s;
}

void setItems(int session, const zmrtest::Properties& items) {
  for (const auto& [k, v] : items) ASSERT_EQ(0, setinfoitem(session, k, v));
}

class Mobile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, initialize(nullptr)); }
  void TearDown() override { finalize(); }

  void open(int environment, const std::string& tag = "mobile") {
    setup = zmrtest::makeMobileSetup(tag, environment);
    session = openSession(setup.merchant);
    ASSERT_GE(session, 0);
    removeallinfoitems(session);  // the thread's items outlive the tests before
  }
  MobileGatewayStandin& gateway() { return *setup.gateway; }
  void answer(HttpResponse r) {
    gateway().answerFrontEnd([r](const GatewayRequest&) { return r; });
  }

  zmrtest::MobileSetup setup;
  int session = -1;
};

TEST_F(Mobile, ActionFormWithAndWithoutSid) {
  for (int environment : {1, 2}) {
    open(environment, "mobile-env" + std::to_string(environment));
    for (bool withsid : {false, true}) {
      SCOPED_TRACE(testing::Message() << "environment " << environment << (withsid ? " with sid" : ""));
      removeallinfoitems(session);
      setItems(session, zmrtest::mobileActionItems());
      if (withsid) setItems(session, {{"sid", "s=1&t 2"}});
      std::string reference;
      ASSERT_EQ(0, requestmobileaction(session, reference)) << recent();
      EXPECT_EQ(MobileGatewayStandin::kReference, reference);

      const GatewayRequest r = gateway().requests().back();
      EXPECT_FALSE(r.utility);
      EXPECT_EQ("POST", r.http.method);
      std::vector<std::string> names = {"serverversion", "action", "URL", "phoneNumber", "phoneAlias",
                                        "merchantReference", "certType", "timeout", "locale", "countryCode",
                                        "checkAlias", "synchronousCommunication"};
      if (withsid) names.push_back("sid");
      for (const char* n : {"mifv", "mitm", "popInfo", "popParameters", "popSignature"}) names.push_back(n);
      EXPECT_EQ(names, r.names());
      const tx::Form expected = {{"serverversion", "5.2.2"},
                                 {"action", "sign"},
                                 {"URL", "https://shop.example.test/pay?x=1&y=a b"},
                                 {"phoneNumber", "+44 7700 900123"},
                                 {"phoneAlias", "alias"},
                                 {"merchantReference", "alpha beta"},
                                 {"certType", "ALL"},
                                 {"timeout", "40000"},
                                 {"locale", "en_GB"},
                                 {"countryCode", "44"},
                                 {"checkAlias", "true"},
                                 {"synchronousCommunication", "true"},
                                 {"mifv", "1.1"},
                                 {"mitm", tx::b64("merchant.example,127.0.0.1")},
                                 {"popParameters", tx::b64(withsid ? "URL,sid,mitm,popInfo" : "URL,mitm,popInfo")}};
      for (const auto& [k, v] : expected) EXPECT_EQ(v, r.field(k)) << k;
      if (withsid) {
        EXPECT_EQ("s=1&t 2", r.field("sid"));
      }

      // The proof of possession, as the gateway checks it.
      EXPECT_TRUE(r.popSignatureValid) << r.popText;
      EXPECT_TRUE(r.popParametersValid);
      EXPECT_EQ(withsid, r.popText.find("&sid=s%3D1%26t+2&") != std::string::npos) << r.popText;
      EXPECT_EQ(0u, r.popText.rfind("URL=https%3A%2F%2Fshop.example.test%2Fpay%3Fx%3D1%26y%3Da+b&", 0));
      std::string popinfo;
      ASSERT_TRUE(tx::unb64(r.field("popInfo").value_or(""), popinfo));
      tx::Form pop;
      ASSERT_TRUE(tx::parseForm(popinfo, pop));
      EXPECT_EQ((std::vector<std::string>{"issuer", "serialnumber", "timestamp", "nonce"}), tx::names(pop));
    }
    closesession(session);
  }
}

TEST_F(Mobile, ActionCarriesTheGivenOptionsAsTheyStand) {
  open(1);
  setItems(session, zmrtest::mobileActionItems());
  setItems(session, {{"timeout", "soon"},
                     {"locale", "nb_NO"},
                     {"countryCode", "47"},
                     {"checkAlias", "false"},
                     {"synchronousCommunication", "no"},
                     {"sid", ""}});
  std::string reference;
  ASSERT_EQ(0, requestmobileaction(session, reference)) << recent();
  const GatewayRequest r = gateway().requests().back();
  for (const auto& [k, v] : tx::Form{{"timeout", "soon"},
                                     {"locale", "nb_NO"},
                                     {"countryCode", "47"},
                                     {"checkAlias", "false"},
                                     {"synchronousCommunication", "no"},
                                     {"sid", ""}})
    EXPECT_EQ(v, r.field(k)) << k;
  EXPECT_TRUE(r.popSignatureValid);
  EXPECT_TRUE(r.popParametersValid);
}

TEST(MobileActionTimeout, OnlyAPositiveDecimalLimitsThePost) {
  const struct {
    const char* item;
    int64_t ms;
  } cases[] = {{"1500", 1500},         {"1", 1},     {"2147483647", 2147483647}, {"2147483648", 40000},
               {"0", 40000},           {"-5", 40000}, {"", 40000},               {"12a", 40000},
               {" 12", 40000},         {"+12", 40000}, {"40000", 40000},         {"99999999999999999999", 40000},
               {"0001500", 1500}};
  for (const auto& c : cases) EXPECT_EQ(c.ms, mobileactiontimeout(c.item)) << '"' << c.item << '"';
}

TEST_F(Mobile, StatusAndSmsForms) {
  open(2);
  std::string status;
  ASSERT_EQ(0, requestmobilestatus(session, "TX-1 &x", status)) << recent();
  EXPECT_EQ(MobileGatewayStandin::kStatus, status);
  GatewayRequest r = gateway().requests().back();
  EXPECT_EQ((tx::Form{{"serverversion", "5.2.2"}, {"action", "getStatus"}, {"transactionReference", "TX-1 &x"}}),
            r.pairs);
  EXPECT_EQ("serverversion=5.2.2&action=getStatus&transactionReference=TX-1+%26x", r.http.body);

  ASSERT_EQ(0, pushsms(session, "TX-1", "Your code: 12 34 & more")) << recent();
  r = gateway().requests().back();
  EXPECT_EQ((std::vector<std::string>{"serverversion", "action", "transactionReference", "text", "popInfo"}),
            r.names());
  EXPECT_EQ("pushSMS", r.field("action"));
  EXPECT_EQ("TX-1", r.field("transactionReference"));
  EXPECT_EQ("Your code: 12 34 & more", r.field("text"));
  std::string popinfo;
  EXPECT_TRUE(tx::unb64(r.field("popInfo").value_or(""), popinfo));
  EXPECT_NE(std::string::npos, popinfo.find("&nonce="));
  EXPECT_EQ("", recent());
}

// What every operation appends when the gateway exchange fails.
constexpr const char* kActionLine = "requestmobileaction_requestmobileaction: Error communicating with RAVUD.\n";
constexpr const char* kStatusLine = "requestmobilestatus_requestmobilestatus: Error communicating with RAVUD.\n";

TEST_F(Mobile, GatewayFailuresOfAllThree) {
  open(1);
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
  const struct {
    const char* name;
    HttpResponse reply;
    int code;
    std::string senderline;
    const char* mobileerr;
  } cases[] = {
      {"no header end", MobileGatewayStandin::rawReply(ok + "statusCode=0"), 36004,
       "mgmfetools_mgmfesend: Got bad http response from RAVUD\n", nullptr},
      {"not 200", MobileGatewayStandin::rawReply("HTTP/1.1 503 Busy\r\nContent-Length: 12\r\n\r\nstatusCode=0"),
       36004, "mgmfetools_mgmfesend: Got bad http response from RAVUD\n", nullptr},
      {"empty body", MobileGatewayStandin::rawReply(ok + "Content-Length: 0\r\n\r\n"), 36005,
       "mgmfetools_mgmfesend: Got empty response from RAVUD\n", nullptr},
      {"no statusCode", MobileGatewayStandin::reply("transactionReference=x&transactionStatus=y"), 36006,
       "mgmfetools_mgmfesend: Missing status code in RAVUD response.\n", nullptr},
      {"refused", MobileGatewayStandin::reply("statusCode=17&transactionReference=x&transactionStatus=y"), 36007,
       "mgmfetools_mgmfesend: Status code in response not OK.\n", "17"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    answer(c.reply);
    gateway().server().setBehaviour(c.reply.raw ? zmrtest::Behaviour::closeDelimited : zmrtest::Behaviour::normal);
    for (int op = 0; op < 3; ++op) {
      SCOPED_TRACE(op);
      removeallinfoitems(session);
      setItems(session, zmrtest::mobileActionItems());
      std::string out = "stale";
      int rc = op == 0 ? requestmobileaction(session, out)
               : op == 1 ? requestmobilestatus(session, "TX", out)
                         : pushsms(session, "TX", "text");
      EXPECT_EQ(c.code, rc);
      if (op < 2) {
        EXPECT_EQ("", out);
      }
      EXPECT_EQ(c.senderline + (op == 1 ? kStatusLine : kActionLine), taken());
      std::string item;
      EXPECT_EQ(c.mobileerr ? 0 : 2022, popinfoitem(session, "mobileerr", item));
      EXPECT_EQ(c.mobileerr ? c.mobileerr : "", item);
    }
  }
}

TEST_F(Mobile, ReplyWithoutTheAnswer) {
  open(2);
  answer(MobileGatewayStandin::reply("statusCode=0&transactionStatus=x"));
  setItems(session, zmrtest::mobileActionItems());
  std::string out;
  EXPECT_EQ(37001, requestmobileaction(session, out));
  EXPECT_EQ("requestmobileaction_requestmobileaction: Missing transaction reference in RAVUD response.\n", taken());
  answer(MobileGatewayStandin::reply("statusCode=0&transactionReference=x"));
  EXPECT_EQ(37002, requestmobilestatus(session, "TX", out));
  EXPECT_EQ("requestmobilestatus_requestmobileastatus: Missing transaction status in RAVUD response.\n", taken());
  EXPECT_EQ("", out);
}

TEST_F(Mobile, TransportFailures) {
  open(1);
  setItems(session, zmrtest::mobileActionItems());
  std::string out;
  gateway().server().setBehaviour(zmrtest::Behaviour::reset);
  EXPECT_EQ(35011, requestmobileaction(session, out));
  EXPECT_EQ(std::string("http_post: Connection error\nmgmfetools_mgmfesend: Error communicating with RAVUD\n") +
                kActionLine,
            taken());
  EXPECT_EQ(35011, requestmobilestatus(session, "TX", out));
  EXPECT_EQ(35011, pushsms(session, "TX", "text"));

  // The timeout item, in milliseconds, limits the action's post.
  gateway().server().setBehaviour(zmrtest::Behaviour::stall);
  setItems(session, {{"timeout", "1500"}});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(35014, requestmobileaction(session, out));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_NE(std::string::npos, taken().find(kActionLine));
}

TEST_F(Mobile, RefusedBeforeSending) {
  open(2);
  // A missing mandatory item, in the order they are read.
  const char* items[] = {"action", "url", "phonenumber", "phonealias", "merchantreference"};
  for (const char* missing : items) {
    SCOPED_TRACE(missing);
    removeallinfoitems(session);
    for (const auto& [k, v] : zmrtest::mobileActionItems())
      if (k != missing) setItems(session, {{k, v}});
    std::string out;
    EXPECT_EQ(2022, requestmobileaction(session, out));
    EXPECT_EQ(std::string("requestmobileaction_requestmobileaction: An error occured trying to get the ") + missing +
                  " parameter from merchants session store. It is mandatory.\n",
              taken());
  }
  removeallinfoitems(session);
  setItems(session, zmrtest::mobileActionItems());

  // Properties the session lost after opening (opening insists on them).
  auto& properties = zmrtest::sessionState(session)->properties;
  const auto kept = properties;
  const struct {
    const char* name;
    std::function<void()> edit;
    int code;
    const char* line;
  } cases[] = {
      {"no grantedpolicies",
       [&] { std::erase_if(properties, [](const auto& p) { return p.first == "grantedpolicies"; }); }, 2004,
       "requestmobileaction_requestmobileaction: An error occured trying to get the grantedpolicies property.\n"},
      {"no webaddress", [&] { std::erase_if(properties, [](const auto& p) { return p.first == "webaddress"; }); },
       2004, "requestmobileaction_requestmobileaction: Unable to find the webaddress configuration file parameter.\n"},
      {"empty webaddress",
       [&] {
         for (auto& p : properties)
           if (p.first == "webaddress") p.second.clear();
       },
       21001,
       "base64_encodebase64: Unable to base64 encode data.\n"
       "requestmobileaction_requestmobileaction: An error occured trying to base64 encode the serverchallenge.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    properties = kept;
    c.edit();
    std::string out;
    EXPECT_EQ(c.code, requestmobileaction(session, out));
    EXPECT_EQ(c.line, taken());
  }
  properties = kept;
  EXPECT_EQ(0u, gateway().requests().size());

  closesession(session);
  std::string out;
  EXPECT_EQ(2009, requestmobileaction(session, out));
  EXPECT_EQ(2009, requestmobilestatus(session, "TX", out));
  EXPECT_EQ(2009, pushsms(session, "TX", "text"));
  EXPECT_EQ("", taken());
}

TEST_F(Mobile, MerchantsWithoutAGatewayOrAnAuthenticationKey) {
  // Environment 3 reads no address property and has no gateway built in.
  zmrtest::MobileSetup env3 = zmrtest::makeMobileSetup("mobile-env3", 3);
  // A sign-only key file has no authentication certificate for the POP.
  zmrtest::MobileSetup signonly = zmrtest::mobileSetupFor(
      zmrtest::writeMerchantFiles("mobile-signonly", zmrtest::makePki(1), zmrtest::dropAuthenticationPair));
  int s3 = openSession(env3.merchant), so = openSession(signonly.merchant);
  ASSERT_GE(s3, 0);
  ASSERT_GE(so, 0);
  const std::string nopop =
      "gettag_getpopinfo: The auth certificate could noe be found.\n"
      "requestmobileaction_requestmobileaction: An error occured trying to create the popInfo data structure.\n";
  for (int op = 0; op < 3; ++op) {
    SCOPED_TRACE(op);
    setItems(s3, zmrtest::mobileActionItems());
    setItems(so, zmrtest::mobileActionItems());
    std::string out;
    int rc = op == 0 ? requestmobileaction(s3, out) : op == 1 ? requestmobilestatus(s3, "TX", out) : pushsms(s3, "TX", "t");
    EXPECT_EQ(36001, rc);
    EXPECT_EQ(op == 1 ? kStatusLine : kActionLine, taken());
    if (op == 1) continue;  // the status query carries no POP
    rc = op == 0 ? requestmobileaction(so, out) : pushsms(so, "TX", "t");
    EXPECT_EQ(2043, rc);
    EXPECT_EQ(nopop, taken());
  }
  EXPECT_EQ(0u, env3.gateway->requests().size());
  EXPECT_EQ(0u, signonly.gateway->requests().size());
}

TEST(MobileHsm, TokenWithoutTheAuthenticationKey) {
  zmrtest::SoftHsm hsm;
  ASSERT_TRUE(zmrtest::makeSoftHsm("mobile-hsm", hsm));
  ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
  zmrtest::TestPki pki = zmrtest::makePki(1);
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pki.merchantSign.key.get(), "sign", "10")) << hsm.log;
  zmrtest::MobileSetup setup = zmrtest::mobileSetupFor(
      zmrtest::writeMerchantFiles("mobile-hsm", pki, [&](zmrtest::KeyFileSpec& spec) {
        spec.safes = zmrtest::hsmKeyFile(pki, "merchant-secret", "auth-not-in-token", "sign").safes;
      }));
  ASSERT_EQ(0, initialize(zmrtest::kSoftHsmModule));
  int s = openSession(setup.merchant, "1234");
  ASSERT_GE(s, 0);
  setItems(s, zmrtest::mobileActionItems());
  std::string out;
  EXPECT_EQ(4009, requestmobileaction(s, out));
  std::string error = taken();
  EXPECT_NE(std::string::npos,
            error.find("requestmobileaction_requestmobileaction: An error occured signing the POP for the "
                       "parameters. \n"))
      << error;
  EXPECT_EQ(0u, setup.gateway->requests().size());
  finalize();
}

}  // namespace
}  // namespace zmr
