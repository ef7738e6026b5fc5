// The simulated client's verification side, checked on its own: the end
// user's certificates, its signatures (read back by `openssl cms`), the
// signing's OCSP field, the request hooks (judged by the library's own
// decryption) and the verdicts on verification answers.
#include "support/txclient.h"

#include <gtest/gtest.h>
#include <openssl/ocsp.h>
#include <openssl/x509v3.h>
#include <zmr/zmr.h>

#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/merchant.h"
#include "support/verifiers.h"

namespace zmrtest {
namespace {

// A list of borrowed certificates.
inline void freeShallow(STACK_OF(X509) * s) { sk_X509_free(s); }
using CertList = std::unique_ptr<STACK_OF(X509), zmr::OsslDeleter<freeShallow>>;

std::string answerOf(const std::string& basekey, const tx::Form& fields) {
  tx::Envelope e = tx::serverResponse(basekey, tx::renderForm(fields));
  return "encData=" + tx::formEncode(e.encData) + "&encAuth=" + tx::formEncode(e.encAuth);
}

TEST(TxClientUser, TwoCertificatesOfThePersonalPolicyPerUser) {
  TestPki pki = makePki(1);
  EndUser a = makeEndUser(pki, 0), b = makeEndUser(pki, 3);
  EXPECT_EQ("Ola Nordmann", a.name);
  EXPECT_EQ("Ola Nordmann 3", b.name);
  zmr::X509StorePtr store(X509_STORE_new());
  ASSERT_EQ(1, X509_STORE_add_cert(store.get(), pki.root.get()));
  for (const EndUser* u : {&a, &b}) {
    EXPECT_EQ(X509_get_key_usage(u->auth.get()), static_cast<uint32_t>(KU_DIGITAL_SIGNATURE));
    EXPECT_EQ(X509_get_key_usage(u->sign.get()), static_cast<uint32_t>(KU_NON_REPUDIATION));
    for (X509* c : {u->auth.get(), u->sign.get()}) {
      zmr::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
      CertList chain(sk_X509_new_null());
      ASSERT_EQ(1, sk_X509_push(chain.get(), u->ca.get()));
      ASSERT_EQ(1, X509_STORE_CTX_init(ctx.get(), store.get(), c, chain.get()));
      EXPECT_EQ(1, X509_verify_cert(ctx.get()));
    }
  }
  EXPECT_NE(1, EVP_PKEY_eq(a.auth.key.get(), b.auth.key.get()));
  EXPECT_NE(1, EVP_PKEY_eq(a.auth.key.get(), a.sign.key.get()));
  EXPECT_NE(0, X509_NAME_cmp(X509_get_subject_name(a.sign.get()), X509_get_subject_name(b.sign.get())));
}

TEST(TxClientUser, SignaturesAreBinaryDetachedSha256WithTheChain) {
  TestPki pki = makePki(1);
  TxClient client(pki, "merchant.example");
  const std::string challenge = std::string("abc\ndef\n\0\r\xff", 12);
  std::string log;
  const std::string p7 = client.userSignature(challenge, client.user().auth);
  EXPECT_TRUE(cmsVerifies(p7, challenge, {pki.root.get()}, &log)) << log;
  // Text mode signs CR LF line ends: not the bytes given.
  EXPECT_FALSE(pkcs7VerifiesWith(client.userSignature(challenge, client.user().auth, false), challenge,
                                 client.user().auth.get()));

  zmr::Pkcs7Ptr parsed = parsePkcs7(fromBase64(p7));
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(PKCS7_get_detached(parsed.get()));
  const STACK_OF(X509)* certs = parsed->d.sign->cert;
  ASSERT_EQ(2, sk_X509_num(certs));
  EXPECT_EQ(0, X509_cmp(sk_X509_value(certs, 0), client.user().auth.get()));
  EXPECT_EQ(0, X509_cmp(sk_X509_value(certs, 1), pki.ca.get()));
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(parsed.get()), 0);
  X509_ALGOR* digest = nullptr;
  PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &digest, nullptr);
  EXPECT_EQ(NID_sha256, OBJ_obj2nid(digest->algorithm));
  for (int nid : {NID_pkcs9_contentType, NID_pkcs9_signingTime, NID_pkcs9_messageDigest, NID_SMIMECapabilities})
    EXPECT_NE(nullptr, PKCS7_get_signed_attribute(si, nid)) << OBJ_nid2sn(nid);
}

