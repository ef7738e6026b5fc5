// What the validation authority answers and how the library judges it:
// broken replies, error statuses and other response types, answers that
// fail the check (forged, about another certificate, stale, replayed), the
// three statuses, the additional information of a good answer, and
// OpenSSL's own responder as the real peer.
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "certstatustest.h"
#include "support/verifiers.h"

using namespace certstatustest;

namespace {

constexpr const char* kReadLine =
    "getcertstatus_getcertstatus: An error occured trying to read the va response and parse it into an ocsp basic "
    "response structure\n";
constexpr const char* kVerifyLine = "getcertstatus_getcertstatus: An error occured trying verify the ocsp response\n";
constexpr const char* kStatusLine =
    "getcertstatus_getcertstatus: An error occured trying to retrieve the status in the ocsp response\n";

class Answers : public Library {
 protected:
  void SetUp() override {
    Library::SetUp();
    pki = zmrtest::makePki(2);
    setup = zmrtest::makeVaSetup("cs-answers", pki, false);
    session = open(setup);
    pkcs7 = zmrtest::endUserPkcs7(pki);
  }
  // One call about the end user (authentication) with the stand-in
  // answering as given.
  Outcome ask(zmrtest::VaStandin::Answer answer, const zmrtest::Properties& items = {}) {
    setup.va->answer(std::move(answer));
    zmr::removeinfoitems(session);
    EXPECT_EQ(0, zmr::setinfoitem(session, "operation", "verifyAuth"));
    for (const auto& [k, v] : items) EXPECT_EQ(0, zmr::setinfoitem(session, k, v));
    return call(session, pkcs7);
  }
  // An answer made from the default good one.
  Outcome askWith(const std::function<void(zmrtest::OcspSpec&)>& change, const zmrtest::Properties& items = {}) {
    return ask(
        [this, change](const zmrtest::VaRequest& r) {
          zmrtest::OcspSpec spec = setup.va->goodSpec(r);
          change(spec);
          return zmrtest::VaStandin::reply(spec);
        },
        items);
  }

