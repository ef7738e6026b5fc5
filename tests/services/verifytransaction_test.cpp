// Transaction verification on decrypted forms: the state an initialisation
// leaves on the thread is set directly, each request is encrypted by the
// test-side scheme, signatures are made by the test PKI's end user, and the
// validation authority is the TLS stand-in. The codes and their lines, the
// report pairs, the count rules of multi-document signing, and the answer.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "services/life/lifeops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"
#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/txscheme.h"
#include "support/vastandin.h"

namespace {

namespace tx = zmrtest::tx;

std::string takeError() {
  std::optional<std::string> text;
  zmr::getlasterror(-1, text);
  return text.value_or("");
}

std::string lastLine(const std::string& error) {
  if (error.empty()) return "";
  size_t from = error.rfind('\n', error.size() - 2);
  return from == std::string::npos ? error : error.substr(from + 1);
}

// The server challenge's bytes hold a line feed: a text-mode signature
// over them would not verify.
const std::string kChallenge = std::string("\x01\x02\n\x03 random part\nmerchant.example", 31);
const std::string kSignedText = "Betal 100,00 kr\n";

struct Sent {
  int rc = -1;
  std::string error;
  std::string basekey;  // raw
};

class VerifyTransaction : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new zmrtest::TestPki(zmrtest::makePki(1));
    setup_ = new zmrtest::VaSetup(zmrtest::makeVaSetup("verifytx", *pki_, true));
  }
  static void TearDownTestSuite() {
    delete setup_;
    delete pki_;
  }
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    const zmrtest::MerchantFiles& m = setup_->merchant;
    ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    initkey = tx::randomBytes(32);
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  const zmrtest::TestPki& pki() const { return *pki_; }
  zmrtest::VaStandin& va() { return *setup_->va; }

  // What initialisation leaves: the key of its request first, then the
  // carrier, the trace id, the challenge and the signed data.
  void initialised(const std::optional<std::string>& carrier = "NC_ZMR20") {
    ASSERT_EQ(0, zmr::pushinfoitem(session, "key", tx::b64(initkey)));
    if (carrier) {
      ASSERT_EQ(0, zmr::pushinfoitem(session, "carrier", *carrier));
    }
    ASSERT_EQ(0, zmr::pushinfoitem(session, "traceId", "trace-0001"));
    ASSERT_EQ(0, zmr::pushinfoitem(session, "serverChallenge", tx::b64(kChallenge)));
    ASSERT_EQ(0, zmr::pushinfoitem(session, "signeddata", tx::b64(kSignedText)));
  }
  // Documents of multi-document signing with their signed data set.
  void documents(const std::vector<std::optional<std::string>>& contents) {
    for (size_t i = 0; i < contents.size(); ++i)
      ASSERT_EQ(0, zmr_adddocumenttext(session, tx::b64("doc").c_str(), "d"));
    zmr::document* d = nullptr;
    ASSERT_EQ(0, zmr::getdocuments(session, &d));
    for (const auto& c : contents) {
      if (c) d->signeddata = tx::b64(*c);
      d = d->next.get();
    }
  }

  std::string signature(const std::string& content, const zmrtest::TestCert* signer = nullptr) const {
    zmrtest::Pkcs7Spec spec = zmrtest::pkcs7For(signer != nullptr ? *signer : pki().endUser, content);
    spec.extraCerts = {pki().ca.get()};
    return zmrtest::makePkcs7Base64(spec);
  }

  tx::Form nczmr20(const std::string& clientInfo = "2.0") const {
    return {{"carrier", "NC_ZMR20"}, {"clientInfo", clientInfo}, {"traceId", "trace-0001"}};
  }
  tx::Form authForm() const {
    tx::Form f = nczmr20();
    f.emplace_back("pkcs7", signature(kChallenge));
    return f;
  }
  tx::Form signForm() const {
    tx::Form f = nczmr20();
    f.emplace_back("pkcs7", signature(kSignedText));
    f.emplace_back("ocsp", "c2VydmVyIG9jc3A=");
    return f;
  }
  tx::Form sign21Form(const std::string& pkcs7s) const {
    tx::Form f = nczmr20("2.1");
    f.emplace_back("clientpkcs7s", pkcs7s);
    f.emplace_back("ocsp", "c2VydmVyIG9jc3A=");
    f.emplace_back("cpReport", tx::formEncode("cp=1&x=y"));
    return f;
  }

  Sent send(const std::string& operation, const tx::Form& form) {
    Sent s;
    tx::Envelope e = tx::clientRequest(pki().merchantAuth.key.get(), tx::renderForm(form), operation, std::nullopt,
                                       "", &s.basekey);
    s.rc = zmr::verifytransactionrequest(session, e.encKey, e.encData, e.encAuth, operation, std::nullopt);
    s.error = takeError();
    return s;
  }

  std::string item(const std::string& key) {
    std::string value;
    return zmr::popinfoitem(session, key, value) == 0 ? value : "<absent>";
  }
  // The thread's items in order, as key (lower case)=value.
  std::vector<std::string> items() {
    std::vector<std::string> out;
    int count = 0;
    zmr::wildcard_countinfoitems(session, "", &count);
    for (int i = 0; i < count; ++i) {
      std::string k, v;
      EXPECT_EQ(0, zmr::wildcard_popinfoitem(session, "", i, k, v));
      out.push_back(k + "=" + v);
    }
    return out;
  }

  // The answer opened with the initialisation's key.
  bool answer(tx::Form& fields, int& rc, std::string& error) {
    std::optional<std::string> out;
    rc = zmr::verifytransactionresponse(session, out);
    error = takeError();
    if (rc != 0) return !out.has_value();
    std::string plain;
    return out && tx::openAnswer(initkey, *out, plain) && tx::parseForm(plain, fields);
  }

  int session = -1;
  std::string initkey;
  static zmrtest::TestPki* pki_;
  static zmrtest::VaSetup* setup_;
};

