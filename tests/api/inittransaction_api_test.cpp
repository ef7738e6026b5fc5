// Transaction initialisation through the exported functions, against the
// simulated end user's client: every carrier and client version, in
// software and HSM sessions, each answer opened and judged by the client;
// the routing of requests; the codes and their recent-error lines.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/softhsm.h"
#include "support/tempdir.h"
#include "support/txclient.h"

namespace {

namespace tx = zmrtest::tx;
using zmrtest::Carrier;
using zmrtest::MerchantItems;
using zmrtest::TxAnswer;
using zmrtest::TxDocument;
using zmrtest::TxRequest;

constexpr const char* kWebaddress = "merchant.example,127.0.0.1";

// The last count lines of a recent error.
std::string lastLines(const std::string& text, int count) {
  size_t end = text.size();
  size_t start = end;
  for (int i = 0; i <= count && start != std::string::npos; ++i) {
    start = start == 0 ? std::string::npos : text.rfind('\n', start - 1);
  }
  return text.substr(start == std::string::npos ? 0 : start + 1);
}

MerchantItems textSigning() {
  MerchantItems items;
  items.mimeType = "text/plain";
  items.data = "Betal 100,00 kr til konto 1234.56.78903\n";
  items.description = "Kj\xF8p hos Test Merchant";
  return items;
}

std::vector<TxDocument> threeDocuments() {
  return {
      {TxDocument::text, "Avtale om kj\xF8p av 1 stk. sykkel", "", "Avtalen"},
      {TxDocument::pdf, std::string("%PDF-1.4\n\x00\x01\xFF binary", 20), "", "Vilk\xE5r (PDF)"},
      {TxDocument::xml, "<order><amount>100</amount></order>", "<xsl:stylesheet version=\"1.0\"/>", "Ordre"},
  };
}

enum class Keys { software, hsm };

// A merchant session opened through the exported functions, its keys in
// the key file or in SoftHSM2, and the client of that merchant.
class MerchantSession : public ::testing::Test {
 protected:
  void open(Keys keys, int environment = 1) {
    m = zmrtest::makeMerchantFiles("inittx", environment);
    if (keys == Keys::hsm) {
      ASSERT_TRUE(zmrtest::makeSoftHsm("inittx", hsm));
      ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
      ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", m.pki.merchantAuth.key.get(), "authkey", "01"));
      ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", m.pki.merchantSign.key.get(), "signkey", "02"));
      const std::string keyfile = m.dir + "/hsm.p12";
      ASSERT_TRUE(zmrtest::writeKeyFile(keyfile, zmrtest::hsmKeyFile(m.pki, m.password, "authkey", "signkey")));
      ASSERT_EQ(0, zmr_hsminitialize(zmrtest::kSoftHsmModule));
      ASSERT_EQ(0, zmr_hsmopensession(&session, keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, "1234", -1))
          << zmrtest::recentError();
    } else {
      ASSERT_EQ(0, zmr_initialize());
      ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr))
          << zmrtest::recentError();
    }
    client = std::make_unique<zmrtest::TxClient>(m.pki, kWebaddress, zmrtest::devCoiKey(environment));
    ASSERT_EQ(0, zmr_removeinfoitems(session));  // what an earlier test left on this thread
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  // One transaction on a clean thread: the merchant sets the items, the
  // client sends the request, the client judges the answer.
  TxAnswer run(const std::string& operation, const tx::Form& fields, const MerchantItems& items) {
    EXPECT_EQ(0, zmr_removeinfoitems(session));
    EXPECT_EQ(0, items.apply(session));
    TxRequest r = client->request(operation, fields);
    std::string answer;
    EXPECT_EQ(0, zmrtest::initTransaction(session, r, answer)) << zmrtest::recentError();
    return client->check(r, answer, items);
  }

  zmrtest::MerchantFiles m;
  zmrtest::SoftHsm hsm;
  int session = -1;
  std::unique_ptr<zmrtest::TxClient> client;
};

class InitTransaction : public MerchantSession, public ::testing::WithParamInterface<Keys> {
 protected:
  void SetUp() override { open(GetParam()); }
};