  zmrtest::TestPki pki;
  zmrtest::VaSetup setup;
  int session = -1;
  std::string pkcs7;
};

zmrtest::HttpResponse raw(const std::string& text) {
  zmrtest::HttpResponse r;
  r.raw = text;
  return r;
}

TEST_F(Answers, BrokenRepliesAndErrorStatusesGiveTheirCodes) {
  std::string good = zmrtest::makeOcspResponseDer(zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get()));
  std::string basic = zmrtest::makeOcspBasicDer(zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get()));
  auto ok = [](const std::string& headers, const std::string& body) {
    return raw("HTTP/1.1 200 OK\r\n" + headers + "\r\n" + body);
  };
  auto cl = [](const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n"; };
  struct Case {
    const char* name;
    zmrtest::HttpResponse reply;
    int code;
    const char* line;
  } cases[] = {
      {"404", raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), 13003,
       "The va did not respond with an http ok code (200 OK)\n"},
      {"200 OK elsewhere", raw("HTTP/1.1 302 Found\r\nX-Note: 200 OK\r\nContent-Length: 0\r\n\r\n"), 13003,
       "The va did not respond with an http ok code (200 OK)\n"},
      {"no blank line", raw("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"), 13004,
       "The http response from the va is not in a valid format. It is missing the duplicate cr and lf\n"},
      {"no length", ok("Content-Type: application/ocsp-response\r\n", good), 13005,
       "The http response from the va does not contain a content-length entry.\n"},
      {"length in the body only", ok("", "Content-Length: 5\r\n"), 13005,
       "The http response from the va does not contain a content-length entry.\n"},
      {"length without CR", ok("Content-Length: " + std::to_string(good.size()) + "\nX-A: b\r\n", good), 13006,
       "The http response did not contain a cr after content-length.\n"},
      {"length 0", ok("Content-Length: 0\r\n", ""), 13024,
       "The http response did not contain a valid content-length value.\n"},
      {"length not a number", ok("Content-Length: many\r\n", good), 13024,
       "The http response did not contain a valid content-length value.\n"},
      {"not DER", ok("content-LENGTH: 5\r\n", "abcde"), 13008,
       "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n"},
      {"trailing bytes", ok(cl(good + "xx"), good + "xx"), 13008,
       "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n"},
      {"status 4", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(4)), 13008,
       "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n"},
      {"status 7", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(7)), 13008,
       "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n"},
      {"basic that does not decode",
       zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(0, "1.3.6.1.5.5.7.48.1.1", basic.substr(0, 40))),
       13008, "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n"},
      {"basic with trailing bytes",
       zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(0, "1.3.6.1.5.5.7.48.1.1", basic + "x")), 13008,
       "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n"},
      {"malformedRequest", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(1)), 13018,
       "The va did not understand the ocsp request we sent.\n"},
      {"internalError", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(2)), 13019,
       "The va responded with an ocsp internal error status.\n"},
      {"tryLater", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(3)), 13020,
       "The va responded with an ocsp try later status.\n"},
      {"sigRequired", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(5)), 13021,
       "The va did not find a signature of the ocsp request.\n"},
      {"unauthorized", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(6)), 13022,
       "The va did not authorize access to certificate in request.\n"},
      {"error status with a basic response",
       zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(2, "1.3.6.1.5.5.7.48.1.1", basic)), 13019,
       "The va responded with an ocsp internal error status.\n"},
      {"successful without bytes", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(0)), 13007,
       "The ocsp response did not contain an ocsp basic response.\n"},
      {"another type", zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(0, "1.3.6.1.5.5.7.48.1.9", basic)),
       13007, "The ocsp response did not contain an ocsp basic response.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setup.va->server().setBehaviour(c.reply.raw ? zmrtest::Behaviour::closeDelimited : zmrtest::Behaviour::normal);
    zmrtest::HttpResponse reply = c.reply;
    Outcome o = ask([reply](const zmrtest::VaRequest&) { return reply; });
    EXPECT_EQ(c.code, o.rc);
    EXPECT_EQ(std::string("getcertstatus_getocspresponse: ") + c.line + kReadLine, o.error);
    EXPECT_EQ("", o.ocsp);
    EXPECT_NE("<absent>", item(session, "vaperf")) << "the exchange itself succeeded";
  }
}