zmrtest::TestPki* VerifyTransaction::pki_ = nullptr;
zmrtest::VaSetup* VerifyTransaction::setup_ = nullptr;

TEST_F(VerifyTransaction, AuthenticationStoresTheUsersResults) {
  initialised();
  ASSERT_EQ(0, zmr::pushinfoitem(session, "nextURL", "https://merchant.example/next"));
  tx::Form form = authForm();
  Sent s = send("verifyAuth", form);
  ASSERT_EQ(0, s.rc) << s.error;
  EXPECT_EQ("verifyAuth", item("operation"));
  EXPECT_EQ(*tx::field(form, "pkcs7"), item("clientPkcs7"));
  EXPECT_NE("<absent>", item("clientOcsp"));
  EXPECT_EQ("<absent>", item("clientFullOcsp"));  // not in RFC 6960 mode
  EXPECT_NE("<absent>", item("vaperf"));
  // The request's own key follows the initialisation's.
  int count = 0;
  zmr::wildcard_countinfoitems(session, "key", &count);
  EXPECT_EQ(2, count);

  tx::Form fields;
  int rc = -1;
  std::string error;
  ASSERT_TRUE(answer(fields, rc, error)) << error;
  ASSERT_EQ(0, rc) << error;
  EXPECT_EQ((std::vector<std::string>{"status", "nextURL", "vaPerf"}), tx::names(fields));
  EXPECT_EQ("OK", *tx::field(fields, "status"));
  EXPECT_EQ(item("vaperf"), *tx::field(fields, "vaPerf"));
}

TEST_F(VerifyTransaction, SigningOneDocumentAndRfc6960Mode) {
  initialised();
  ASSERT_EQ(0, zmr::pushinfoitem(session, "ocspFormat", "OCSP_RFC6960_COMPATIBLE"));
  Sent s = send("verifySign", signForm());
  ASSERT_EQ(0, s.rc) << s.error;
  EXPECT_EQ("verifySign", item("operation"));
  EXPECT_EQ("c2VydmVyIG9jc3A=", item("serverOcsp"));
  EXPECT_NE("<absent>", item("clientFullOcsp"));
  EXPECT_NE("<absent>", item("clientOcsp"));
  // The personal certificate was billed as a signing.
  std::optional<zmrtest::VaRequest> r = va().lastRequest();
  ASSERT_TRUE(r);
  EXPECT_EQ(0u, r->extension(zmrtest::kOidBilling).value_or("").rfind("S;;", 0));
  EXPECT_TRUE(r->extension(zmrtest::kOidRfc6960Flag));
}

