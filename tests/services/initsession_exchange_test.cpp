// Client session set-up against the stand-in Rirorer Idor Azoriva over
// TLS: the request it receives, and every way the reply can go wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "services/initsession/initsessionops.h"
#include "services/life/lifeops.h"
#include "services/items/itemsops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/recenterror.h"
#include "support/sdmstandin.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;
using zmrtest::HttpResponse;
using zmrtest::SdmRequest;
using zmrtest::SdmStandin;

std::string recent() { return zmrtest::peekRecentError(); }

class InitSession : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, initialize(nullptr)); }
  void TearDown() override { finalize(); }

  // A session of the environment whose initsessiondns is the stand-in,
  // with the usual request options set.
  void open(int environment, const zmrtest::Properties& extra = {}) {
    ASSERT_TRUE(zmrtest::devCentralKey(1)) << "the build has no development central keys (cmake/centralkeys.cmake)";
    setup = zmrtest::makeSdmSetup("initsession", environment, extra);
    const zmrtest::MerchantFiles& m = setup.merchant;
    ASSERT_EQ(0, opensession(session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, -1))
        << recent();
    for (const auto& [k, v] : zmrtest::initSessionItems()) ASSERT_EQ(0, setinfoitem(session, k, v));
  }
  int run() { return initsession(session, cdmuri, tid, cid); }

  zmrtest::SdmSetup setup;
  int session = -1;
  std::optional<std::string> cdmuri, tid, cid;
};

TEST_F(InitSession, ExchangeInEnvironmentsOneAndTwo) {
  for (int environment : {1, 2}) {
    SCOPED_TRACE(environment);
    open(environment);
    ASSERT_EQ(0, run()) << recent();
    EXPECT_EQ(SdmStandin::kCdmUri, cdmuri.value_or(""));
    EXPECT_EQ(SdmStandin::kTid, tid.value_or(""));
    EXPECT_EQ(SdmStandin::kCid, cid.value_or(""));

    std::vector<SdmRequest> seen = setup.sdm->requests();
    ASSERT_EQ(1u, seen.size());
    const SdmRequest& r = seen[0];
    EXPECT_EQ("POST", r.http.method);
    EXPECT_EQ("application/x-www-form-urlencoded; charset=iso-8859-1", r.http.header("Content-Type").value_or(""));
    ASSERT_EQ(3u, r.outer.size());
    EXPECT_EQ("encKey", r.outer[0].first);
    EXPECT_EQ("encData", r.outer[1].first);
    EXPECT_EQ("encAuth", r.outer[2].first);
    ASSERT_TRUE(r.opened) << r.why;
    EXPECT_TRUE(r.signatureValid);
    EXPECT_TRUE(r.popValid);

    std::vector<std::string> keys;
    for (const auto& f : r.fields) keys.push_back(f.first);
    EXPECT_EQ((std::vector<std::string>{"operation", "sifv", "mifv", "serverInfo", "nonce", "action", "merchantUrl",
                                        "timeout", "merchantFEDomain", "certType", "withCredentials",
                                        "suppressBroadcast", "clientSessionTimeout", "clientVersion", "userAgent",
                                        "popParameters", "signature"}),
              keys);
    EXPECT_EQ("initSession", r.field("operation"));
    EXPECT_EQ("1.1", r.field("sifv"));
    EXPECT_EQ("40000", r.field("timeout"));
    EXPECT_EQ("ALL", r.field("certType"));  // the grantedpolicies property
    EXPECT_EQ("N", r.field("withCredentials"));
    EXPECT_EQ("1800000", r.field("clientSessionTimeout"));
    EXPECT_EQ("2.0", r.field("clientVersion"));
    EXPECT_EQ(tx::b64("Mozilla/5.0 (test)"), r.field("userAgent"));
    std::string nonce;
    ASSERT_TRUE(tx::unb64(r.field("nonce").value_or(""), nonce));
    EXPECT_EQ(20u, nonce.size());

    std::string serverinfo;
    ASSERT_TRUE(tx::unb64(r.field("serverInfo").value_or(""), serverinfo));
    tx::Form info;
    ASSERT_TRUE(tx::parseForm(serverinfo, info));
    ASSERT_EQ(8u, info.size());
    EXPECT_EQ("zelmorServerType", info[0].first);
    EXPECT_EQ("C", info[0].second);
    EXPECT_EQ("5.2.2", info[1].second);
    EXPECT_EQ("LINUX", info[2].second);
    EXPECT_EQ("64", info[3].second);
    EXPECT_EQ("timestamp", info[4].first);
    EXPECT_EQ("certIssuer", info[5].first);
    EXPECT_EQ("certSerial", info[6].first);
    EXPECT_EQ("certCommonName", info[7].first);
    closesession(session);
  }
}

