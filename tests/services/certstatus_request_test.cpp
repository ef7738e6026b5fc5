// The OCSP request as the validation authority sees it, signed in
// software: CertID, extensions and their raw values, requestor name,
// certificates and signature, for both merchant key sizes and for the
// merchant's own certificate.
#include <regex>

#include "certstatustest.h"
#include "zmr/zmr.h"

using namespace certstatustest;

namespace {

struct Case {
  const char* name;
  zmrtest::Properties items;
  std::optional<std::string> wanted;  // value of 1.2.3.4; nullopt: absent
  std::string billing;                // pattern; R stands for the random part
  bool flag;                          // the RFC 6960 flag is sent
  bool full;                          // a full response comes back
};

const std::vector<Case>& endUserCases() {
  static const std::vector<Case> cases = {
      {"plain", {{"operation", "verifyAuth"}}, std::nullopt, "A;;R", false, false},
      {"account only", {{"operation", "verifyAuth"}, {"addaccountno", "true"}}, ",2.999.10.1.16.3.1", "A;;R", false,
       false},
      {"social false", {{"operation", "verifyAuth"}, {"addsocialno", "false"}}, "", "A;;R", false, false},
      {"all three",
       {{"operation", "verifyAuth"}, {"addsocialno", "true"}, {"addaccountno", "true"}, {"addorganisationno", "true"}},
       "2.999.10.1.16.3.2,2.999.10.1.16.3.1,2.999.10.1.16.3.3", "A;;R", false, false},
      {"exactly true",
       {{"operation", "verifyAuth"}, {"addorganisationno", "true"}, {"addaccountno", "TRUE"}, {"addsocialno", "true"}},
       "2.999.10.1.16.3.2,2.999.10.1.16.3.3", "A;;R", false, false},
      {"trace id", {{"operation", "verifyAuth"}, {"traceId", "trace-7"}}, std::nullopt, "A;;R;trace-7", false, false},
      {"prefix", {{"operation", "verifyAuth"}, {"BillingPrefix", "shop42"}, {"traceId", "t"}}, std::nullopt,
       "shop42;R;t", false, false},
      {"prefix alone", {{"operation", "verifySign"}, {"BillingPrefix", "p"}}, std::nullopt, "p;R", false, false},
      {"signing", {{"operation", "verifySign"}}, std::nullopt, "S;;R", false, false},
      {"rfc6960 authentication", {{"operation", "verifyAuth"}, {"ocspFormat", "OCSP_RFC6960_COMPATIBLE"}},
       std::nullopt, "A;;R", false, true},
      {"rfc6960 signing", {{"operation", "verifySign"}, {"ocspFormat", "OCSP_RFC6960_COMPATIBLE"}}, std::nullopt,
       "S;;R", true, true},
      {"rfc6960 in other case", {{"operation", "verifySign"}, {"ocspFormat", "ocsp_rfc6960_compatible"}},
       std::nullopt, "S;;R", false, false},
  };
  return cases;
}

// The billing text against a pattern in which R is 20 random bytes in
// base64.
void expectBilling(const std::string& pattern, const std::string& text) {
  std::string re;
  for (char c : pattern) re += c == 'R' ? std::string("[A-Za-z0-9+/]{27}=") : std::string(1, c);
  EXPECT_TRUE(std::regex_match(text, std::regex(re))) << text << " against " << pattern;
}

void checkCase(const Case& c, const zmrtest::VaRequest& r, const Outcome& o, const zmrtest::TestPki& pki,
               const X509* asked, const char* algorithm) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(0, o.rc) << o.error;
  std::vector<std::string> expected;
  if (c.wanted) expected.push_back(zmrtest::kOidWanted);
  expected.push_back(zmrtest::kOidBilling);
  if (c.flag) expected.push_back(zmrtest::kOidRfc6960Flag);
  EXPECT_EQ(expected, checkRequest(r, pki, asked, algorithm));
  EXPECT_EQ(c.wanted, r.extension(zmrtest::kOidWanted));
  std::string billing = r.extension(zmrtest::kOidBilling).value_or("");
  expectBilling(c.billing, billing);
  EXPECT_EQ(billing, o.nonce.value_or("<none>"));
  EXPECT_EQ(c.flag ? std::optional<std::string>("OCSP_RFC6960_COMPATIBLE") : std::nullopt,
            r.extension(zmrtest::kOidRfc6960Flag));
  EXPECT_EQ(c.full, o.fullocsp.has_value());
}

class Requests : public Library {
 protected:
  void runAll(const std::string& tag, const zmrtest::TestPki& pki, const char* algorithm) {
    zmrtest::VaSetup setup = zmrtest::makeVaSetup(tag, pki, false);
    int s = open(setup);
    std::string pkcs7 = zmrtest::endUserPkcs7(pki);
    size_t seen = 0;
    for (const Case& c : endUserCases()) {
      ASSERT_EQ(0, zmr::removeinfoitems(s));
      for (const auto& [k, v] : c.items) ASSERT_EQ(0, zmr::setinfoitem(s, k, v));
      Outcome o = call(s, pkcs7);
      std::vector<zmrtest::VaRequest> requests = setup.va->requests();
      ASSERT_EQ(++seen, requests.size()) << c.name;
      checkCase(c, requests.back(), o, pki, pki.endUser.get(), algorithm);
    }

    // The merchant's own signing certificate is a signing certificate: "S"
    // and, in RFC 6960 mode, the flag; no operation item is needed.
    Case own{"own", {}, std::nullopt, "S;;R", false, false};
    Case ownRfc{"own rfc6960", {{"ocspFormat", "OCSP_RFC6960_COMPATIBLE"}}, std::nullopt, "S;;R", true, true};
    for (const Case* c : {&own, &ownRfc}) {
      ASSERT_EQ(0, zmr::removeinfoitems(s));
      for (const auto& [k, v] : c->items) ASSERT_EQ(0, zmr::setinfoitem(s, k, v));
      Outcome o = call(s, std::nullopt);
      ASSERT_EQ(++seen, setup.va->requests().size());
      checkCase(*c, setup.va->requests().back(), o, pki, pki.merchantSign.get(), algorithm);
    }
    // And through the exported function.
    ASSERT_EQ(0, zmr::removeinfoitems(s));
    char* ocsp = nullptr;
    EXPECT_EQ(0, zmr_getowncertstatus(s, &ocsp)) << takeError();
    EXPECT_NE(nullptr, ocsp);
    EXPECT_EQ(0, zmr_free(ocsp));
    ASSERT_EQ(++seen, setup.va->requests().size());
    EXPECT_TRUE(checkRequest(setup.va->requests().back(), pki, pki.merchantSign.get(), algorithm) ==
                std::vector<std::string>{zmrtest::kOidBilling});
  }
};

TEST_F(Requests, Merchant2048SignsWithSha256) { runAll("cs-req-2048", zmrtest::makePki(2), kSha256WithRsa); }

TEST_F(Requests, Merchant1024SignsWithSha1) {
  zmrtest::CertSpec auth = zmrtest::merchantAuthSpec();
  auth.keyBits = 1024;
  runAll("cs-req-1024", zmrtest::makeMerchantPki(2, auth, zmrtest::merchantSignSpec()), kSha1WithRsa);
}

}  // namespace