TEST_F(VerifyTransaction, SigningEveryDocument) {
  initialised();
  ASSERT_EQ(0, zmr::pushinfoitem(session, "ocspFormat", "OCSP_RFC6960_COMPATIBLE"));
  documents({"first document", std::string("%PDF\0\n", 6)});
  const std::string p1 = signature("first document"), p2 = signature(std::string("%PDF\0\n", 6));
  tx::Form form = sign21Form(p1 + "," + p2);
  form.emplace_back("rtReport", "a=1&b=2");
  Sent s = send("verifySign", form);
  ASSERT_EQ(0, s.rc) << s.error;
  EXPECT_EQ("verifySign", item("operation"));
  EXPECT_EQ("cp=1&x=y", item("cpReport"));
  EXPECT_EQ("1", item("a"));
  // Each document's status was asked as a signing.
  std::vector<zmrtest::VaRequest> asked = va().requests();
  ASSERT_GE(asked.size(), 2u);
  for (size_t i = asked.size() - 2; i < asked.size(); ++i) {
    EXPECT_EQ(0u, asked[i].extension(zmrtest::kOidBilling).value_or("").rfind("S;;", 0));
    EXPECT_TRUE(asked[i].extension(zmrtest::kOidRfc6960Flag));
  }
  for (int i = 0; i < 2; ++i) {
    char* pkcs7 = nullptr;
    char* ocsp = nullptr;
    ASSERT_EQ(0, zmr_getsignatureandocsp(session, i, &pkcs7, &ocsp));
    EXPECT_EQ(i == 0 ? p1 : p2, zmrtest::take(pkcs7));
    EXPECT_FALSE(zmrtest::take(ocsp).empty());
    ASSERT_EQ(0, zmr_getsignatureandfullocsp(session, i, &pkcs7, &ocsp));
    zmrtest::take(pkcs7);
    EXPECT_FALSE(zmrtest::take(ocsp).empty());
  }
}