TEST_F(InitSession, RequestRowsFollowActionAndClientVersion) {
  open(2);
  const std::vector<std::string> head = {"operation", "sifv", "mifv", "serverInfo", "nonce", "action"};
  const std::vector<std::string> tail = {"userAgent", "popParameters", "signature"};
  const struct {
    const char* name;
    zmrtest::Properties items;  // set after the usual ones
    std::vector<std::string> middle;  // the keys after action, before userAgent
    int code;
  } cases[] = {
      {"sign without clientVersion needs extPDFDomain",
       {{"action", "sign"}, {"docDisplayMode", "window"}, {"clientProxyURL", "https://p"}}, {}, 41001},
      {"sign with 2.0 sends extPDFDomain and no proxy rows",
       {{"action", "sign"}, {"docDisplayMode", "window"}, {"extPDFDomain", "pdf.test"},
        {"clientProxyURL", "https://p"}, {"clientProxyPublicKey", "k"}},
       {"merchantUrl", "timeout", "merchantFEDomain", "certType", "withCredentials", "suppressBroadcast",
        "clientSessionTimeout", "clientVersion", "docDisplayMode", "showUnderstanding", "showConfirmation",
        "extPDFDomain"},
       0},
      {"SIGN with 2.1",
       {{"action", "SIGN"}, {"clientVersion", "2.1"}, {"merchantFEAncestors", "a.test"}, {"docDisplayMode", "w"},
        {"clientProxyURL", "https://p"}, {"extPDFDomain", "ignored"}},
       {"merchantUrl", "timeout", "merchantFEDomain", "certType", "withCredentials", "suppressBroadcast",
        "clientSessionTimeout", "clientVersion", "merchantFEAncestors", "docDisplayMode", "showUnderstanding",
        "showConfirmation", "clientProxyURL"},
       0},
      {"netpay with 2.2 and an empty proxy URL",
       {{"action", "netpay"}, {"clientVersion", "2.2"}, {"merchantFEAncestors", "not sent"}, {"docDisplayMode", "w"},
        {"clientProxyURL", ""}, {"clientProxyPublicKey", "k"}},
       {"merchantUrl", "timeout", "merchantFEDomain", "certType", "withCredentials", "suppressBroadcast",
        "clientSessionTimeout", "clientVersion", "docDisplayMode", "showUnderstanding", "showConfirmation",
        "clientProxyPublicKey"},
       0},
      {"auth with every optional row",
       {{"localeId", "nb"}, {"nextUrl", "n"}, {"sid", ""}, {"certType", "POL"}, {"docDisplayMode", "not sent"}},
       {"localeId", "merchantUrl", "nextUrl", "timeout", "merchantFEDomain", "sid", "certType", "withCredentials",
        "suppressBroadcast", "clientSessionTimeout", "clientVersion"},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    removeinfoitems(session);
    // Own values first: the first item of a name wins.
    for (const auto& [k, v] : c.items) setinfoitem(session, k, v);
    for (const auto& [k, v] : zmrtest::initSessionItems()) setinfoitem(session, k, v);
    size_t before = setup.sdm->requests().size();
    ASSERT_EQ(c.code, run()) << recent();
    if (c.code != 0) {
      EXPECT_EQ(before, setup.sdm->requests().size());  // nothing sent
      continue;
    }
    const SdmRequest r = setup.sdm->requests().back();
    EXPECT_TRUE(r.signatureValid);
    EXPECT_TRUE(r.popValid);
    std::vector<std::string> keys;
    for (const auto& f : r.fields) keys.push_back(f.first);
    std::vector<std::string> expected = head;
    expected.insert(expected.end(), c.middle.begin(), c.middle.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(expected, keys);
    // An item of its own wins over the grantedpolicies property.
    EXPECT_EQ(tx::field(c.items, "certType").value_or("ALL"), r.field("certType"));
  }
}

TEST_F(InitSession, ServerErrorsAndBadReplies) {
  open(1);
  auto raw = [](std::string text) {
    return [text](const SdmRequest&) {
      HttpResponse out;
      out.raw = text;
      return out;
    };
  };
  auto payload = [](std::function<tx::Form(const SdmRequest&)> make, tx::Form clear = {}) {
    return [make, clear](const SdmRequest& r) { return SdmStandin::reply(r, make(r), clear); };
  };
  auto without = [](const char* key) {
    return [key](const SdmRequest& r) {
      tx::Form f;
      for (const auto& p : SdmStandin::goodPayload(r))
        if (p.first != key) f.push_back(p);
      return f;
    };
  };
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
  const struct {
    const char* name;
    SdmStandin::Answer answer;
    int code;
    std::string lastline;  // the recent error ends with it
    std::string errorcode; // info item, when pushed
    int handedout;         // references set
  } cases[] = {
      {"clear errorCode in the body", raw(ok + "Content-Length: 14\r\n\r\nerrorCode=1234"), 43003,
       "initsession::initsession: Rirorer Idor Azoriva returned an unencrypted error: 1234", "1234", 0},
      {"clear errorCode in a header", raw(ok + "X-Info: errorCode:5678\r\nContent-Length: 0\r\n\r\n"), 43003,
       "initsession::initsession: Rirorer Idor Azoriva returned an unencrypted error: 5678", "5678", 0},
      {"errorCode inside the payload", payload([](const SdmRequest&) { return tx::Form{{"errorCode", "4321"}}; }),
       43003, "initsession::initsession: Rirorer Idor Azoriva returned an errorCode.\n", "4321", 0},
      {"status 404", raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), 43002,
       "initsession::initsession: An error occured while parsing the response.\n", "", 0},
      {"bad status line", raw("HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), 43002,
       "initsession::initsession: An error occured while parsing the response.\n", "", 0},
      {"no encData", raw(ok + "Content-Length: 3\r\n\r\na=b"), 41000,
       "initsession::decrypt_initsession_response: Error extracting encData from response.\n"
       "initsession::initsession: An error occured while decrypting the response.\n",
       "", 0},
      {"empty body", raw(ok + "Content-Length: 0\r\n\r\n"), 41000,
       "initsession::initsession: An error occured while decrypting the response.\n", "", 0},
      {"bad tag",
       [](const SdmRequest& r) {
         // A well-formed tag with one bit flipped (editing the URL-encoded
         // text could break its base64 instead).
         tx::SubKeys k = tx::responseKeys(r.basekey);
         std::string cipher = tx::aesEncrypt(k.enc, k.iv, tx::renderForm(SdmStandin::goodPayload(r)));
         std::string tag = tx::hmacSha1(k.mac, cipher);
         tag[0] = static_cast<char>(tag[0] ^ 1);
         HttpResponse out;
         out.body = tx::renderForm({{"encData", tx::b64(cipher)}, {"encAuth", tx::b64(tag)}});
         return out;
       },
       40051,
       "decrypttransactiondata::decrypttransactionresponse: Unable to verify authenticity of received message.\n"
       "initsession::decrypt_initsession_response: Error decrypting initsession response.\n"
       "initsession::initsession: An error occured while decrypting the response.\n",
       "", 0},
      {"reply under the request key set",
       [](const SdmRequest& r) {
         tx::SubKeys k = tx::requestKeys(r.basekey);
         std::string cipher = tx::aesEncrypt(k.enc, k.iv, tx::renderForm(SdmStandin::goodPayload(r)));
         HttpResponse out;
         out.body = tx::renderForm({{"encData", tx::b64(cipher)}, {"encAuth", tx::b64(tx::hmacSha1(k.mac, cipher))}});
         return out;
       },
       40051, "initsession::initsession: An error occured while decrypting the response.\n", "", 0},
      {"wrong nonce",
       payload([](const SdmRequest&) {
         return tx::Form{{"nonce", tx::b64(std::string(20, 'n'))}, {"cdmUri", "u"}, {"tid", "t"}, {"cid", "c"}};
       }),
       43005, "initsession::initsession: Nonce in response does not match nonce in request.\n", "", 0},
      {"no nonce", payload(without("nonce")), 43004,
       "initsession::initsession: Response from Rirorer Idor Azoriva did not contain nonce.\n", "", 0},
      {"right nonce only in clear", payload(without("nonce"), {{"nonce", "filled below"}}), 43004,
       "initsession::initsession: Response from Rirorer Idor Azoriva did not contain nonce.\n", "", 0},
      {"no cdmUri", payload(without("cdmUri")), 43006,
       "initsession::initsession: Response from Rirorer Idor Azoriva did not contain cdmUri.\n", "", 0},
      {"no tid", payload(without("tid")), 43007,
       "initsession::initsession: Response from Rirorer Idor Azoriva did not contain tid.\n", "", 1},
      {"no cid", payload(without("cid")), 43008,
       "initsession::initsession: Response from Rirorer Idor Azoriva did not contain clientId.\n", "", 2},
      {"clear fields before the encrypted ones are ignored",
       payload([](const SdmRequest& r) { return SdmStandin::goodPayload(r); },
               {{"nonce", "bogus"}, {"cdmUri", "https://evil.test/"}, {"tid", "evil"}, {"cid", "evil"}}),
       0, "", "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    removeinfoitems(session);
    for (const auto& [k, v] : zmrtest::initSessionItems()) setinfoitem(session, k, v);
    SdmStandin::Answer answer = c.answer;
    if (std::string(c.name) == "right nonce only in clear") {
      answer = [](const SdmRequest& r) {
        tx::Form payload;
        for (const auto& p : SdmStandin::goodPayload(r))
          if (p.first != "nonce") payload.push_back(p);
        return SdmStandin::reply(r, payload, {{"nonce", r.field("nonce").value_or("")}});
      };
    }
    setup.sdm->answer(answer);
    EXPECT_EQ(c.code, run());
    std::string text = recent();
    EXPECT_TRUE(text.size() >= c.lastline.size() && text.compare(text.size() - c.lastline.size(), std::string::npos,
                                                                 c.lastline) == 0)
        << text;
    std::string item;
    EXPECT_EQ(c.errorcode.empty() ? 2022 : 0, getinfoitem(session, "errorcode", item));
    EXPECT_EQ(c.errorcode, item);
    EXPECT_EQ(c.handedout >= 1, cdmuri.has_value());
    EXPECT_EQ(c.handedout >= 2, tid.has_value());
    EXPECT_EQ(c.handedout >= 3, cid.has_value());
    if (c.handedout == 3) {
      EXPECT_EQ(SdmStandin::kCdmUri, *cdmuri);
      EXPECT_EQ(SdmStandin::kTid, *tid);
    }
  }
}

// The errorcode item is the merchant's only copy of the server's code: when
// the store cannot take it, the call says so with the store's code.
TEST_F(InitSession, AnErrorCodeTheStoreCannotTakeIsReported) {
  open(1);
  const struct {
    const char* name;
    SdmStandin::Answer answer;
    std::string lines;  // the recent error ends with them
  } cases[] = {
      {"clear errorCode",
       [](const SdmRequest&) {
         HttpResponse out;
         out.raw = "HTTP/1.1 200 OK\r\nContent-Length: 14\r\n\r\nerrorCode=1234";
         return out;
       },
       "initsession::initsession: Rirorer Idor Azoriva returned an unencrypted error: 1234\n"
       "initsession::initsession: Could not set infoitem \"errorcode\".\n"},
      {"errorCode inside the payload",
       [](const SdmRequest& r) { return SdmStandin::reply(r, tx::Form{{"errorCode", "4321"}}); },
       "initsession::initsession: Rirorer Idor Azoriva returned an errorCode.\n"
       "initsession::initsession: Could not set infoitem \"errorcode\".\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    removeinfoitems(session);
    for (const auto& [k, v] : zmrtest::initSessionItems()) setinfoitem(session, k, v);
    for (int i = 0; setinfoitem(session, "fill" + std::to_string(i), "x") == 0; ++i) {
    }
    setup.sdm->answer(c.answer);
    EXPECT_EQ(2023, run());
    const std::string text = recent();
    EXPECT_TRUE(text.size() >= c.lines.size() &&
                text.compare(text.size() - c.lines.size(), std::string::npos, c.lines) == 0)
        << text;
  }
  removeinfoitems(session);  // the thread's store is the process's: leave it empty
}

TEST_F(InitSession, ThroughTheProxy) {
  zmrtest::ProxyStandin proxy;
  proxy.requireCredentials("merchant:pw");
  open(2, {{"sdmhttpproxyserver", "127.0.0.1"},
           {"sdmhttpproxyport", std::to_string(proxy.port())},
           {"sdmhttpproxycredentials", "merchant:pw"}});
  ASSERT_EQ(0, run()) << recent();
  EXPECT_EQ(SdmStandin::kCid, cid.value_or(""));
  std::vector<std::string> lines = proxy.requestLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("CONNECT 127.0.0.1:" + std::to_string(setup.sdm->port()) + " HTTP/1.1", lines[0]);
  EXPECT_EQ(1u, setup.sdm->requests().size());
}

TEST_F(InitSession, EnvironmentsWithoutKeysOrUrls) {
  // Environment 3 has no development key: nothing is sent, initsessiondns
  // notwithstanding.
  open(3);
  EXPECT_EQ(43000, run());
  EXPECT_EQ("initsession::initsession: An error occured trying to get the public key.\n", recent());
  std::string url;
  std::optional<std::string> discard;
  getlasterror(session, discard);
  EXPECT_EQ(43000, get_initsession_url(*zmrtest::sessionState(session), url));
  EXPECT_EQ("initsession::get_initsession_url: Error fetching initsession url for environment.\n", recent());
  EXPECT_TRUE(setup.sdm->requests().empty());

  // No environment at all.
  zmrtest::sessionState(session)->environment = 0;
  EXPECT_EQ(43000, run());

  // Environment 1 without the property uses the built-in address.
  zmrtest::sessionState(session)->environment = 1;
  zmrtest::sessionState(session)->properties.erase(
      std::remove_if(zmrtest::sessionState(session)->properties.begin(), zmrtest::sessionState(session)->properties.end(),
                     [](const auto& p) { return p.first == "initsessiondns"; }),
      zmrtest::sessionState(session)->properties.end());
  ASSERT_EQ(0, get_initsession_url(*zmrtest::sessionState(session), url));
  EXPECT_EQ("https://sdm.devlab.zelmor.invalid/sdm/", url);
}

TEST_F(InitSession, MissingMandatoryItemSendsNothing) {
  open(1);
  removeinfoitems(session);
  for (const auto& [k, v] : zmrtest::initSessionItems())
    if (k != "merchantFEDomain") setinfoitem(session, k, v);
  EXPECT_EQ(41001, run());
  EXPECT_NE(std::string::npos, recent().find("initsession::create_initsession_request: Error adding merchantFEDomain "
                                             "to request.initsession::initsession: An error occured trying to create "
                                             "init session request.\n"))
      << recent();
  removeinfoitems(session);
  for (const auto& [k, v] : zmrtest::initSessionItems())
    if (k != "useragent") setinfoitem(session, k, v);
  EXPECT_EQ(2022, run());
  EXPECT_TRUE(setup.sdm->requests().empty());
}

// The time limit is 15 s: this case waits that long, so it stands alone and
// runs beside the others.
TEST_F(InitSession, StalledServerTimesOut) {
  open(1);
  setup.sdm->server().setBehaviour(zmrtest::Behaviour::stall);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(35014, run());
  auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(elapsed, 14);
  EXPECT_LT(elapsed, 60);
  EXPECT_NE(std::string::npos,
            recent().find("initsession::get_initsession_response: Error communicating with Rirorer Idor Azoriva.\n"
                          "initsession::initsession: An error occured trying to communicate with SDM.\n"))
      << recent();
}

}  // namespace
}  // namespace zmr