TEST(TxClientUser, ServerOcspIsAGoodAnswerAboutTheMerchantsSigningCertificate) {
  TestPki pki = makePki(1);
  TxClient client(pki, "merchant.example");
  zmr::OcspBasicRespPtr basic = parseOcspBasic(fromBase64(client.serverOcsp()));
  ASSERT_TRUE(basic);
  zmr::X509StorePtr store(X509_STORE_new());
  ASSERT_EQ(1, X509_STORE_add_cert(store.get(), pki.root.get()));
  CertList chain(sk_X509_new_null());
  ASSERT_EQ(1, sk_X509_push(chain.get(), pki.ca.get()));
  EXPECT_EQ(1, OCSP_basic_verify(basic.get(), chain.get(), store.get(), 0));
  std::unique_ptr<OCSP_CERTID, zmr::OsslDeleter<OCSP_CERTID_free>> id(
      OCSP_cert_to_id(nullptr, pki.merchantSign.get(), pki.ca.get()));
  int status = -1;
  ASSERT_EQ(1, OCSP_resp_find_status(basic.get(), id.get(), &status, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(V_OCSP_CERTSTATUS_GOOD, status);
}

TEST(TxClientRequests, HooksAsTheLibraryDecryptsThem) {
  MerchantFiles m = makeMerchantFiles("txclient");
  TxClient client(m.pki, "merchant.example");
  ASSERT_EQ(0, zmr_initialize());
  int session = -1;
  ASSERT_EQ(0, zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr))
      << recentError();
  const tx::Form fields = {{"carrier", "NC_ZMR20"}, {"errCode", "4711"}};
  EVP_PKEY* other = X509_get0_pubkey(m.pki.merchantSign.get());
  const struct {
    const char* name;
    Tamper how;
    int code;
  } cases[] = {
      {"proper", {}, 0},
      {"extra", {.extra = "x=1"}, 0},
      {"chosen key", {.basekey = std::string(32, 'k')}, 0},
      {"raw plain text", {.plain = "a=%zz"}, 0},
      {"tag over another operation", {.tagOperation = "verifyAuth"}, 40051},
      {"flipped tag", {.flipTag = true}, 40051},
      {"another key", {.to = other}, 40051},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TxRequest r = client.request("handleError", fields, c.how);
    if (!c.how.basekey.empty()) {
      EXPECT_EQ(c.how.basekey, r.basekey);
    }
    char* data = nullptr;
    char* key = nullptr;
    EXPECT_EQ(c.code, zmr_decrypttransactiondata(session, r.envelope.encKey.c_str(), r.envelope.encData.c_str(),
                                                 r.envelope.encAuth.c_str(), r.operation.c_str(),
                                                 r.extra ? r.extra->c_str() : nullptr, &data, &key));
    if (c.code == 0) {
      EXPECT_EQ(c.how.plain.value_or(tx::renderForm(fields)), take(data));
      EXPECT_EQ(tx::b64(r.basekey), take(key));
    }
  }
  std::ignore = zmr_finalize();
}

TEST(TxClientVerification, FieldsOfEachOperation) {
  TestPki pki = makePki(1);
  TxClient client(pki, "merchant.example");
  TxRequest init = client.request("initSign", client.signFields(Carrier::nczmr20, "2.1", "t-1"));
  const std::vector<TxDocument> documents = {{TxDocument::text, "one\n", "", "d1"},
                                             {TxDocument::pdf, std::string("%PDF\0\n", 6), "", "d2"}};
  TxAnswer answer;
  answer.fields = {{"Documents", TxClient::documentsJson(documents)}, {"coiData", "x"}};
  const std::string report = reportText({{"a", "1"}, {"b", "2 & 3"}});
  EXPECT_EQ("a=1&b=2+%26+3", report);

  tx::Form sign = client.verifySignFields(init, answer, report);
  EXPECT_EQ(
      (std::vector<std::string>{"carrier", "clientInfo", "traceId", "clientpkcs7s", "ocsp", "cpReport", "rtReport"}),
      tx::names(sign));
  EXPECT_EQ("t-1", tx::field(sign, "traceId"));
  const std::string signatures = *tx::field(sign, "clientpkcs7s");
  const size_t comma = signatures.find(',');
  ASSERT_NE(std::string::npos, comma);
  EXPECT_TRUE(pkcs7VerifiesWith(signatures.substr(0, comma), documents[0].content, client.user().sign.get()));
  EXPECT_TRUE(pkcs7VerifiesWith(signatures.substr(comma + 1), documents[1].content, client.user().sign.get()));
  std::string cp;
  ASSERT_TRUE(tx::formDecode(*tx::field(sign, "cpReport"), cp));
  EXPECT_EQ(TxClient::kCpReport, cp);

  TxRequest mobile = client.request("initSign", client.signFields(Carrier::mobile));
  TxAnswer one;
  one.fields = {{"data", tx::b64("pay 10")}};
  tx::Form single = client.verifySignFields(mobile, one);
  EXPECT_EQ((std::vector<std::string>{"carrier", "pkcs7", "ocsp"}), tx::names(single));
  EXPECT_TRUE(pkcs7VerifiesWith(*tx::field(single, "pkcs7"), "pay 10", client.user().sign.get()));

  TxAnswer auth;
  auth.serverChallenge = "challenge\n";
  tx::Form verify = client.verifyAuthFields(init, auth);
  EXPECT_EQ((std::vector<std::string>{"carrier", "clientInfo", "traceId", "pkcs7"}), tx::names(verify));
  EXPECT_TRUE(pkcs7VerifiesWith(*tx::field(verify, "pkcs7"), "challenge\n", client.user().auth.get()));
  // Without a carrier nothing is repeated.
  TxRequest plain = client.request("initAuth", client.authFields(Carrier::none));
  EXPECT_EQ((tx::Form{{"errCode", "5"}, {"rtReport", report}}), client.handleErrorFields(plain, "5", report));
}

TEST(TxClientVerification, ResponseVerdicts) {
  TestPki pki = makePki(1);
  TxClient client(pki, "merchant.example");
  TxRequest init = client.request("initAuth", client.authFields(Carrier::nczmr20));
  TxRequest auth = client.request("verifyAuth", {{"carrier", "NC_ZMR20"}});
  TxRequest error = client.request("handleError", {{"carrier", "NC_ZMR20"}, {"errCode", "17"}});
  TxRequest mobileInit = client.request("initAuth", client.authFields(Carrier::mobile));
  TxRequest mobile = client.request("verifyAuth", {{"carrier", "mobile"}});
  const ResponseItems items{.sdo = "<sdo/>", .target = "t", .nextURL = "https://next"};
  const struct {
    const char* name;
    const TxRequest* init;
    const TxRequest* verification;
    std::string answer;
    ResponseItems items;
    const char* why;  // "" when the verdict is good
  } cases[] = {
      {"good", &init, &auth,
       answerOf(init.basekey,
                {{"status", "OK"}, {"sdo", "<sdo/>"}, {"target", "t"}, {"nextURL", "https://next"}, {"vaPerf", "12"}}),
       items, ""},
      {"client's code", &init, &error, answerOf(init.basekey, {{"errCode", "17"}}), {}, ""},
      {"merchant's code",
       &init,
       &auth,
       answerOf(init.basekey, {{"errCode", "5"}, {"vaPerf", "3"}}),
       {.errorCode = "5"},
       ""},
      {"mobile: no target or nextURL", &mobileInit, &mobile,
       answerOf(mobileInit.basekey, {{"status", "OK"}, {"sdo", "<sdo/>"}, {"vaPerf", "0"}}), items, ""},
      {"under the verification's key",
       &init,
       &error,
       answerOf(error.basekey, {{"errCode", "17"}}),
       {},
       "the answer opens with the verification request's key, not the init request's"},
      {"order", &init, &auth,
       answerOf(init.basekey,
                {{"status", "OK"}, {"target", "t"}, {"sdo", "<sdo/>"}, {"nextURL", "https://next"}, {"vaPerf", "1"}}),
       items, "fields status target sdo nextURL vaPerf instead of status sdo target nextURL vaPerf "},
      {"another value",
       &init,
       &error,
       answerOf(init.basekey, {{"errCode", "18"}}),
       {},
       "errCode: \"18\", expected \"17\""},
      {"vaPerf not a number",
       &init,
       &auth,
       answerOf(init.basekey, {{"status", "OK"}, {"vaPerf", "1.5"}}),
       {},
       "vaPerf: \"1.5\" is not a decimal number"},
      {"status where a code is due",
       &init,
       &error,
       answerOf(init.basekey, {{"status", "OK"}}),
       {},
       "fields status instead of errCode "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TxAnswer a = client.checkResponse(*c.init, *c.verification, c.answer, c.items);
    EXPECT_EQ(*c.why == '\0', a.ok);
    EXPECT_EQ(c.why, a.why);
  }
}

}  // namespace
}  // namespace zmrtest
