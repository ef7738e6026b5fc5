// The whole road of a transaction through the exported functions alone:
// zmr_initsession (its tid the trace id), zmr_inittransaction, the client's
// verification request, zmr_verifytransactionrequest,
// zmr_verifytransactionresponse and the results read with zmr_getinfoitem
// and the document getters, against the Rirorer Idor Azoriva and
// validation-authority stand-ins over TLS and the simulated client, who
// judges every answer.
#include <gtest/gtest.h>
#include <openssl/ocsp.h>
#include <zmr/zmr.h>

#include <memory>
#include <string>
#include <vector>

#include "support/apitest.h"
#include "support/roadsetup.h"
#include "support/txclient.h"

namespace {

namespace tx = zmrtest::tx;
using zmrtest::Carrier;
using zmrtest::MerchantItems;
using zmrtest::ResponseItems;
using zmrtest::TxAnswer;
using zmrtest::TxDocument;
using zmrtest::TxRequest;

constexpr const char* kWebaddress = "merchant.example,127.0.0.1";
constexpr const char* kNextUrl = "https://merchant.example/done";

std::string lastLine(const std::string& error) {
  if (error.empty()) return "";
  size_t from = error.rfind('\n', error.size() - 2);
  return from == std::string::npos ? error : error.substr(from + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t at = text.find(separator, start);
    out.push_back(text.substr(start, at == std::string::npos ? at : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

// What one transaction gave.
struct Road {
  TxRequest init;
  TxAnswer initAnswer;
  TxRequest verification;
  int rc = -1;          // of zmr_verifytransactionrequest
  std::string error;    // its recent error
};

class VerifyRoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setup_ = new zmrtest::RoadSetup(zmrtest::makeRoadSetup("verifyroad", 1)); }
  static void TearDownTestSuite() { delete setup_; }

  void SetUp() override {
    if (!zmrtest::devCentralKey(1)) GTEST_SKIP() << "the build has no development central keys";
    ASSERT_EQ(0, zmr_initialize());
    const zmrtest::MerchantFiles& m = setup_->merchant;
    ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    client = std::make_unique<zmrtest::TxClient>(m.pki, kWebaddress, zmrtest::devCoiKey(1));
    va().answer(nullptr);
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  const zmrtest::TestPki& pki() const { return setup_->merchant.pki; }
  zmrtest::VaStandin& va() { return *setup_->va; }

  // A clean thread, a client session, and the merchant's items with the
  // session's tid as trace id.
  std::string begin(const char* action, MerchantItems& items) {
    EXPECT_EQ(0, zmr_removeinfoitems(session));
    std::string traceid;
    EXPECT_EQ(0, zmrtest::beginClientSession(session, action, traceid)) << zmrtest::recentError();
    EXPECT_FALSE(traceid.empty());
    items.traceId = traceid;
    EXPECT_EQ(0, items.apply(session));
    return traceid;
  }

  // Initialisation as the client judges it, then the client's verification.
  Road run(const char* operation, Carrier carrier, const std::string& clientInfo, const MerchantItems& given,
           const std::optional<std::string>& rtReport = std::nullopt) {
    MerchantItems items = given;
    Road r;
    const bool sign = std::string(operation) == "verifySign";
    const std::string traceid = begin(sign ? "sign" : "auth", items);
    tx::Form fields = sign ? client->signFields(carrier, clientInfo, traceid)
                           : client->authFields(carrier, clientInfo, traceid);
    if (carrier == Carrier::mobile && sign) zmrtest::setField(fields, "prepareText", "true");
    r.init = client->request(sign ? "initSign" : "initAuth", fields);
    std::string answer;
    EXPECT_EQ(0, zmrtest::initTransaction(session, r.init, answer)) << zmrtest::recentError();
    r.initAnswer = client->check(r.init, answer, items);
    EXPECT_TRUE(r.initAnswer.ok) << r.initAnswer.why;
    tx::Form verification = sign ? client->verifySignFields(r.init, r.initAnswer, rtReport)
                                 : client->verifyAuthFields(r.init, r.initAnswer, rtReport);
    r.verification = client->request(operation, verification);
    r.rc = zmrtest::verifyTransaction(session, r.verification);
    r.error = zmrtest::recentError();
    return r;
  }

  // The answer to the client, judged by it.
  void respond(const Road& r, const ResponseItems& items) {
    ASSERT_EQ(0, items.apply(session));
    std::string answer;
    ASSERT_EQ(0, zmrtest::verifyResponse(session, answer)) << zmrtest::recentError();
    TxAnswer a = client->checkResponse(r.init, r.verification, answer, items);
    EXPECT_TRUE(a.ok) << a.why;
  }

  std::string item(const char* key) {
    char* value = nullptr;
    int rc = zmr_getinfoitem(session, key, &value);
    return rc == 0 ? zmrtest::take(value) : "<" + std::to_string(rc) + ">";
  }
  std::string commonName(const std::string& pkcs7) {
    char* name = nullptr;
    EXPECT_EQ(0, zmr_getpkcs7info(session, pkcs7.c_str(), ZMR_P7_COMMONNAME, &name)) << zmrtest::recentError();
    return zmrtest::take(name);
  }

  int session = -1;
  std::unique_ptr<zmrtest::TxClient> client;
  static zmrtest::RoadSetup* setup_;
};

zmrtest::RoadSetup* VerifyRoad::setup_ = nullptr;

MerchantItems textSigning() {
  MerchantItems items;
  items.mimeType = "text/plain";
  items.data = "Betal 100,00 kr til konto 1234.56.78903\n";
  items.description = "Kj\xF8p hos Test Merchant";
  return items;
}

TEST_F(VerifyRoad, Authentication) {
  const struct {
    const char* name;
    Carrier carrier;
    const char* clientInfo;
  } cases[] = {
      {"NC_ZMR20 2.0", Carrier::nczmr20, "2.0"},
      {"NC_ZMR20 2.1", Carrier::nczmr20, "2.1"},
      {"no carrier", Carrier::none, ""},
      {"mobile", Carrier::mobile, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Road r = run("verifyAuth", c.carrier, c.clientInfo, MerchantItems{});
    ASSERT_EQ(0, r.rc) << r.error;
    const std::string pkcs7 = *r.verification.field("pkcs7");
    EXPECT_EQ(pkcs7, item("clientPkcs7"));
    EXPECT_EQ(client->user().name, commonName(item("clientPkcs7")));
    EXPECT_EQ("verifyAuth", item("operation"));
    EXPECT_EQ("<2022>", item("clientFullOcsp"));
    // The stand-in was asked about the user's authentication certificate.
    std::optional<zmrtest::VaRequest> asked = va().lastRequest();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(asked->signatureValid);
    EXPECT_EQ(0u, asked->extension(zmrtest::kOidBilling).value_or("").rfind("A;;", 0));
    zmr::OcspBasicRespPtr basic;
    const std::string ocsp = item("clientOcsp");
    std::string der;
    ASSERT_TRUE(tx::unb64(ocsp, der)) << ocsp;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    basic.reset(d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_TRUE(basic);
    EXPECT_NE("<2022>", item("vaperf"));
    respond(r, ResponseItems{.nextURL = kNextUrl});
  }
}

TEST_F(VerifyRoad, SigningOneDocument) {
  MerchantItems text = textSigning();
  MerchantItems pdf = text;
  pdf.mimeType = "application/pdf";
  pdf.data = std::string("%PDF-1.4\n\x00\xFF\x0A binary", 19);
  pdf.extPDFUrl = "https://merchant.example/doc.pdf";
  MerchantItems xml = text;
  xml.mimeType = "text/ZMRXML";
  xml.data.reset();
  xml.xml = "<order><amount>100</amount></order>";
  xml.xsl = "<xsl:stylesheet version=\"1.0\"/>";
  MerchantItems mobile;
  mobile.mimeType = "text/plain";
  mobile.data = "Betal 100 kr til post@h\xF4tel.example";
  const struct {
    const char* name;
    Carrier carrier;
    MerchantItems items;
  } cases[] = {
      {"2.0 text", Carrier::nczmr20, text}, {"2.0 PDF", Carrier::nczmr20, pdf}, {"2.0 XML", Carrier::nczmr20, xml},
      {"no carrier", Carrier::none, text},  {"mobile", Carrier::mobile, mobile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Road r = run("verifySign", c.carrier, "2.0", c.items);
    ASSERT_EQ(0, r.rc) << r.error;
    EXPECT_EQ(*r.verification.field("pkcs7"), item("clientPkcs7"));
    EXPECT_EQ(*r.verification.field("ocsp"), item("serverOcsp"));
    EXPECT_EQ(client->user().name, commonName(item("clientPkcs7")));
    EXPECT_EQ("verifySign", item("operation"));
    EXPECT_EQ(0u, va().lastRequest()->extension(zmrtest::kOidBilling).value_or("").rfind("S;;", 0));
    respond(r, ResponseItems{.sdo = "<sdo/>", .target = "_top", .nextURL = kNextUrl});
  }
}

// Client 2.1: every document, each with its user signature and status; in
// RFC 6960 mode with the full answers as well.
TEST_F(VerifyRoad, SigningManyDocuments) {
  if (!zmrtest::devCoiKey(1)) GTEST_SKIP() << "no development COI key";
  for (const char* format : {"OCSP_ZELMOR_DEFAULT", "OCSP_RFC6960_COMPATIBLE"}) {
    SCOPED_TRACE(format);
    MerchantItems items;
    items.documents = {
        {TxDocument::text, "Avtale om kj\xF8p av 1 stk. sykkel\n", "", "Avtalen"},
        {TxDocument::pdf, std::string("%PDF-1.4\n\x00\x01\xFF binary", 20), "", "Vilk\xE5r (PDF)"},
        {TxDocument::xml, "<order><amount>100</amount></order>", "<xsl:stylesheet version=\"1.0\"/>", "Ordre"},
    };
    items.ocspFormat.emplace(format);
    const bool full = std::string(format) == "OCSP_RFC6960_COMPATIBLE";
    Road r = run("verifySign", Carrier::nczmr20, "2.1", items, zmrtest::reportText({{"step", "3"}}));
    ASSERT_EQ(0, r.rc) << r.error;
    EXPECT_EQ(zmrtest::TxClient::kCpReport, item("cpReport"));
    EXPECT_EQ("3", item("step"));
    EXPECT_EQ("verifySign", item("operation"));
    const std::vector<std::string> signatures = split(*r.verification.field("clientpkcs7s"), ',');
    ASSERT_EQ(3u, signatures.size());
    for (int i = 0; i < 3; ++i) {
      char *pkcs7 = nullptr, *ocsp = nullptr;
      ASSERT_EQ(0, zmr_getsignatureandocsp(session, i, &pkcs7, &ocsp));
      EXPECT_EQ(signatures[i], zmrtest::take(pkcs7));
      EXPECT_FALSE(zmrtest::take(ocsp).empty());
      int rc = zmr_getsignatureandfullocsp(session, i, &pkcs7, &ocsp);
      zmrtest::take(pkcs7);
      std::string der;
      if (full) {
        ASSERT_EQ(0, rc);
        ASSERT_TRUE(tx::unb64(zmrtest::take(ocsp), der));
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        OCSP_RESPONSE* whole = d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(nullptr, whole);
        EXPECT_EQ(OCSP_RESPONSE_STATUS_SUCCESSFUL, OCSP_response_status(whole));
        OCSP_RESPONSE_free(whole);
      } else {
        EXPECT_EQ(2022, rc);
        zmrtest::take(ocsp);
      }
    }
    // Each document's signer asked about as a signing.
    std::vector<zmrtest::VaRequest> asked = va().requests();
    ASSERT_GE(asked.size(), 3u);
    for (size_t i = asked.size() - 3; i < asked.size(); ++i) {
      EXPECT_EQ(0u, asked[i].extension(zmrtest::kOidBilling).value_or("").rfind("S;;", 0));
      EXPECT_EQ(full, asked[i].extension(zmrtest::kOidRfc6960Flag).has_value());
    }
    respond(r, ResponseItems{.nextURL = kNextUrl});
  }
}

TEST_F(VerifyRoad, FullOcspOfAnAuthentication) {
  MerchantItems items;
  items.ocspFormat.emplace("OCSP_RFC6960_COMPATIBLE");
  Road r = run("verifyAuth", Carrier::nczmr20, "2.1", items);
  ASSERT_EQ(0, r.rc) << r.error;
  std::string der;
  ASSERT_TRUE(tx::unb64(item("clientFullOcsp"), der));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  OCSP_RESPONSE* whole = d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(nullptr, whole);
  OCSP_RESPONSE_free(whole);
  // No RFC 6960 flag for an authentication certificate.
  EXPECT_FALSE(va().lastRequest()->extension(zmrtest::kOidRfc6960Flag));
}

TEST_F(VerifyRoad, AdditionalInformation) {
  va().answer([this](const zmrtest::VaRequest& r) {
    zmrtest::OcspSpec spec = va().goodSpec(r);
    spec.extensions = {{"2.999.10.1.16.3.2.1", "ok"},
                       {"2.999.10.1.16.3.2", "01018012345"},
                       {"2.999.10.1.16.3.3.1", "not a member"},
                       {"2.999.10.1.16.3.1", "12345678903"}};
    return zmrtest::VaStandin::reply(spec);
  });
  MerchantItems items;
  Road r;
  const std::string traceid = begin("auth", items);
  for (const char* wish : {"addsocialno", "addaccountno", "addorganisationno"})
    ASSERT_EQ(0, zmr_setinfoitem(session, wish, "true"));
  r.init = client->request("initAuth", client->authFields(Carrier::nczmr20, "2.0", traceid));
  std::string answer;
  ASSERT_EQ(0, zmrtest::initTransaction(session, r.init, answer)) << zmrtest::recentError();
  r.initAnswer = client->check(r.init, answer, items);
  ASSERT_TRUE(r.initAnswer.ok) << r.initAnswer.why;
  r.verification = client->request("verifyAuth", client->verifyAuthFields(r.init, r.initAnswer));
  ASSERT_EQ(0, zmrtest::verifyTransaction(session, r.verification)) << zmrtest::recentError();
  EXPECT_EQ("01018012345", item("socialno"));
  EXPECT_EQ("12345678903", item("accountno"));  // delivered by the good social-number status
  EXPECT_EQ("not a member", item("organisationnoerr"));
  EXPECT_EQ("<2022>", item("organisationno"));
  EXPECT_EQ("2.999.10.1.16.3.2,2.999.10.1.16.3.1,2.999.10.1.16.3.3",
            va().lastRequest()->extension(zmrtest::kOidWanted).value_or("<none>"));
  respond(r, ResponseItems{.nextURL = kNextUrl});
}

// OpenSSL's responder as the validation authority: good, revoked and
// unknown users. A failed verification is answered with the merchant's
// errorCode.
TEST_F(VerifyRoad, RevokedAndUnknownUsers) {
  const zmrtest::EndUser good = zmrtest::makeEndUser(pki(), 1), revoked = zmrtest::makeEndUser(pki(), 2),
                         unknown = zmrtest::makeEndUser(pki(), 3);
  zmrtest::OpensslResponder responder;
  responder.index = {{good.auth.get(), false}, {good.sign.get(), false}, {revoked.auth.get(), true},
                     {revoked.sign.get(), true}};
  va().useOpenssl(responder);
  const struct {
    const zmrtest::EndUser* user;
    const char* operation;
    int rc;
  } cases[] = {
      {&good, "verifyAuth", 0},      {&revoked, "verifyAuth", 13012}, {&unknown, "verifyAuth", 13014},
      {&good, "verifySign", 0},      {&revoked, "verifySign", 13012}, {&unknown, "verifySign", 13014},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user->name + " " + c.operation);
    client->setUser(*c.user);
    Road r = run(c.operation, Carrier::nczmr20, "2.0", std::string(c.operation) == "verifySign" ? textSigning()
                                                                                                : MerchantItems{});
    EXPECT_EQ(c.rc, r.rc) << r.error;
    if (c.rc == 0) {
      EXPECT_EQ(c.user->name, commonName(item("clientPkcs7")));
      respond(r, ResponseItems{.nextURL = kNextUrl});
      continue;
    }
    EXPECT_EQ(std::string(c.operation) == "verifySign"
                  ? "verifytransactionrequest::handleverifysign: Error occured during retrieval of certificate "
                    "status.\n"
                  : "verifytransactionrequest::verifytransactionrequest: Error occured during retrieval of "
                    "certificate status.\n",
              lastLine(r.error));
    EXPECT_EQ("<2022>", item("clientPkcs7"));
    EXPECT_EQ("<2022>", item("clientOcsp"));
    respond(r, ResponseItems{.errorCode = std::to_string(r.rc), .nextURL = kNextUrl});
  }
  va().answer(nullptr);
}

// A report may not plant what stands for a result: 40008, and nothing
// planted can be read.
TEST_F(VerifyRoad, ReportsCannotPlantResults) {
  const tx::Form plants[] = {
      {{"socialno", "01017012345"}},
      {{"nextURL", "https://evil.example/"}},
      {{"ok", "1"}, {"ErrorCode", "0"}},
      {{"clientPkcs7", "MIIBplanted"}},
  };
  for (const char* operation : {"handleError", "verifyAuth"}) {
    for (const tx::Form& plant : plants) {
      SCOPED_TRACE(std::string(operation) + " " + plant.back().first);
      const std::string report = zmrtest::reportText(plant);
      Road r;
      if (std::string(operation) == "handleError") {
        MerchantItems items;
        const std::string traceid = begin("auth", items);
        r.init = client->request("initAuth", client->authFields(Carrier::nczmr20, "2.0", traceid));
        std::string answer;
        ASSERT_EQ(0, zmrtest::initTransaction(session, r.init, answer)) << zmrtest::recentError();
        r.verification = client->request("handleError", client->handleErrorFields(r.init, "3001", report));
        r.rc = zmrtest::verifyTransaction(session, r.verification);
        r.error = zmrtest::recentError();
      } else {
        r = run("verifyAuth", Carrier::nczmr20, "2.0", MerchantItems{}, report);
      }
      EXPECT_EQ(40008, r.rc);
      EXPECT_NE(std::string::npos, r.error.find("verifytransactionrequest::handlereportdata: Could not set infoitem \"" +
                                                plant.back().first + "\".\n"))
          << r.error;
      EXPECT_EQ("<2022>", item("socialno"));
      EXPECT_EQ("<2022>", item("nextURL"));
      EXPECT_EQ("<2022>", item("ok"));
      EXPECT_EQ("<2022>", item("rtReport"));
      EXPECT_EQ(std::string(operation) == "handleError" ? "3001" : "<2022>", item("errorCode"));
      EXPECT_EQ(std::string(operation) == "handleError" ? "<2022>" : *r.verification.field("pkcs7"),
                item("clientPkcs7"));
    }
  }
}

// A report that does not fit in the thread's store is refused whole: none
// of its pairs stays, so the merchant can still mark the failed
// verification and the client is not told OK. Two sizes: one that runs out
// of room among its pairs, one whose pairs fit but whose rtReport item does
// not.
TEST_F(VerifyRoad, AReportThatDoesNotFitLeavesRoomForErrorCode) {
  // The free slots after a verification without report.
  int room = 0;
  {
    Road r = run("verifyAuth", Carrier::nczmr20, "2.0", MerchantItems{});
    ASSERT_EQ(0, r.rc) << r.error;
    while (zmr_setinfoitem(session, ("fill" + std::to_string(room)).c_str(), "x") == 0) ++room;
    ASSERT_GT(room, 10);
  }
  for (int pairs : {600, room}) {
    SCOPED_TRACE(std::to_string(pairs) + " pairs");
    tx::Form report;
    for (int i = 0; i < pairs; ++i) report.emplace_back("r" + std::to_string(i), "x");
    Road r = run("verifyAuth", Carrier::nczmr20, "2.0", MerchantItems{}, zmrtest::reportText(report));
    EXPECT_NE(0, r.rc);
    EXPECT_EQ("<2022>", item("r0"));
    EXPECT_EQ("<2022>", item("rtReport"));
    EXPECT_EQ(*r.verification.field("pkcs7"), item("clientPkcs7"));  // the results stay
    respond(r, ResponseItems{.errorCode = std::to_string(r.rc), .nextURL = kNextUrl});
  }
}

// The client's error report is answered with its code.
TEST_F(VerifyRoad, ErrorReport) {
  MerchantItems items;
  const std::string traceid = begin("auth", items);
  TxRequest init = client->request("initAuth", client->authFields(Carrier::nczmr20, "2.0", traceid));
  std::string answer;
  ASSERT_EQ(0, zmrtest::initTransaction(session, init, answer)) << zmrtest::recentError();
  // handleError carries no trace id check.
  tx::Form fields = client->handleErrorFields(init, "5002", zmrtest::reportText({{"a", "1"}, {"b", "x&y"}}));
  zmrtest::dropField(fields, "traceId");
  TxRequest r = client->request("handleError", fields);
  ASSERT_EQ(0, zmrtest::verifyTransaction(session, r)) << zmrtest::recentError();
  EXPECT_EQ("5002", item("errorCode"));
  EXPECT_EQ("1", item("a"));
  EXPECT_EQ("x&y", item("b"));
  EXPECT_EQ(zmrtest::reportText({{"a", "1"}, {"b", "x&y"}}), item("rtReport"));
  Road road;
  road.init = init;
  road.verification = r;
  respond(road, ResponseItems{.nextURL = kNextUrl});
}

}  // namespace
