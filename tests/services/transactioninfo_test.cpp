// Transaction information against the stand-in services host over TLS:
// the signed, encrypted request it opens, the answer's items as info items,
// and every way the request or the answer can fail.
#include <gtest/gtest.h>

#include <functional>

#include "services/life/lifeops.h"
#include "services/items/itemsops.h"
#include "services/transactioninfo/transactioninfoops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/merchantvariants.h"
#include "support/recenterror.h"
#include "support/servicesstandin.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;
using zmrtest::SdmRequest;
using zmrtest::ServicesAnswer;
using zmrtest::ServicesStandin;

std::string taken() { return zmrtest::takeRecentError(); }

int openSession(const zmrtest::MerchantFiles& m) {
  int s = -1;
  EXPECT_EQ(0, opensession(s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, -1))
      << taken();
  return s;
}

// Every info item of the calling thread, in order (names in lower case).
tx::Form items(int session) {
  tx::Form out;
  int n = 0;
  wildcard_countinfoitems(session, "", &n);
  for (int i = 0; i < n; ++i) {
    std::string k, v;
    if (wildcard_popinfoitem(session, "", i, k, v) == 0) out.emplace_back(k, v);
  }
  return out;
}

class TransactionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zmrtest::devCentralKey(1)) << "the build has no development central keys (cmake/centralkeys.cmake)";
    ASSERT_EQ(0, initialize(nullptr));
  }
  void TearDown() override { finalize(); }
  void open(int environment, const std::string& tag = "txinfo") {
    setup = zmrtest::makeServicesSetup(tag, environment);
    session = openSession(setup.merchant);
    ASSERT_GE(session, 0);
    removeallinfoitems(session);
  }
  ServicesStandin& host() { return *setup.host; }

  zmrtest::ServicesSetup setup;
  int session = -1;
};

TEST_F(TransactionInfo, ExchangeInEnvironmentsOneAndTwo) {
  for (int environment : {1, 2}) {
    SCOPED_TRACE(environment);
    open(environment, "txinfo-env" + std::to_string(environment));
    host().answer({.items = {{"abcname", "x y&z=%"}, {"other", "skipped"}, {"xabc.date", "2024-01-02"}, {"abc", "v"}}});
    ASSERT_EQ(0, gettransactioninfo(session, "abc", "1.2.3 4,5")) << taken();
    EXPECT_EQ((tx::Form{{"name", "x y&z=%"}, {".date", "2024-01-02"}, {"", "v"}}), items(session));

    std::vector<SdmRequest> seen = host().requests();
    ASSERT_EQ(1u, seen.size());
    const SdmRequest& r = seen[0];
    EXPECT_EQ("/zelmor/transactiondata/", r.http.path);
    EXPECT_EQ("application/x-www-form-urlencoded; charset=iso-8859-1", r.http.header("Content-Type").value_or(""));
    EXPECT_EQ((std::vector<std::string>{"encKey", "encData", "encAuth"}), tx::names(r.outer));
    ASSERT_TRUE(r.opened) << r.why;
    EXPECT_EQ((std::vector<std::string>{"key", "oids", "certinfo", "serverinfo", "params", "signature"}),
              tx::names(r.fields));
    EXPECT_EQ("abc", r.field("key"));
    EXPECT_EQ("1.2.3 4,5", r.field("oids"));
    EXPECT_EQ(tx::b64("key,oids,certinfo,serverinfo,params"), r.field("params"));
    EXPECT_TRUE(r.popValid);
    EXPECT_TRUE(r.signatureValid);  // over the form up to "&signature="
    EXPECT_EQ(0u, r.plain.rfind("key=abc&oids=1.2.3+4%2C5&certinfo=", 0)) << r.plain;
    EXPECT_EQ(0u, r.field("serverinfo").value_or("").rfind("serverInfo=", 0));
    std::string popinfo;
    ASSERT_TRUE(tx::unb64(r.field("certinfo").value_or(""), popinfo));
    EXPECT_EQ(0u, popinfo.rfind("issuer=", 0)) << popinfo;
    EXPECT_NE("", ServicesStandin::nonceOf(r));
    EXPECT_EQ("", taken());
    closesession(session);
  }
}