TEST_F(Answers, AnswersThatFailTheCheckAreRefusedButHandedBack) {
  zmrtest::CertSpec otherSpec = zmrtest::endUserSpec();
  otherSpec.serialBytes = std::vector<unsigned char>(16, 0x5a);
  zmrtest::TestCert other = zmrtest::makeCert(otherSpec, &pki.ca);
  zmrtest::TestCert forged = pki.responder;
  forged.key = zmrtest::testKey(2048, 61);
  zmrtest::CertSpec usageSpec = zmrtest::responderSpec();
  usageSpec.keyUsage = KU_DIGITAL_SIGNATURE;
  zmrtest::TestCert usage = zmrtest::makeCert(usageSpec, &pki.ca);
  zmrtest::CertSpec policySpec = zmrtest::responderSpec();
  policySpec.policies = {zmrtest::kPolicyPersonal};
  zmrtest::TestCert policy = zmrtest::makeCert(policySpec, &pki.ca);
  zmrtest::TestCert foreignRoot = zmrtest::makeCert(zmrtest::rootSpec("Foreign Root"));
  zmrtest::TestCert foreign = zmrtest::makeCert(zmrtest::responderSpec(), &foreignRoot);

  struct Case {
    const char* name;
    std::function<void(zmrtest::OcspSpec&)> change;
    int code;
    const char* line;
  } cases[] = {
      {"replayed nonce", [](zmrtest::OcspSpec& s) { s.nonce = std::string(16, 'r'); }, 13009,
       "getcertstatus_verifyocspresponse: The nonce value in the ocsp request does not match the nonce value in the "
       "ocsp response. This indicates a replay attack\n"},
      {"another certificate of the issuer",
       [&](zmrtest::OcspSpec& s) {
         s.singles[0] = zmrtest::OcspSingleSpec{};
         s.singles[0].cert = other.get();
         s.singles[0].issuer = pki.ca.get();
       },
       13010,
       "getcertstatus_verifyocspresponse: The serial number in the ocsp request does not match the serial number "
       "responded with from the va.\n"},
      {"no certificates", [](zmrtest::OcspSpec& s) { s.certs = std::vector<const X509*>{}; }, 13011,
       "getcertstatus_verifyocspresponse: Did not find a signing certificate in the ocsp response.\n"},
      {"responder without nonRepudiation", [&](zmrtest::OcspSpec& s) { s.signer = &usage; }, 6002,
       "getcertstatus_verifyocspresponse: The usageextensions does not match expected values for VA signing "
       "certificate.\n"},
      {"responder of another policy", [&](zmrtest::OcspSpec& s) { s.signer = &policy; }, 6001,
       "getcertstatus_verifyocspresponse: The signing certificate retrieved from the server does not contain the VA "
       "OCSP responder certificate policy oid\n"},
      {"forged: the genuine certificate, another key", [&](zmrtest::OcspSpec& s) { s.signer = &forged; }, 13023,
       "getcertstatus_verifyocspresponse: An error occured verifying the ocsp response using OCSP_basic_verify.\n"},
      {"responder of a foreign root", [&](zmrtest::OcspSpec& s) { s.signer = &foreign; }, 13031,
       "pkcs7tools_verifyocspresponse: The VA certificate in the OCSP response did not verify.\n"},
      {"stale",
       [](zmrtest::OcspSpec& s) {
         s.singles[0].thisUpdateOffset = -3 * 86400;
         s.singles[0].nextUpdateOffset = -2 * 86400;
       },
       13033, "getcertstatus_verifyocspresponse: The ocsp response has passed its nextUpdate time.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = askWith(c.change);
    EXPECT_EQ(c.code, o.rc);
    EXPECT_EQ(std::string(c.line) + kVerifyLine, o.error);
    EXPECT_FALSE(o.ocsp.empty()) << "the answer is handed back as read";
    EXPECT_EQ("<absent>", item(session, "socialnoerr"));
  }
}

TEST_F(Answers, StatusesAndTheAnswerHandedBack) {
  // Good: the answer comes back byte for byte, with the exchange's time.
  std::string sent;
  Outcome o = ask([&](const zmrtest::VaRequest& r) {
    zmrtest::OcspSpec spec = setup.va->goodSpec(r);
    sent = zmrtest::makeOcspBasicDer(spec);
    return zmrtest::VaStandin::reply(zmrtest::makeOcspEnvelopeDer(0, "1.3.6.1.5.5.7.48.1.1", sent));
  });
  EXPECT_EQ(0, o.rc) << o.error;
  EXPECT_EQ("", o.error);
  EXPECT_EQ(sent, zmrtest::fromBase64(o.ocsp));
  EXPECT_FALSE(o.fullocsp.has_value());
  std::string perf = item(session, "vaperf");
  EXPECT_FALSE(perf.empty());
  EXPECT_EQ(std::string::npos, perf.find_first_not_of("0123456789")) << perf;

  // Revoked and unknown: the answer is handed back (and the full response
  // in RFC 6960 mode), no additional information is read.
  struct Case {
    int status;
    int code;
    const char* line;
  } cases[] = {
      {V_OCSP_CERTSTATUS_REVOKED, 13012, "getcertstatus_getocspresponsestatus: The certificate in request is revoked.\n"},
      {V_OCSP_CERTSTATUS_UNKNOWN, 13014,
       "getcertstatus_getocspresponsestatus: The va could not decide the status of the certificate in request.\n"},
  };
  for (const Case& c : cases) {
    for (bool rfc : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.code << (rfc ? " rfc6960" : ""));
      zmrtest::Properties items;
      if (rfc) items.emplace_back("ocspFormat", "OCSP_RFC6960_COMPATIBLE");
      o = askWith(
          [&](zmrtest::OcspSpec& s) {
            s.singles[0].status = c.status;
            s.extensions = {zmrtest::additionalStatus(zmrtest::kOidSocialNo, "ok"),
                            zmrtest::additionalData(zmrtest::kOidSocialNo, "01017012345")};
          },
          items);
      EXPECT_EQ(c.code, o.rc);
      EXPECT_EQ(std::string(c.line) + kStatusLine, o.error);
      EXPECT_FALSE(o.ocsp.empty());
      EXPECT_EQ(rfc, o.fullocsp.has_value());
      if (rfc) {
        std::string full = zmrtest::fromBase64(o.fullocsp.value_or(""));
        EXPECT_NE(std::string::npos, full.find(zmrtest::fromBase64(o.ocsp)));
      }
      EXPECT_EQ("<absent>", item(session, "socialno"));
      EXPECT_EQ("<absent>", item(session, "socialnoerr"));
    }
  }
}