// Every code of verification with the case that makes it and the last line
// of the recent error.
TEST_F(VerifyTransaction, CodesAndTheirLines) {
  const std::string p1 = signature("one"), p2 = signature("two");
  struct Case {
    const char* name;
    std::string operation;
    tx::Form form;
    int rc;
    const char* line;
    std::vector<std::optional<std::string>> docs = {};
    std::optional<std::string> carrier = "NC_ZMR20";
    std::vector<std::string> drop = {};  // init items left out
  };
  auto without = [](tx::Form f, const std::string& key) {
    for (auto it = f.begin(); it != f.end(); ++it) {
      if (it->first == key) {
        f.erase(it);
        break;
      }
    }
    return f;
  };
  auto with = [](tx::Form f, const std::string& key, const std::string& value) {
    for (auto& [k, v] : f) {
      if (k == key) {
        v = value;
        return f;
      }
    }
    f.emplace_back(key, value);
    return f;
  };
  const Case cases[] = {
      {"no traceId field", "verifyAuth", without(authForm(), "traceId"), 39009,
       "inittransaction::performinitauth20: TraceID not present in request received from client.\n"},
      {"other traceId", "verifyAuth", with(authForm(), "traceId", "trace-0002"), 39008,
       "inittransaction::performinitauth20: The received traceid doesn't match the \"traceId\" infoitem.\n"},
      {"no traceId item", "verifyAuth", authForm(), 2022,
       "inittransaction::performinitauth20: Unable to retrieve infoitem \"traceId\".\n", {}, "NC_ZMR20",
       {"traceId"}},
      {"verifySign without clientInfo", "verifySign", without(signForm(), "clientInfo"), 39011,
       "verifytransactionrequest_verifytransactionrequest: An error occured fetching the clientInfo from the "
       "request.\n"},
      {"auth without pkcs7", "verifyAuth", nczmr20(), 40002,
       "verifytransactionrequest::handleverifyauth: \"pkcs7\" missing in transaction data.\n"},
      {"sign without pkcs7", "verifySign", without(signForm(), "pkcs7"), 40002,
       "verifytransactionrequest::handleverifysign: \"pkcs7\" missing in transaction data.\n"},
      {"sign without ocsp", "verifySign", without(signForm(), "ocsp"), 40003,
       "verifytransactionrequest::handleverifysign: \"ocsp\" missing in transaction data.\n"},
      {"sign21 without ocsp", "verifySign", without(sign21Form(p1), "ocsp"), 40003,
       "verifytransactionrequest::handleverifysign21: \"ocsp\" missing in transaction data.\n", {"one"}},
      {"handleError without errCode", "handleError", nczmr20(), 40004,
       "verifytransactionrequest::handleerror: \"errCode\" missing in transaction data.\n"},
      {"operation in other case", "verifyauth", authForm(), 40005,
       "verifytransactionrequest_verifytransactionrequest: Invalid operation in verifytransactionrequest data.\n"},
      {"document without signed data", "verifySign", sign21Form(p1 + "," + p2), 40006,
       "verifytransactionrequest::handleverifysign21: The signed data element is null.\n", {"one", std::nullopt}},
      {"no clientpkcs7s", "verifySign", without(sign21Form(p1), "clientpkcs7s"), 40007,
       "verifytransactionrequest::handleverifysign21: \"pkcs7s\" missing in transaction data.\n", {"one"}},
      {"reserved report key", "handleError", with(with(nczmr20(), "errCode", "9"), "rtReport", "SocialNo=1"),
       40008, "verifytransactionrequest::handleerror: Error occured parsing rtReport.\n"},
      {"1 signature, 2 documents", "verifySign", sign21Form(p1), 40009,
       "verifytransactionrequest::handleverifysign21: The number of documents set is not equal to the number of "
       "signatures received.\n",
       {"one", "two"}},
      {"3 signatures, 2 documents", "verifySign", sign21Form(p1 + "," + p2 + "," + p2), 40009,
       "verifytransactionrequest::handleverifysign21: The number of documents set is not equal to the number of "
       "signatures received.\n",
       {"one", "two"}},
      {"P1,,P2", "verifySign", sign21Form(p1 + ",," + p2), 40009,
       "verifytransactionrequest::handleverifysign21: The number of documents set is not equal to the number of "
       "signatures received.\n",
       {"one", "two", "two"}},
      {"no cpReport", "verifySign", without(sign21Form(p1), "cpReport"), 1,
       "verifytransactionrequest::handleverifysign21: Error occured decoding cpReport.\n", {"one"}},
      {"cpReport badly escaped", "verifySign", with(sign21Form(p1), "cpReport", "%zz"), 1,
       "verifytransactionrequest::handleverifysign21: Error occured decoding cpReport.\n", {"one"}},
      {"no serverChallenge item", "verifyAuth", authForm(), 2022,
       "verifytransactionrequest::handleverifyauth: Could not retrieve infoitem \"serverchallenge\".\n", {},
       "NC_ZMR20", {"serverChallenge"}},
      {"no signeddata item", "verifySign", signForm(), 2022,
       "verifytransactionrequest::handleverifysign: Could not retrieve infoitem \"signeddata\".\n", {}, "NC_ZMR20",
       {"signeddata"}},
      {"signature over other bytes", "verifyAuth", with(authForm(), "pkcs7", p1), 12003,
       "verifytransactionrequest::handleverifyauth: Error occured during AuthenticateClient.\n"},
      {"signed data verified over the wrong document", "verifySign", sign21Form(p2 + "," + p1), 12003,
       "verifytransactionrequest::handleverifysign21: Error occured during verification of signed data.\n",
       {"one", "two"}},
      {"no carrier: no trace-id check, verifySign one signature", "verifySign",
       without(without(without(signForm(), "carrier"), "traceId"), "clientInfo"), 0, "", {}, std::nullopt,
       {"traceId"}},
      {"handleError on NC_ZMR20 without traceId", "handleError", {{"carrier", "NC_ZMR20"}, {"errCode", "7"}}, 0,
       ""},
      {"clientInfo 2.0 signs one", "verifySign", signForm(), 0, ""},
      {"clientInfo 2.10 signs one", "verifySign", with(signForm(), "clientInfo", "2.10"), 0, ""},
      {"clientInfo 2.1 signs every document", "verifySign", sign21Form(p1), 0, "", {"one"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    ASSERT_EQ(0, zmr::pushinfoitem(session, "key", tx::b64(initkey)));
    if (c.carrier) {
      ASSERT_EQ(0, zmr::pushinfoitem(session, "carrier", *c.carrier));
    }
    const std::pair<const char*, std::string> init[] = {
        {"traceId", "trace-0001"}, {"serverChallenge", tx::b64(kChallenge)}, {"signeddata", tx::b64(kSignedText)}};
    for (const auto& [k, v] : init) {
      if (std::find(c.drop.begin(), c.drop.end(), k) == c.drop.end()) {
        ASSERT_EQ(0, zmr::pushinfoitem(session, k, v));
      }
    }
    if (!c.docs.empty()) documents(c.docs);
    Sent s = send(c.operation, c.form);
    EXPECT_EQ(c.rc, s.rc) << s.error;
    EXPECT_EQ(c.line, lastLine(s.error));
  }
}

TEST_F(VerifyTransaction, AnUndecodableMessageIsRefusedBeforeAnything) {
  initialised();
  tx::Envelope e = tx::clientRequest(pki().merchantAuth.key.get(), tx::renderForm(authForm()), "verifyAuth",
                                     std::nullopt);
  EXPECT_EQ(40051, zmr::verifytransactionrequest(session, e.encKey, e.encData, e.encAuth, "verifySign",
                                                 std::nullopt));
  EXPECT_EQ("verifytransactionrequest_verifytransactionrequest: An error occured trying to decrypt the "
            "transactiond data.\n",
            lastLine(takeError()));
  int count = 0;
  zmr::wildcard_countinfoitems(session, "key", &count);
  EXPECT_EQ(1, count);
}

TEST_F(VerifyTransaction, ReportPairsThenTheReport) {
  initialised();
  tx::Form form = nczmr20();
  form.emplace_back("errCode", "3001");
  form.emplace_back("rtReport", "a=1&b=2");
  Sent s = send("handleError", form);
  ASSERT_EQ(0, s.rc) << s.error;
  EXPECT_EQ((std::vector<std::string>{"key=" + tx::b64(initkey), "carrier=NC_ZMR20", "traceid=trace-0001",
                                      "serverchallenge=" + tx::b64(kChallenge), "signeddata=" + tx::b64(kSignedText),
                                      "key=" + tx::b64(s.basekey), "carrier=NC_ZMR20", "errorcode=3001", "a=1",
                                      "b=2", "rtreport=a=1&b=2"}),
            items());
  ASSERT_EQ(0, zmr::pushinfoitem(session, "nextURL", "https://merchant.example/n"));
  tx::Form fields;
  int rc = -1;
  std::string error;
  ASSERT_TRUE(answer(fields, rc, error)) << error;
  EXPECT_EQ((tx::Form{{"errCode", "3001"}, {"nextURL", "https://merchant.example/n"}}), fields);
}

// Reports planting results: refused, and nothing planted is readable.
TEST_F(VerifyTransaction, ReportsCannotPlantResults) {
  const struct {
    const char* name;
    const char* report;
    const char* key;
  } plants[] = {
      {"socialno", "socialno=01017012345", "socialno"},
      {"nextURL in other case", "NEXTurl=https%3A%2F%2Fevil.example", "nextURL"},
      {"errorCode", "x=1&errorcode=0", "errorCode"},
      {"clientPkcs7", "clientPkcs7=Zm9v", "clientPkcs7"},
      {"undecodable value", "note=%zz", "note"},
      {"undecodable key", "n%0te=1", "n%0te"},
  };
  for (const char* operation : {"handleError", "verifyAuth"}) {
    for (const auto& p : plants) {
      SCOPED_TRACE(std::string(operation) + ": " + p.name);
      ASSERT_EQ(0, zmr_removeinfoitems(session));
      initialised();
      tx::Form form = std::string(operation) == "handleError" ? nczmr20() : authForm();
      if (std::string(operation) == "handleError") form.emplace_back("errCode", "77");
      form.emplace_back("rtReport", p.report);
      Sent s = send(operation, form);
      EXPECT_EQ(40008, s.rc);
      EXPECT_NE(std::string::npos,
                s.error.find("verifytransactionrequest::handlereportdata: Could not set infoitem \""))
          << s.error;
      // Nothing of the report is stored; a result is the library's own.
      std::vector<std::string> stored = items();
      for (const std::string& kv : stored) {
        EXPECT_EQ(std::string::npos, kv.find("01017012345")) << kv;
        EXPECT_EQ(std::string::npos, kv.find("evil.example")) << kv;
        EXPECT_NE("x=1", kv);
        EXPECT_NE("rtreport=" + std::string(p.report), kv);
      }
      EXPECT_EQ("<absent>", item("socialno"));
      EXPECT_EQ("<absent>", item("nextURL"));
      EXPECT_EQ(std::string(operation) == "handleError" ? "77" : "<absent>", item("errorCode"));
      EXPECT_NE("Zm9v", item("clientPkcs7"));
    }
  }
}

TEST_F(VerifyTransaction, UserCertificateStatus) {
  // Additional information the merchant asked for.
  initialised();
  ASSERT_EQ(0, zmr::pushinfoitem(session, "addsocialno", "true"));
  va().answer([this](const zmrtest::VaRequest& r) {
    zmrtest::OcspSpec spec = va().goodSpec(r);
    spec.extensions = {{"2.999.10.1.16.3.2.1", "ok"}, {"2.999.10.1.16.3.2", "01018012345"},
                       {"2.999.10.1.16.3.1.1", "not allowed"}};
    return zmrtest::VaStandin::reply(spec);
  });
  Sent s = send("verifyAuth", authForm());
  EXPECT_EQ(0, s.rc) << s.error;
  EXPECT_EQ("01018012345", item("socialno"));
  EXPECT_EQ("not allowed", item("accountnoerr"));

  for (int status : {V_OCSP_CERTSTATUS_REVOKED, V_OCSP_CERTSTATUS_UNKNOWN}) {
    SCOPED_TRACE(status);
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    initialised();
    va().answer([this, status](const zmrtest::VaRequest& r) {
      zmrtest::OcspSpec spec = va().goodSpec(r);
      spec.singles[0].status = status;
      return zmrtest::VaStandin::reply(spec);
    });
    s = send("verifyAuth", authForm());
    EXPECT_EQ(status == V_OCSP_CERTSTATUS_REVOKED ? 13012 : 13014, s.rc);
    EXPECT_EQ("verifytransactionrequest::verifytransactionrequest: Error occured during retrieval of certificate "
              "status.\n",
              lastLine(s.error));
    EXPECT_EQ("<absent>", item("clientPkcs7"));
    EXPECT_EQ("<absent>", item("clientOcsp"));
    // The document keeps the answer that said so.
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    initialised();
    documents({"one"});
    s = send("verifySign", sign21Form(signature("one")));
    EXPECT_EQ(status == V_OCSP_CERTSTATUS_REVOKED ? 13012 : 13014, s.rc);
    zmr::document* d = nullptr;
    ASSERT_EQ(0, zmr::getdocuments(session, &d));
    EXPECT_TRUE(d->ocsp.has_value());
    EXPECT_FALSE(d->clientpkcs7.has_value());
  }
  va().answer(nullptr);
}

TEST_F(VerifyTransaction, TheAnswersPairs) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> items;
    int rc;
    std::vector<std::string> names;
    const char* line = "";
  };
  const Case cases[] = {
      {"mobile: no target, no nextURL",
       {{"carrier", "mobile"}, {"sdo", "<sdo/>"}, {"target", "t"}, {"nextURL", "n"}, {"vaperf", "12"}},
       0,
       {"status", "sdo", "vaPerf"}},
      {"no carrier, no nextURL", {}, 39001, {},
       "verifytransactionresponse_verifytransactionresponse: Could not add mandatory infoitem \"nexturl\" to "
       "response.\n"},
      {"NC_ZMR20 without nextURL", {{"carrier", "NC_ZMR20"}}, 0, {"status"}},
      {"everything, error code first",
       {{"vaperf", "5"}, {"nextURL", "n"}, {"target", "t"}, {"sdo", "s"}, {"errorCode", "4711"}},
       0,
       {"errCode", "sdo", "target", "nextURL", "vaPerf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, zmr_removeinfoitems(session));
    ASSERT_EQ(0, zmr::pushinfoitem(session, "key", tx::b64(initkey)));
    for (const auto& [k, v] : c.items) ASSERT_EQ(0, zmr::pushinfoitem(session, k, v));
    tx::Form fields;
    int rc = -1;
    std::string error;
    ASSERT_TRUE(answer(fields, rc, error)) << error;
    EXPECT_EQ(c.rc, rc) << error;
    EXPECT_EQ(c.names, tx::names(fields));
    EXPECT_EQ(c.line, lastLine(error));
  }
  ASSERT_EQ(0, zmr_removeinfoitems(session));
  ASSERT_EQ(0, zmr::pushinfoitem(session, "nextURL", "n"));
  std::optional<std::string> out;
  EXPECT_EQ(2022, zmr::verifytransactionresponse(session, out));
  EXPECT_FALSE(out);
  EXPECT_EQ("verifytransactionresponse_verifytransactionresponse: Could not retrieve infoitem \"key\".\n",
            lastLine(takeError()));
  EXPECT_EQ(2009, zmr::verifytransactionresponse(session + 1, out));
}

}  // namespace