TEST_F(TransactionInfo, RepliesAndAnswersThatFail) {
  open(2);
  // Answers carrying the request's nonce, and ones as they stand.
  auto withNonce = [](std::string rest) {
    return [rest](const SdmRequest& r) { return "nonce=" + ServicesStandin::nonceOf(r) + rest; };
  };
  auto asIs = [](std::string text) { return [text](const SdmRequest&) { return text; }; };
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
  const std::string payloadLine = "transactioninfo::gettransactioninfo - Error parsing payload from servicehost.\n";
  const std::string nonceLines =
      "transactioninfo::verify_nonce: Nonce in response not equal to nonce in request.\n"
      "transactioninfo::gettransactioninfo - Response validation error.\n";
  const std::string decryptLine = "transactioninfo::gettransactioninfo: Error decrypting response.\n";
  const struct {
    const char* name;
    ServicesAnswer answer;
    int code;
    std::string error;  // the whole recent error, or (after "...") its end
  } cases[] = {
      {"no header end", {.rawHttp = ok + "encData=a&encAuth=b"}, 42000,
       "transactioninfo::parseresponse: Incorrect response from COI.\n"
       "transactioninfo::gettransactioninfo - Error parsing response from servicehost.\n"},
      {"clear error with message", {.clearFields = {{"ErrorCode", "17"}, {"ErrorMsg", "Unknown"}}}, 42000,
       "transactioninfo::gettransactioninfo - Unencrypted error returned from servicehost.\n"
       "transactioninfo::gettransactioninfo: Unknown (17)."},
      {"clear error without message", {.clearFields = {{"ErrorCode", "17"}}, .withEncData = false}, 42000,
       "transactioninfo::gettransactioninfo - Unencrypted error returned from servicehost.\n"},
      {"clear error texts are data", {.clearFields = {{"ErrorCode", "%d"}, {"ErrorMsg", "%s%n%s"}}}, 42000,
       "transactioninfo::gettransactioninfo - Unencrypted error returned from servicehost.\n"
       "transactioninfo::gettransactioninfo: %s%n%s (%d)."},
      {"no encAuth", {.withEncAuth = false}, 41000,
       "transactioninfo::gettransactioninfo: Unable to extract encAuth from response.\n"},
      {"no encData", {.withEncData = false}, 41000,
       "transactioninfo::gettransactioninfo: Unable to extract encData from response.\n"},
      {"encData not base64", {.rawHttp = ok + "Content-Length: 25\r\n\r\nencData=%21%21&encAuth=AA"}, 21002,
       "..." + decryptLine},
      {"tag of the wrong length", {.rawHttp = ok + "Content-Length: 29\r\n\r\nencData=AAAAAAAA&encAuth=AAAA"},
       40050, "..." + decryptLine},
      {"a flipped tag bit", {.flipTagBit = true}, 40051,
       "decrypttransactiondata::decrypttransactionresponse: Unable to verify authenticity of received message.\n" +
           decryptLine},
      {"another nonce", {.answerText = asIs("nonce=AAAA&data=")}, 42001, nonceLines},
      {"no nonce", {.answerText = asIs("data=abcx%3D1")}, 42001, nonceLines},
      {"nothing after the nonce", {.answerText = withNonce("")}, 42001, nonceLines},
      {"the nonce with more behind it", {.answerText = withNonce("x&data=")}, 42001, nonceLines},
      {"no data", {.answerText = withNonce("&payload=abcx%3D1")}, 42000, payloadLine},
      {"payload not decodable", {.answerText = withNonce("&data=abcx%3D1%ZZ")}, 42000, payloadLine},
      {"value not decodable", {.answerText = withNonce("&data=abcy%3D1%26abcx%3D%25ZZ")}, 42000, payloadLine},
      {"name not decodable", {.answerText = withNonce("&data=abcy%3D1%26abc%25ZZ%3D1")}, 42000, payloadLine},
      {"second decoding fails", {.answerText = withNonce("&data=abcy%3D1%26abcx%3D%2525ZZ")}, 42000, payloadLine},
      {"empty payload", {.answerText = withNonce("&data=")}, 0, ""},
      {"names without the key", {.answerText = withNonce("&data=x%3D1%26ab%3D2")}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host().answer(c.answer);
    host().server().setBehaviour(c.answer.rawHttp ? zmrtest::Behaviour::closeDelimited : zmrtest::Behaviour::normal);
    EXPECT_EQ(c.code, gettransactioninfo(session, "abc", "1.2.3"));
    std::string error = taken();
    if (c.error.rfind("...", 0) == 0) {
      std::string end = c.error.substr(3);
      EXPECT_TRUE(error.size() >= end.size() && error.compare(error.size() - end.size(), end.size(), end) == 0)
          << error;
    } else {
      EXPECT_EQ(c.error, error);
    }
    EXPECT_EQ(tx::Form{}, items(session));  // nothing stored
  }
  EXPECT_EQ(sizeof cases / sizeof cases[0], host().requests().size());
}

TEST_F(TransactionInfo, TagFitsButThePaddingDoesNot) {
  open(1);
  host().answer({.made = [](const SdmRequest& r) {
    // One block that decrypts to zeros: a padding byte of 0, under a good tag.
    tx::SubKeys k = tx::responseKeys(r.basekey);
    std::string cipher = tx::aesEncrypt(k.enc, k.iv, std::string(16, '\0')).substr(0, 16);
    zmrtest::HttpResponse out;
    out.body = tx::renderForm({{"encData", tx::b64(cipher)}, {"encAuth", tx::b64(tx::hmacSha1(k.mac, cipher))}});
    return out;
  }});
  int rc = gettransactioninfo(session, "abc", "1");
  EXPECT_TRUE(rc >= 23001 && rc <= 23003) << rc;
  std::string error = taken();
  EXPECT_NE(std::string::npos, error.find("transactioninfo::gettransactioninfo: Error decrypting response.\n"))
      << error;
  EXPECT_EQ(tx::Form{}, items(session));
}

TEST_F(TransactionInfo, NetworkFailure) {
  open(1);
  host().server().setBehaviour(zmrtest::Behaviour::reset);
  EXPECT_EQ(35011, gettransactioninfo(session, "abc", "1.2.3"));
  EXPECT_EQ(
      "http_post: Connection error\n"
      "transactioninfo::gettransactioninfo: Error communicating with servicehost.\n",
      taken());
}

TEST_F(TransactionInfo, FullItemStoreKeepsWhatWasStored) {
  open(1);
  for (int i = 0; i < 498; ++i) ASSERT_EQ(0, pushinfoitem(session, "filler" + std::to_string(i), "x"));
  host().answer({.items = {{"abc1", "a"}, {"abc2", "b"}, {"abc3", "c"}}});
  EXPECT_EQ(2023, gettransactioninfo(session, "abc", "1.2.3"));
  EXPECT_EQ("transactioninfo::gettransactioninfo: Error storing payload item in session store.\n", taken());
  tx::Form stored = items(session);
  ASSERT_EQ(500u, stored.size());
  EXPECT_EQ((tx::Form{{"1", "a"}, {"2", "b"}}), tx::Form(stored.end() - 2, stored.end()));
}

TEST_F(TransactionInfo, RefusedBeforeSending) {
  open(1);
  closesession(session);
  EXPECT_EQ(2009, gettransactioninfo(session, "abc", "1"));

  // Environment 3 has no services key built in: its servicehostdns is
  // never reached. An environment of 0 (no self-signed CA) neither.
  zmrtest::ServicesSetup env3 = zmrtest::makeServicesSetup("txinfo-env3", 3);
  int s3 = openSession(env3.merchant);
  EXPECT_EQ(42002, gettransactioninfo(s3, "abc", "1"));
  EXPECT_EQ("transactioninfo::gettransactioninfo: An error occured trying to get the public key.\n", taken());
  std::string url;
  EXPECT_EQ(42002, getservicesurl(*zmrtest::sessionState(s3), url));
  EXPECT_EQ(0u, env3.host->requests().size());
  zmrtest::sessionState(s3)->environment = 0;
  EXPECT_EQ(42002, gettransactioninfo(s3, "abc", "1"));
  EXPECT_EQ(42002, getservicesurl(*zmrtest::sessionState(s3), url));
  taken();

  // A sign-only key file, and an authentication certificate without CN.
  zmrtest::CertSpec nocn = zmrtest::merchantAuthSpec();
  std::erase_if(nocn.subject, [](const zmrtest::NameEntry& e) { return e.field == "CN"; });
  zmrtest::ServicesSetup signonly = zmrtest::servicesSetupFor(
      zmrtest::writeMerchantFiles("txinfo-signonly", zmrtest::makePki(1), zmrtest::dropAuthenticationPair), 1);
  zmrtest::ServicesSetup anonymous = zmrtest::servicesSetupFor(
      zmrtest::writeMerchantFiles("txinfo-nocn", zmrtest::makeMerchantPki(1, nocn, zmrtest::merchantSignSpec())), 1);
  int so = openSession(signonly.merchant), sa = openSession(anonymous.merchant);
  EXPECT_EQ(2043, gettransactioninfo(so, "abc", "1"));
  EXPECT_EQ(
      "gettag_getpopinfo: The auth certificate could noe be found.\n"
      "transactioninfo::gettransactioninfo: Error fetching certificate info.\n",
      taken());
  EXPECT_EQ(6011, gettransactioninfo(sa, "abc", "1"));
  EXPECT_EQ(
      "certtools_getcommonname: The commonname entry is missing or empty in the certificate\n"
      "gettag_getserverinfo: An error occured retrieving the common name from the auth certificate. \n"
      "transactioninfo::gettransactioninfo: Error fetching server info.\n",
      taken());
  EXPECT_EQ(0u, signonly.host->requests().size());
  EXPECT_EQ(0u, anonymous.host->requests().size());
}

}  // namespace
}  // namespace zmr