TEST_F(Answers, AdditionalInformationOfAGoodAnswer) {
  using zmrtest::additionalData;
  using zmrtest::additionalStatus;
  using zmrtest::kOidAccountNo;
  using zmrtest::kOidOrganisationNo;
  using zmrtest::kOidSocialNo;
  using Items = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    std::vector<zmrtest::OcspExtensionSpec> extensions;
    bool nonce;
    Items expected;  // the items of the six names, in the order pushed
  } cases[] = {
      {"no extensions at all",
       {},
       false,
       {{"socialnoerr", "Extension not present"},
        {"accountnoerr", "Extension not present"},
        {"organisationnoerr", "Extension not present"}}},
      {"only the nonce", {}, true, {}},
      {"account ok delivers every data item",
       {additionalData(kOidSocialNo, "01017012345"), additionalStatus(kOidAccountNo, "ok"),
        additionalData(kOidAccountNo, "1234.56.78903")},
       true,
       {{"socialno", "01017012345"}, {"accountno", "1234.56.78903"}}},
      {"status texts name their item",
       {additionalStatus(kOidSocialNo, "No such person"), additionalStatus(kOidOrganisationNo, "Not registered"),
        additionalData(kOidSocialNo, "01017012345")},
       true,
       {{"socialnoerr", "No such person"}, {"organisationnoerr", "Not registered"}}},
      {"OK and Ok, empty data skipped",
       {additionalStatus(kOidOrganisationNo, "OK"), additionalData(kOidOrganisationNo, ""),
        additionalData(kOidAccountNo, "42")},
       false,
       {{"accountno", "42"}}},
      {"data without status", {additionalData(kOidSocialNo, "01017012345")}, false, {}},
      {"ok in another case is a status text", {additionalStatus(kOidAccountNo, "oK")}, false,
       {{"accountnoerr", "oK"}}},
      {"each good status delivers the data again, in the response's order",
       {additionalData(kOidOrganisationNo, "987654321"), additionalStatus(kOidSocialNo, "ok"),
        additionalStatus(kOidOrganisationNo, "Not registered"), additionalData(kOidSocialNo, "01017012345"),
        additionalStatus(kOidAccountNo, "Ok")},
       false,
       {{"organisationno", "987654321"},
        {"socialno", "01017012345"},
        {"organisationnoerr", "Not registered"},
        {"organisationno", "987654321"},
        {"socialno", "01017012345"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = askWith([&](zmrtest::OcspSpec& s) {
      if (!c.nonce) s.nonce.reset();
      s.extensions = c.extensions;
    });
    EXPECT_EQ(0, o.rc) << o.error;
    // A look-up gives the first item of a name: the order is what counts.
    const std::set<std::string> names = {"socialno",    "accountno",    "organisationno",
                                         "socialnoerr", "accountnoerr", "organisationnoerr"};
    Items stored;
    std::string key, value;
    for (int i = 0; zmr::wildcard_popinfoitem(session, "", i, key, value) == 0; ++i)
      if (names.count(key) != 0) stored.emplace_back(key, value);
    EXPECT_EQ(c.expected, stored);
  }
}

TEST_F(Answers, FullInfoItemsFailTheTimePush) {
  ASSERT_EQ(0, zmr::removeinfoitems(session));
  ASSERT_EQ(0, zmr::setinfoitem(session, "operation", "verifyAuth"));
  for (int i = 1; i < zmr::kMaxInfoItems; ++i) ASSERT_EQ(0, zmr::setinfoitem(session, "k" + std::to_string(i), "v"));
  setup.va->answer(nullptr);
  Outcome o = call(session, pkcs7);
  EXPECT_EQ(2023, o.rc);
  EXPECT_EQ("getcertstatus_getcertstatus: Failed to push perf time information as infoitem.\n", o.error);
}

// OpenSSL's responder as the validation authority, over plain HTTP and TLS.
TEST_F(Answers, OpensslResponderAsThePeer) {
  zmrtest::TestCert revoked = zmrtest::makeCert(zmrtest::endUserSpec(), &pki.ca);
  zmrtest::TestCert unlisted = zmrtest::makeCert(zmrtest::endUserSpec(), &pki.ca);
  std::string good = pkcs7;
  std::string bad = zmrtest::endUserPkcs7(pki, &revoked);
  std::string unknown = zmrtest::endUserPkcs7(pki, &unlisted);
  zmrtest::OpensslResponder responder;
  responder.index = {{pki.endUser.get(), false}, {revoked.get(), true}};

  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    zmrtest::VaSetup peer = zmrtest::makeVaSetup(tls ? "cs-openssl-tls" : "cs-openssl", pki, tls);
    int s = open(peer);
    peer.va->useOpenssl(responder);
    ASSERT_EQ(0, zmr::setinfoitem(s, "operation", "verifyAuth"));
    Outcome o = call(s, good);
    EXPECT_EQ(0, o.rc) << o.error;
    o = call(s, bad);
    EXPECT_EQ(13012, o.rc) << o.error;
    o = call(s, unknown);
    EXPECT_EQ(13014, o.rc) << o.error;

    zmrtest::OpensslResponder bare = responder;
    bare.noCerts = true;
    peer.va->useOpenssl(bare);
    o = call(s, good);
    EXPECT_EQ(13011, o.rc) << o.error;
    EXPECT_EQ(4u, peer.va->requests().size());
    EXPECT_EQ(0, zmr::closesession(s));
  }
}

// In RFC 6960 mode the answer's own certificates may complete the
// responder's chain: with only the root trusted, OpenSSL's answer that
// carries the issuing CA verifies in that mode alone.
TEST_F(Answers, Rfc6960ModeLetsTheAnswerCarryTheChain) {
  zmrtest::VaSetup peer = zmrtest::makeVaSetup("cs-openssl-rother", pki, true);
  std::filesystem::remove_all(peer.merchant.truststore);
  mkdir(peer.merchant.truststore.c_str(), 0755);
  ASSERT_TRUE(zmrtest::writeTrustStore(peer.merchant.truststore, {pki.root.get()}));
  int s = open(peer);
  zmrtest::OpensslResponder responder;
  responder.index = {{pki.endUser.get(), false}};
  responder.rother = true;
  peer.va->useOpenssl(responder);

  ASSERT_EQ(0, zmr::setinfoitem(s, "operation", "verifySign"));
  Outcome o = call(s, pkcs7);
  EXPECT_EQ(13031, o.rc) << o.error;
  ASSERT_EQ(0, zmr::setinfoitem(s, "ocspFormat", "OCSP_RFC6960_COMPATIBLE"));
  o = call(s, pkcs7);
  EXPECT_EQ(0, o.rc) << o.error;
  ASSERT_TRUE(o.fullocsp.has_value());
  EXPECT_EQ("OCSP_RFC6960_COMPATIBLE", peer.va->requests().back().extension(zmrtest::kOidRfc6960Flag).value_or(""));
  EXPECT_EQ(0, zmr::closesession(s));
}

}  // namespace