TEST_P(InitTransaction, Authentication) {
  MerchantItems items;
  items.optional = {{"userID", "kari"}, {"timeout", "120"}, {"userIDKeystrokeData", "ks"}};
  items.channel = {{"c_amount", "100.00"}, {"Order_C_Currency", "NOK"}};
  const struct {
    const char* name;
    Carrier carrier;
    const char* clientInfo;
    std::optional<std::string> prepareText;
  } cases[] = {
      {"NC_ZMR20 2.0", Carrier::nczmr20, "2.0", std::nullopt},
      {"NC_ZMR20 2.1", Carrier::nczmr20, "2.1", std::nullopt},
      {"no carrier", Carrier::none, "", std::nullopt},
      {"mobile", Carrier::mobile, "", "false"},
      {"mobile without prepareText", Carrier::mobile, "", std::nullopt},
      {"mobile prepareText", Carrier::mobile, "", "TRUE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tx::Form fields = client->authFields(c.carrier, c.clientInfo);
    if (c.carrier == Carrier::mobile) {
      if (c.prepareText) zmrtest::setField(fields, "prepareText", *c.prepareText);
      else zmrtest::dropField(fields, "prepareText");
    }
    TxAnswer a = run("initAuth", fields, items);
    EXPECT_TRUE(a.ok) << a.why;
  }
}

TEST_P(InitTransaction, SigningOneDocument) {
  MerchantItems text = textSigning();
  text.optional = {{"OTPService", "otp"}, {"nextURL", "https://merchant.example/next"}};
  text.channel = {{"c_amount", "100.00"}};
  text.extPDFUrl = "https://merchant.example/ignored.pdf";  // only a PDF takes it
  MerchantItems pdf = text;
  pdf.mimeType = "application/pdf";
  pdf.data = std::string("%PDF-1.4\n\x00\xFF\x0A binary", 19);
  pdf.extPDFUrl = "https://merchant.example/doc.pdf";
  MerchantItems xml = text;
  xml.mimeType = "text/ZMRXML";
  xml.data.reset();
  xml.xml = "<order><amount>100</amount></order>";
  xml.xsl = "<xsl:stylesheet version=\"1.0\"/>";
  xml.cmsFormat = "PKCS7";
  xml.ocspFormat = "OCSP_RFC6960_COMPATIBLE";
  MerchantItems nc = text;
  nc.signers = "kari;ola";
  MerchantItems mobile;
  mobile.mimeType = "text/plain";
  mobile.data = "Betal 100 kr til post@h\xF4tel.example";
  const struct {
    const char* name;
    Carrier carrier;
    MerchantItems items;
  } cases[] = {
      {"2.0 text", Carrier::nczmr20, text},
      {"2.0 PDF", Carrier::nczmr20, pdf},
      {"2.0 XML", Carrier::nczmr20, xml},
      {"no carrier", Carrier::none, nc},
      {"mobile", Carrier::mobile, mobile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tx::Form fields = client->signFields(c.carrier);
    if (c.carrier == Carrier::mobile) zmrtest::setField(fields, "prepareText", "true");
    TxAnswer a = run("initSign", fields, c.items);
    EXPECT_TRUE(a.ok) << a.why;
  }
}

TEST_P(InitTransaction, SigningManyDocuments) {
  if (!zmrtest::devCoiKey(1)) GTEST_SKIP() << "built with ZMR_CENTRAL_KEYS_DIR: no development COI key";
  MerchantItems items;
  items.documents = threeDocuments();
  items.optional = {{"userID", "kari"}};
  TxAnswer a = run("initSign", client->signFields(Carrier::nczmr20, "2.1"), items);
  EXPECT_TRUE(a.ok) << a.why;
  items.cmsFormat = "PKCS7_ISO320001";
  items.ocspFormat = "OCSP_ZELMOR_DEFAULT";
  a = run("initSign", client->signFields(Carrier::nczmr20, "2.1"), items);
  EXPECT_TRUE(a.ok) << a.why;
  // The documents keep what was signed, for the verification to come.
  char* signeddata = nullptr;
  char* pkcs7 = nullptr;
  ASSERT_EQ(0, zmr_getsigneddata(session, 2, &signeddata, &pkcs7));
  EXPECT_EQ(tx::b64(zmrtest::TxClient::xmlEnvelope(items.documents[2].content, items.documents[2].xsl)),
            zmrtest::take(signeddata));
  std::string why;
  EXPECT_TRUE(client->verifyDetached(zmrtest::take(pkcs7),
                                     zmrtest::TxClient::xmlEnvelope(items.documents[2].content,
                                                                    items.documents[2].xsl),
                                     m.pki.merchantSign.get(), true, why))
      << why;
}

// A session opened without configuration has no webaddress to put into
// a browser challenge.
TEST_P(InitTransaction, NoWebaddressNoBrowserChallenge) {
  if (GetParam() != Keys::hsm) GTEST_SKIP() << "only HSM sessions open without configuration";
  int bare = -1;
  ASSERT_EQ(0, zmr_rahsmopensession(&bare, (m.dir + "/hsm.p12").c_str(), m.password.c_str(), "1234", -1))
      << zmrtest::recentError();
  char* signature = nullptr;
  char* challenge = nullptr;
  EXPECT_EQ(2004, zmr_authenticateserver(bare, &signature, &challenge, tx::b64("client").c_str(), nullptr, nullptr));
  EXPECT_EQ(nullptr, signature);
  EXPECT_EQ(nullptr, challenge);
  EXPECT_EQ("authenticateserver_authenticateserver: Unable to find the webaddress configuration file parameter.\n",
            zmrtest::recentError());
}

INSTANTIATE_TEST_SUITE_P(Keys, InitTransaction, ::testing::Values(Keys::software, Keys::hsm),
                         [](const auto& info) { return info.param == Keys::hsm ? "hsm" : "software"; });

// Software sessions only, from here on.
class InitCases : public MerchantSession {
 protected:
  void SetUp() override { open(Keys::software); }
};

// Which builder answered, seen by the answer's fields (with the item
// userIDKeystrokeData set, which only some builders copy), or the code.
TEST_F(InitCases, RoutingTable) {
  const std::string auth20 = "pkcs7 serverChallenge zmrChannel zmrChannelSignature userIDKeystrokeData ";
  const std::string ncauth = "pkcs7 serverChallenge zmrChannel zmrChannelSignature ";
  const std::string sign20 =
      "pkcs7 mimeType dataDescription data zelmorServerVersion zmrChannel zmrChannelSignature userIDKeystrokeData ";
  const std::string ncsign = "pkcs7 mimeType dataDescription data zelmorServerVersion zmrChannel zmrChannelSignature ";
  const std::string sign21 = "Documents coiData userIDKeystrokeData ";
  const std::string mobileauth = "pkcs7 serverChallenge ";
  const std::string mobilesign = "pkcs7 data mimeType zelmorServerVersion ";
  const std::optional<std::string> none;
  const struct {
    std::optional<std::string> carrier, clientInfo;
    const char* operation;
    std::string builder;  // "" when code
    int code;
  } rows[] = {
      {"NC_ZMR20", "2.0", "initAuth", auth20, 0},
      {"NC_ZMR20", "2.0", "initSign", sign20, 0},
      {"NC_ZMR20", "2.10", "initSign", sign20, 0},
      {"NC_ZMR20", "2.1", "initSign", sign21, 0},
      {"NC_ZMR20", "2.1", "initAuth", auth20, 0},
      {"NC_ZMR20", "2.1", "verifyAuth", auth20, 0},
      {"NC_ZMR20", none, "initAuth", "", 39011},
      {"NC_ZMR20", none, "initSign", "", 39011},
      {"nc_zmr20", "2.0", "initAuth", "", 39012},
      {"sms", "2.0", "initAuth", "", 39012},
      {"Mobile", none, "initAuth", "", 39012},
      {none, none, "initAuth", ncauth, 0},
      {none, "2.1", "initSign", ncsign, 0},
      {none, none, "initauth", "", 39006},
      {"mobile", none, "initAuth", mobileauth, 0},
      {"mobile", "2.1", "initSign", mobilesign, 0},
      {"mobile", none, "sign", "", 39006},
  };
  MerchantItems items = textSigning();
  items.optional = {{"userIDKeystrokeData", "ks"}};
  items.documents = {{TxDocument::text, "one document", "", "Dokument"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.carrier.value_or("(none)") + " " + row.clientInfo.value_or("(none)") + " " + row.operation);
    tx::Form fields = client->authFields(Carrier::mobile);
    zmrtest::dropField(fields, "carrier");
    zmrtest::dropField(fields, "prepareText");
    if (row.carrier) zmrtest::setField(fields, "carrier", *row.carrier);
    if (row.clientInfo) zmrtest::setField(fields, "clientInfo", *row.clientInfo);
    zmrtest::setField(fields, "traceId", *items.traceId);
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    ASSERT_EQ(0, items.apply(session));
    TxRequest r = client->request(row.operation, fields);
    std::string answer;
    int rc = zmrtest::initTransaction(session, r, answer);
    std::string error = zmrtest::recentError();
    if (row.code != 0) {
      EXPECT_EQ(row.code, rc) << error;
      EXPECT_EQ("", answer);
      continue;
    }
    ASSERT_EQ(0, rc) << error;
    TxAnswer a = client->check(r, answer, items);
    std::string names;
    for (const auto& [k, v] : a.fields) names += k + " ";
    EXPECT_EQ(row.builder, names);
    EXPECT_TRUE(a.ok) << a.why;
  }
}

// The client's verdict is worth something: it refuses answers that differ
// from what the merchant set, or that are not for it.
TEST_F(InitCases, TheClientRefusesWhatDoesNotMatch) {
  MerchantItems items = textSigning();
  items.optional = {{"userID", "kari"}};
  items.channel = {{"c_amount", "100.00"}};
  ASSERT_EQ(0, items.apply(session));
  TxRequest r = client->request("initSign", client->signFields(Carrier::nczmr20));
  std::string answer;
  ASSERT_EQ(0, zmrtest::initTransaction(session, r, answer)) << zmrtest::recentError();
  ASSERT_TRUE(client->check(r, answer, items).ok);
  const struct {
    const char* name;
    std::function<void(MerchantItems&, TxRequest&)> edit;
  } cases[] = {
      {"another optional value", [](auto& i, auto&) { i.optional = {{"userID", "ola"}}; }},
      {"an optional item more", [](auto& i, auto&) { i.optional.emplace_back("timeout", "60"); }},
      {"another channel item", [](auto& i, auto&) { i.channel = {{"c_amount", "100.01"}}; }},
      {"other data signed", [](auto& i, auto&) { i.data = "Betal 1000,00 kr"; }},
      {"another description", [](auto& i, auto&) { i.description = "Kjop"; }},
      {"the ISO profile", [](auto& i, auto&) { i.cmsFormat = "PKCS7_ISO320001"; }},
      {"another client's key", [](auto&, auto& req) { req.basekey = tx::randomBytes(32); }},
      {"an authentication", [](auto&, auto& req) { req.operation = "initAuth"; }},
  };
  for (const auto& c : cases) {
    MerchantItems expected = items;
    TxRequest request = r;
    c.edit(expected, request);
    TxAnswer a = client->check(request, answer, expected);
    EXPECT_FALSE(a.ok) << c.name;
  }
}

TEST_F(InitCases, AnUnknownCarrierKeepsTheKeyAndTheCarrier) {
  tx::Form fields = client->authFields(Carrier::nczmr20);
  zmrtest::setField(fields, "carrier", "sms");
  TxRequest r = client->request("initAuth", fields);
  std::string answer;
  EXPECT_EQ(ZMR_E_UNKNOWN_CARRIER, zmrtest::initTransaction(session, r, answer));
  EXPECT_EQ("inittransaction_inittransaction: Unknown carrier in transaction data.\n", zmrtest::recentError());
  char* value = nullptr;
  ASSERT_EQ(0, zmr_getinfoitem(session, "carrier", &value));
  EXPECT_EQ("sms", zmrtest::take(value));
  ASSERT_EQ(0, zmr_getinfoitem(session, "key", &value));
  EXPECT_EQ(tx::b64(r.basekey), zmrtest::take(value));
}

// Every code of transaction initialisation, with the fixture that gives it
// and the last lines of the recent error.
TEST_F(InitCases, CodesAndTheirLines) {
  using Edit = std::function<void(MerchantItems&, tx::Form&)>;
  const std::string dispatcher = "inittransaction_inittransaction: ";
  auto in = [&](const char* builder) { return dispatcher + "Error in " + builder + ".\n"; };
  const std::string auth = "inittransaction::performinitauth20: ";
  const std::string nc = "inittransaction::performinittransactionnc: ";
  const std::string mobile = "inittransaction::performinittransactionmobile: ";
  const std::string sign20 = "inittransaction::performinitsign20: ";
  const std::string sign21 = "inittransaction::performinitsign21: ";
  auto v21 = [](MerchantItems& i, tx::Form& f) {
    zmrtest::setField(f, "clientInfo", "2.1");
    i.documents = {{TxDocument::text, "one", "", "Dokument"}};
  };
  const struct {
    const char* name;
    Carrier carrier;
    const char* operation;
    Edit edit;
    int code;
    std::string tail;
  } rows[] = {
      {"no clientInfo", Carrier::nczmr20, "initAuth", [](auto&, auto& f) { zmrtest::dropField(f, "clientInfo"); },
       39011, dispatcher + "An error occured fetching the clientInfo from the request.\n"},
      {"unknown carrier", Carrier::nczmr20, "initAuth", [](auto&, auto& f) { zmrtest::setField(f, "carrier", "sms"); },
       39012, dispatcher + "Unknown carrier in transaction data.\n"},
      {"no traceId field", Carrier::nczmr20, "initAuth", [](auto&, auto& f) { zmrtest::dropField(f, "traceId"); },
       39009, auth + "TraceID not present in request received from client.\n" + in("performinitauth20")},
      {"no traceId item", Carrier::nczmr20, "initAuth", [](auto& i, auto&) { i.traceId.reset(); }, 2022,
       auth + "Unable to retrieve infoitem \"traceId\".\n" + in("performinitauth20")},
      {"traceId of another case", Carrier::nczmr20, "initSign",
       [](auto& i, auto& f) {
         i.traceId = "ABC";
         zmrtest::dropField(f, "traceId");
         zmrtest::setField(f, "TRACEID", "abc");  // found whatever the name's case
       },
       39008, sign20 + "The received traceid doesn't match the \"traceId\" infoitem.\n" + in("performinitsign20")},
      {"no clientChallenge", Carrier::nczmr20, "initAuth",
       [](auto&, auto& f) { zmrtest::dropField(f, "clientChallenge"); }, 39003,
       auth + "Could not find \"clientChallenge\" in transaction data.\n" + in("performinitauth20")},
      {"no clientChallenge, no carrier", Carrier::none, "initAuth",
       [](auto&, auto& f) { zmrtest::dropField(f, "clientChallenge"); }, 39003,
       nc + "Could not find \"clientChallenge\" in transaction data.\n" + in("performinittransactionnc")},
      {"clientChallenge not base64", Carrier::nczmr20, "initAuth",
       [](auto&, auto& f) { zmrtest::setField(f, "clientChallenge", "not base64!"); }, 21002,
       "authenticateserver_authenticateserver: An error occured trying to base64 decode the clientchallenge.\n" +
           auth + "An error occured during AuthenticateServer.\n" + in("performinitauth20")},
      {"header without the merchant", Carrier::mobile, "initAuth",
       [](auto&, auto& f) { zmrtest::setField(f, "authHeader", tx::b64("Logg inn hos en annen butikk")); }, 16002,
       "authenticateserver_authenticateserver: The mobile server challenge does not contain the merchant's name.\n" +
           mobile + "An error occured during AuthenticateServer.\n" + in("performinittransactionmobile")},
      {"mime type not allowed, no carrier", Carrier::none, "initSign", [](auto& i, auto&) { i.mimeType = "image/png"; },
       39005, nc + "Mime type is not valid for Zelmor use.\n" + in("performinittransactionnc")},
      {"mime type not allowed", Carrier::nczmr20, "initSign", [](auto& i, auto&) { i.mimeType = "text/html"; }, 39005,
       sign20 + "Mime type is not valid for Zelmor use.\n" + in("performinitsign20")},
      {"no mime type", Carrier::nczmr20, "initSign", [](auto& i, auto&) { i.mimeType.reset(); }, 2022,
       sign20 + "Could not retrieve infoitem \"mimetype\".\n" + in("performinitsign20")},
      {"data not base64", Carrier::nczmr20, "initSign",
       [](auto& i, auto&) {
         i.data.reset();
         i.optional = {{"data", "%%%"}};
       },
       21002, sign20 + "An error occured base64 decoding the input data to be signed.\n" + in("performinitsign20")},
      {"no xsl", Carrier::none, "initSign",
       [](auto& i, auto&) {
         i.mimeType = "text/zmrxml";
         i.xml = "<a/>";
       },
       2022, nc + "Could not retrieve infoitem \"xsl\".\n" + in("performinittransactionnc")},
      {"no description", Carrier::nczmr20, "initSign", [](auto& i, auto&) { i.description.reset(); }, 2022,
       sign20 + "Unable to fetch infoitem \"datadescription\".\n" + in("performinitsign20")},
      {"cmsFormat in lower case", Carrier::nczmr20, "initSign", [](auto& i, auto&) { i.cmsFormat = "pkcs7"; }, 33002,
       sign21 + "Invalid infoitem contents in \"cmsFormat\".\n" + sign20 +
           "Could not add optional infoitem \"ocsp and cms format\" to response.\n" + in("performinitsign20")},
      {"PDF without extPDFUrl", Carrier::nczmr20, "initSign", [](auto& i, auto&) { i.mimeType = "Application/PDF"; },
       41001,
       "initsession::add_infoitem_to_map: Infoitem not found and no default value for mandatory parameter.\n" +
           sign20 + "Error fetching mandatory infoitem \"extPDFUrl\".\n" + in("performinitsign20")},
      {"unknown operation, no carrier", Carrier::none, "initauth", nullptr, 39006,
       nc + "Invalid operation in inittransaction data.\n" + in("performinittransactionnc")},
      {"unknown operation, mobile", Carrier::mobile, "verify", nullptr, 39006,
       mobile + "Invalid operation in inittransaction data.\n" + in("performinittransactionmobile")},
      {"mobile text without data", Carrier::mobile, "initSign", [](auto& i, auto&) { i.data.reset(); }, 2022,
       mobile + "Could not retrieve infoitem \"data\".\n" + in("performinittransactionmobile")},
      {"mobile text without mime type", Carrier::mobile, "initSign", [](auto& i, auto&) { i.mimeType.reset(); }, 2022,
       mobile + "Could not retrieve infoitem \"mimeType\".\n" + in("performinittransactionmobile")},
      {"no document", Carrier::nczmr20, "initSign",
       [&](auto& i, auto& f) {
         v21(i, f);
         i.documents.clear();
       },
       39010, sign21 + "No documents to process.\n" + in("performinitsign21")},
      {"document not base64", Carrier::nczmr20, "initSign",
       [&](auto& i, auto& f) {
         v21(i, f);
         i.documents.clear();  // a PDF that is not base64 is added below
       },
       21002, "inittransaction::performinitsign12: Error base64 decoding document.\n" + in("performinitsign21")},
      {"a record of signed data alone", Carrier::nczmr20, "initSign",
       [&](auto& i, auto& f) {
         v21(i, f);
         i.documents.clear();  // the record is made below
       },
       39005, sign21 + "Mime type is not valid for Zelmor use.\n" + in("performinitsign21")},
      {"ocspFormat outside its list", Carrier::nczmr20, "initSign",
       [&](auto& i, auto& f) {
         v21(i, f);
         i.ocspFormat = "OCSP";
       },
       33002, sign21 + "Invalid infoitem contents in \"ocspformat\".\n" + sign21 +
                  "Could not add optional infoitem \"ocsp and cms format\" to response.\n" + in("performinitsign21")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MerchantItems items = textSigning();
    tx::Form fields = std::string(row.operation) == "initAuth" ? client->authFields(row.carrier)
                                                                : client->signFields(row.carrier);
    if (row.edit) row.edit(items, fields);
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    if (std::string(row.name) == "document not base64") {
      MerchantItems plain = items;
      plain.documents.clear();
      ASSERT_EQ(0, plain.apply(session));
      ASSERT_EQ(0, zmr_adddocumentpdf(session, "%%", "PDF"));
    } else if (std::string(row.name) == "a record of signed data alone") {
      ASSERT_EQ(0, items.apply(session));
      ASSERT_EQ(0, zmr_setsigneddata(session, tx::b64("signed elsewhere").c_str()));
    } else {
      ASSERT_EQ(0, items.apply(session));
    }
    std::string answer;
    EXPECT_EQ(row.code, zmrtest::initTransaction(session, client->request(row.operation, fields), answer));
    EXPECT_EQ("", answer);
    const std::string error = zmrtest::recentError();
    EXPECT_EQ(row.tail, lastLines(error, static_cast<int>(std::count(row.tail.begin(), row.tail.end(), '\n'))))
        << error;
  }
}

TEST_F(InitCases, ARequestThatFailsItsTagIsNeverAnswered) {
  TxRequest r = client->request("initAuth", client->authFields(Carrier::nczmr20));
  ASSERT_EQ(0, MerchantItems().apply(session));
  r.operation = "initSign";  // the tag covers the operation text
  std::string answer;
  EXPECT_EQ(40051, zmrtest::initTransaction(session, r, answer));
  EXPECT_EQ("", answer);
  EXPECT_EQ(
      "decrypttransactiondata_decrypttransactiondata: Failed to authenticate message.\n"
      "inittransaction_inittransaction: An error occured trying to decrypt the transactiond data.\n",
      zmrtest::recentError());
  char* value = nullptr;
  EXPECT_EQ(2022, zmr_getinfoitem(session, "key", &value));
}

TEST_F(InitCases, AFullInfoItemStoreStopsBeforeAnything) {
  for (int i = 0; i < 500; ++i) ASSERT_EQ(0, zmr_setinfoitem(session, ("item" + std::to_string(i)).c_str(), "v"));
  std::string answer;
  EXPECT_EQ(2023, zmrtest::initTransaction(session, client->request("initAuth", client->authFields(Carrier::none)),
                                           answer));
  EXPECT_EQ("inittransaction_inittransaction: Could not set infoitem \"key\".\n", zmrtest::recentError());
}

// The items a builder leaves for the verification to come.
TEST_F(InitCases, ItemsLeftForVerification) {
  MerchantItems items = textSigning();
  TxAnswer a = run("initAuth", client->authFields(Carrier::none), items);
  ASSERT_TRUE(a.ok) << a.why;
  auto item = [&](const char* key) {
    char* value = nullptr;
    int rc = zmr_getinfoitem(session, key, &value);
    return rc == 0 ? zmrtest::take(value) : "(" + std::to_string(rc) + ")";
  };
  EXPECT_EQ("192.0.2.10", item("clientIp"));
  EXPECT_EQ(*a.field("serverChallenge"), item("serverChallenge"));
  EXPECT_EQ(tx::b64(zmrtest::digestOf(EVP_sha1(), a.serverChallenge)), item("c_sc"));
  EXPECT_EQ("(2022)", item("carrier"));
  EXPECT_EQ("(2022)", item("pkcs7"));  // no carrier: only a signing keeps it

  a = run("initSign", client->signFields(Carrier::nczmr20), items);
  ASSERT_TRUE(a.ok) << a.why;
  EXPECT_EQ("NC_ZMR20", item("carrier"));
  EXPECT_EQ(*a.field("data"), item("signeddata"));
  EXPECT_EQ(*a.field("pkcs7"), item("pkcs7"));
  EXPECT_EQ(tx::b64(zmrtest::digestOf(EVP_sha256(), *items.data)), item("c_scsha256"));
}

// Base64 with line breaks is decoded and sent again without them.
TEST_F(InitCases, DataIsEncodedAgain) {
  MerchantItems items = textSigning();
  items.mimeType = "TEXT/PLAIN";  // accepted in any case, and sent as set
  std::string wrapped = tx::b64(*items.data);
  wrapped.insert(16, "\r\n");
  items.optional = {{"data", wrapped}};
  const std::string bytes = *items.data;
  items.data.reset();
  ASSERT_EQ(0, zmr_removeinfoitems(session));
  ASSERT_EQ(0, items.apply(session));
  TxRequest r = client->request("initSign", client->signFields(Carrier::none));
  std::string answer;
  ASSERT_EQ(0, zmrtest::initTransaction(session, r, answer)) << zmrtest::recentError();
  items.optional.clear();
  items.data = bytes;
  TxAnswer a = client->check(r, answer, items);
  EXPECT_TRUE(a.ok) << a.why;
  EXPECT_EQ(tx::b64(bytes), a.field("data"));
}

// A thread that starts a second transaction without removing the first
// one's items still answers each client under its own key.
TEST_F(InitCases, EachAnswerIsForItsOwnClient) {
  MerchantItems items;
  ASSERT_EQ(0, items.apply(session));
  for (int i = 0; i < 2; ++i) {
    TxRequest r = client->request("initAuth", client->authFields(Carrier::nczmr20));
    std::string answer;
    ASSERT_EQ(0, zmrtest::initTransaction(session, r, answer)) << zmrtest::recentError();
    std::string plain;
    EXPECT_TRUE(tx::openAnswer(r.basekey, answer, plain)) << "transaction " << i;
  }
}

// The Documents text is JSON an independent parser (jq, which refuses raw
// control characters) reads back to the descriptions.
TEST_F(InitCases, DocumentsParseAsJson) {
  if (!zmrtest::devCoiKey(1)) GTEST_SKIP() << "built with ZMR_CENTRAL_KEYS_DIR: no development COI key";
  MerchantItems items;
  items.documents = threeDocuments();
  items.documents[0].description = "Linje 1\r\n\tLinje 2 \"sitat\" C:\\sti \x01 bl\xE5";
  TxAnswer a = run("initSign", client->signFields(Carrier::nczmr20, "2.1"), items);
  ASSERT_TRUE(a.ok) << a.why;
  const std::string file = zmrtest::makeTempDir("inittx-json") + "/documents.json";
  ASSERT_TRUE(zmrtest::writeFile(file, *a.field("Documents")));
  std::string out;
  ASSERT_EQ(0, zmrtest::runCommand("jq -j '.[0].description' " + file, &out)) << *a.field("Documents");
  EXPECT_EQ("Linje 1\r\n\tLinje 2 \"sitat\" C:\\sti \x01 bl\xC3\xA5", out);
  ASSERT_EQ(0, zmrtest::runCommand("jq -j '[.[] | .mimeType, .encoding] | join(\" \")' " + file, &out));
  EXPECT_EQ("text/plain ISO-8859-1 application/pdf ISO-8859-1 text/ZMRXML ISO-8859-1", out);
}

// Multi-document signing needs the environment's COI key; a default build
// has none for environments 3 and 4.
TEST(InitCoi, AnEnvironmentWithoutACoiKeyMakesNoCoiData) {
  ASSERT_EQ(0, zmr_initialize());
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("inittx-env3", 3);
  int session = -1;
  ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr))
      << zmrtest::recentError();
  zmrtest::TxClient client(m.pki, kWebaddress);
  MerchantItems items;
  items.documents = threeDocuments();
  ASSERT_EQ(0, items.apply(session));
  std::string answer;
  EXPECT_EQ(43000,
            zmrtest::initTransaction(session, client.request("initSign", client.signFields(Carrier::nczmr20, "2.1")),
                                     answer));
  EXPECT_EQ(
      "inittransaction::createcoidata: Error setting the correct public key.\n"
      "inittransaction::performinitsign21: Error creating coidata parameter.\n"
      "inittransaction_inittransaction: Error in performinitsign21.\n",
      lastLines(zmrtest::recentError(), 3));
  EXPECT_EQ("", answer);
  EXPECT_EQ(0, zmr_finalize());
}

}  // namespace
