#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include "misc/status.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/fixtures.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

using zmrtest::CertSpec;
using zmrtest::TestCert;

std::string takeError() {
  std::optional<std::string> e;
  getlasterror(0, e);
  return e.value_or("");
}

TestCert withKeyUsage(std::optional<int> mask) {
  CertSpec s;
  s.subject = {{"CN", "ku"}};
  s.keyUsage = mask;
  return zmrtest::makeCert(s);
}

TEST(KeyUsage, RequiredCodesAgainstTheCertificateMask) {
  TestCert ds = withKeyUsage(KU_DIGITAL_SIGNATURE);
  TestCert decipherOnly = withKeyUsage(KU_DECIPHER_ONLY);
  TestCert all = withKeyUsage(0x80ff);
  TestCert none = withKeyUsage(std::nullopt);
  TestCert empty = withKeyUsage(0);
  struct {
    const char* name;
    const TestCert* cert;
    std::vector<int> codes;
    int code;
  } cases[] = {
      {"digitalSignature", &ds, {1}, 0},
      {"plus nonRepudiation", &ds, {1, 2}, 6002},
      {"nothing required", &ds, {}, 0},
      {"unknown code", &ds, {10, 0, -1}, 0},
      {"decipherOnly beyond a one-byte string", &ds, {9}, 6002},
      {"decipherOnly", &decipherOnly, {9}, 0},
      {"decipherOnly only", &decipherOnly, {1}, 6002},
      {"every bit", &all, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 0},
      {"no extension has no bits", &none, {1}, 6002},
      {"no extension, nothing required", &none, {}, 0},
      {"empty bit string", &empty, {1}, 6002},
      {"empty bit string, unknown code", &empty, {11}, 0},
  };
  for (const auto& c : cases) {
    takeError();
    EXPECT_EQ(checkusageextensions(0, c.cert->get(), c.codes.data(), static_cast<int>(c.codes.size())), c.code)
        << c.name;
    EXPECT_EQ(takeError(), "") << c.name;
  }
  // Each code names its own bit.
  const int masks[] = {KU_DIGITAL_SIGNATURE, KU_NON_REPUDIATION, KU_KEY_ENCIPHERMENT, KU_DATA_ENCIPHERMENT,
                       KU_KEY_AGREEMENT,     KU_KEY_CERT_SIGN,   KU_CRL_SIGN,         KU_ENCIPHER_ONLY,
                       KU_DECIPHER_ONLY};
  for (int i = 0; i < 9; ++i) {
    TestCert c = withKeyUsage(masks[i]);
    for (int code = 1; code <= 9; ++code)
      EXPECT_EQ(checkusageextensions(0, c.get(), &code, 1), code == i + 1 ? 0 : 6002) << i << " " << code;
  }
  EXPECT_EQ(checkusageextensions(0, ds.get(), nullptr, 1), kBadArgument);
}

TEST(KeyUsage, UsesOfACertificate) {
  const std::string neither = "certtools_getkeyusage: The keyusage is the certificate is neither authenticate nor sign\n";
  struct {
    std::optional<int> mask;
    int code;
    std::string text;
  } cases[] = {
      {KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION, 0, "authentication, signing"},
      {KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT, 0, "authentication"},
      {KU_NON_REPUDIATION, 0, "signing"},
      {KU_KEY_ENCIPHERMENT, 6012, ""},
      {std::nullopt, 6012, ""},
  };
  for (const auto& c : cases) {
    TestCert cert = withKeyUsage(c.mask);
    takeError();
    std::string out = "untouched";
    EXPECT_EQ(getkeyusage(0, cert.get(), out), c.code);
    EXPECT_EQ(out, c.code == 0 ? c.text : "untouched");
    EXPECT_EQ(takeError(), c.code == 0 ? "" : neither);
  }
}

struct Policy : ::testing::Test {
  void SetUp() override {
    session = zmrtest::openStoreSession();
    ASSERT_LT(session, kMaxSessions);
  }
  void TearDown() override { freesession(session); }
  void grant(const std::optional<std::string>& value, const std::string& key = "grantedpolicies") {
    auto& props = zmrtest::sessionState(session)->properties;
    props.clear();
    props.emplace_back("truststore", "/nonexistent");
    if (value) props.emplace_back(key, *value);
  }
  int session = -1;
};

TestCert withPolicies(std::vector<std::vector<std::string>> extensions) {
  CertSpec s;
  s.subject = {{"CN", "policy"}};
  for (const auto& oids : extensions) s.extensions.push_back(zmrtest::policiesExtension(oids));
  return zmrtest::makeCert(s);
}

TEST_F(Policy, ExactEntriesOfGrantedPolicies) {
  const std::string personal = zmrtest::kPolicyPersonal, signOnly = zmrtest::kPolicySignOnly,
                    responder = zmrtest::kPolicyResponder;
  struct {
    const char* name;
    std::optional<std::string> granted;
    std::vector<std::vector<std::string>> policies;
    const char* extra;
    int code;
  } cases[] = {
      {"ALL grants", "ALL", {{personal}}, nullptr, 0},
      {"ALL needs a policy", "ALL", {}, nullptr, 6001},
      {"first of two", personal + "," + signOnly, {{personal}}, nullptr, 0},
      {"last of two", personal + "," + signOnly, {{signOnly}}, nullptr, 0},
      {"later exact entry", "2.999.10.1.16.1.14.10," + signOnly, {{signOnly}}, nullptr, 0},
      {"prefix of an entry", "2.999.10.1.16.1.14.10", {{signOnly}}, nullptr, 6001},
      {"tail of an entry", "1" + signOnly, {{signOnly}}, nullptr, 6001},
      {"entry longer at the end", signOnly + "0", {{signOnly}}, nullptr, 6001},
      {"blanks around entries", " " + personal + " ,\t" + signOnly + " ", {{signOnly}}, nullptr, 0},
      {"ALL among entries", personal + ", ALL", {{signOnly}}, nullptr, 0},
      {"all is not ALL", "all", {{signOnly}}, nullptr, 6001},
      {"empty property", "", {{signOnly}}, nullptr, 6001},
      {"only the first policy of an extension counts", signOnly, {{personal, signOnly}}, nullptr, 6001},
      {"either extension", signOnly, {{personal}, {signOnly}}, nullptr, 0},
      {"extra OID", personal, {{responder}}, "2.999.10.1.16.1.5.1", 0},
      {"extra OID is exact", personal, {{responder}}, "2.999.10.1.16.1.5.10", 6001},
      {"extra OID is not searched", personal, {{responder}}, "x2.999.10.1.16.1.5.1", 6001},
      {"empty policy list", "ALL", {{}}, nullptr, 6001},
  };
  const std::string notGranted =
      "certtools_isvalidpolicy: The merchant session is configured to not support usage of the certificate's "
      "policy.\n";
  for (const auto& c : cases) {
    grant(c.granted);
    TestCert cert = withPolicies(c.policies);
    takeError();
    EXPECT_EQ(isvalidpolicy(*zmrtest::sessionState(session), cert.get(), c.extra), c.code) << c.name;
    EXPECT_EQ(takeError(), c.code == 0 ? "" : notGranted) << c.name;
  }
}

TEST_F(Policy, FailuresAndTheirLines) {
  grant("ALL", "GrantedPolicies");  // keys compared without regard to case
  TestCert good = withPolicies({{zmrtest::kPolicyPersonal}});
  EXPECT_EQ(isvalidpolicy(*zmrtest::sessionState(session), good.get(), nullptr), 0);

  CertSpec v1;
  v1.subject = {{"CN", "v1"}};
  v1.version = 1;
  CertSpec empty;
  empty.subject = {{"CN", "empty"}};
  empty.emptyExtensionList = true;
  empty.ocspUrl.reset();
  empty.keyIdentifiers = false;
  CertSpec junk;
  junk.subject = {{"CN", "junk"}};
  junk.extensions = {zmrtest::rawExtension("2.5.29.32", "junk"), zmrtest::policiesExtension({"1.2.3"})};
  struct {
    const char* name;
    X509* cert;
    int code;
    std::string line;
  } cases[] = {
      {"no certificate", nullptr, 6001,
       "certtools_isvalidpolicy: The merchant session is configured to not support usage of the certificate's "
       "policy.\n"},
      {"no extension list", zmrtest::makeCert(v1).cert.release(), 6001,
       "certtools_isvalidpolicy: Did not find any extensions in the certificates cert_info structure.\n"},
      {"empty extension list", zmrtest::makeCert(empty).cert.release(), 6001,
       "certtools_isvalidpolicy: The certificates cert_info contains no entries for the extensions.\n"},
      {"undecodable policies", zmrtest::makeCert(junk).cert.release(), 6001,
       "certtools_isvalidpolicy: The policystack in the certificate is not present!.\n"},
  };
  for (auto& c : cases) {
    takeError();
    EXPECT_EQ(isvalidpolicy(*zmrtest::sessionState(session), c.cert, "1.2.3"), c.code) << c.name;
    EXPECT_EQ(takeError(), c.line) << c.name;
    X509_free(c.cert);
  }

  const std::string missing =
      "certtools_isvalidpolicy: Unable to find the configuration file parameter grantedpolicies.\n";
  grant(std::nullopt);
  takeError();
  EXPECT_EQ(isvalidpolicy(*zmrtest::sessionState(session), good.get(), zmrtest::kPolicyPersonal), 2004);
  EXPECT_EQ(takeError(), missing);
}

// ---- signing time ----

struct SigningTime : ::testing::Test {
  // Signers share one issuer; their serials fix the order of the SignerInfos.
  static TestCert signer(const std::string& from, const std::string& to, const std::string& serial = "1") {
    static const TestCert ca = zmrtest::makeCert(zmrtest::issuingCaSpec());
    CertSpec s = zmrtest::endUserSpec();
    s.notBefore = from;
    s.notAfter = to;
    s.serial = serial;
    return zmrtest::makeCert(s, &ca);
  }
  // Signers whose signingTime holds the given text as stored (UTCTime, or
  // the type given); nullopt: signed attributes without signingTime.
  static zmrtest::Pkcs7Spec spec(const std::vector<std::pair<const TestCert*, std::optional<std::string>>>& signers,
                                 int type = V_ASN1_UTCTIME) {
    zmrtest::Pkcs7Spec p;
    for (const auto& [cert, time] : signers) {
      zmrtest::Pkcs7SignerSpec s;
      s.cert = cert;
      if (time)
        s.signingTimeDer = zmrtest::der::tlv(static_cast<unsigned char>(type), *time);
      else
        s.signingTime = false;
      p.signers.push_back(s);
    }
    return p;
  }
  static std::string signedAt(const std::vector<std::pair<const TestCert*, std::optional<std::string>>>& signers,
                              int type = V_ASN1_UTCTIME) {
    return zmrtest::makePkcs7Base64(spec(signers, type));
  }
};

TEST_F(SigningTime, WithinEverySignersValidity) {
  TestCert a = signer("250101000000Z", "350101000000Z");
  TestCert b = signer("300101000000Z", "400101000000Z", "2");
  const std::string after =
      "certtools_issigningtimeincertvalidity: The signingtime in the pkcs7 is after the notafter date in the "
      "certificate.\n";
  const std::string before =
      "certtools_issigningtimeincertvalidity: The signingtime in the pkcs7 is before the notbefore date in the "
      "certificate.\n";
  struct {
    const char* name;
    std::string pkcs7;
    int code;
    std::string line;
  } cases[] = {
      {"inside", signedAt({{&a, "300101000000Z"}}), 0, ""},
      {"at notBefore", signedAt({{&a, "250101000000Z"}}), 0, ""},
      {"a second before notBefore", signedAt({{&a, "241231235959Z"}}), 6023, before},
      {"a second before notAfter", signedAt({{&a, "341231235959Z"}}), 0, ""},
      {"at notAfter", signedAt({{&a, "350101000000Z"}}), 6022, after},
      {"after notAfter", signedAt({{&a, "360101000000Z"}}), 6022, after},
      {"every signer", signedAt({{&a, "310101000000Z"}, {&b, "200101000000Z"}}), 0, ""},
      {"second signer's period", signedAt({{&a, "260101000000Z"}, {&b, "310101000000Z"}}), 6023, before},
      {"GeneralizedTime is not checked", signedAt({{&a, "20600101000000Z"}}, V_ASN1_GENERALIZEDTIME), 0, ""},
  };
  for (const auto& c : cases) {
    takeError();
    EXPECT_EQ(issigningtimeincertvalidity(0, c.pkcs7), c.code) << c.name;
    EXPECT_EQ(takeError(), c.line) << c.name;
  }
}

TEST_F(SigningTime, NothingToCheckWithoutSigningTime) {
  TestCert expired = signer("100101000000Z", "110101000000Z");
  EXPECT_EQ(issigningtimeincertvalidity(0, signedAt({{&expired, std::nullopt}})), 0);
  zmrtest::Pkcs7Spec bare = zmrtest::pkcs7For(expired);
  bare.signers[0].signedAttributes = false;
  EXPECT_EQ(issigningtimeincertvalidity(0, zmrtest::makePkcs7Base64(bare)), 0);
  // The fixture's own signing time is now, after this expiry.
  EXPECT_EQ(issigningtimeincertvalidity(0, zmrtest::makePkcs7Base64(zmrtest::pkcs7For(expired))), 6022);
}

TEST_F(SigningTime, UnusableInput) {
  TestCert a = signer("250101000000Z", "350101000000Z");
  zmrtest::Pkcs7Spec noCerts = spec({{&a, "300101000000Z"}});
  noCerts.includeSignerCerts = false;
  std::string der = zmrtest::makePkcs7Der(spec({{&a, "300101000000Z"}}));
  auto b64 = [](const std::string& bytes) {
    return zmr::base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  };
  const std::string parse =
      "certtools_issigningtimeincertvalidity: An error occured trying to parse the der encoded pkcs7 to an pkcs7 "
      "structure.\n";
  struct {
    const char* name;
    std::string text;
    int code;
    std::string line;
  } cases[] = {
      {"not base64", "@@@@", 21002,
       "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n"
       "verifydata_verifydata: An error occured trying to base64 decode the pkcs7 input.\n"},
      {"not a PKCS#7", b64("not der"), 6020, parse},
      {"trailing bytes", b64(der + "x"), 6020, parse},
      {"truncated", b64(der.substr(0, der.size() - 1)), 6020, parse},
      {"no signer information", zmrtest::makePkcs7Base64(zmrtest::Pkcs7Spec()), 6016,
       "certtools_issigningtimeincertvalidity: No signers information in pkcs7.\n"},
      {"signer certificate missing", zmrtest::makePkcs7Base64(noCerts), 6021,
       "certtools_issigningtimeincertvalidity: The pkcs7 does not contain any signers!.\n"},
      {"signing time not convertible", signedAt({{&a, "30013100000xZ"}}), 6020,
       "certtools_issigningtimeincertvalidity: The signingtime in the pkcs7 could not be converted.\n"},
  };
  for (const auto& c : cases) {
    takeError();
    EXPECT_EQ(issigningtimeincertvalidity(0, c.text), c.code) << c.name;
    EXPECT_EQ(takeError(), c.line) << c.name;
  }
}

TEST_F(SigningTime, ReadersOfTheFirstSignersTime) {
  TestCert first = signer("250101000000Z", "350101000000Z", "1");
  TestCert second = signer("250101000000Z", "350101000000Z", "2");
  struct {
    std::string name;
    zmrtest::Pkcs7Spec p7;
    std::optional<std::string> display;
    std::optional<std::string> millis;
  } cases[] = {
      {"UTCTime", spec({{&first, "270203140509Z"}}), "Feb  3 14:05:09 2027 GMT", "1801663509000"},
      {"first signer counts", spec({{&first, "270203140509Z"}, {&second, "300101000000Z"}}),
       "Feb  3 14:05:09 2027 GMT", "1801663509000"},
      {"GeneralizedTime counts as none", spec({{&first, "20270203140509Z"}}, V_ASN1_GENERALIZEDTIME), std::nullopt,
       std::nullopt},
      {"no signingTime", spec({{&first, std::nullopt}, {&second, "300101000000Z"}}), std::nullopt, std::nullopt},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pkcs7Ptr p7 = zmrtest::makePkcs7(c.p7);
    std::optional<std::string> display = "untouched", millis = "untouched";
    EXPECT_EQ(getsigningtime(0, p7.get(), display), 0);
    EXPECT_EQ(getsigningtimelongstring(0, p7.get(), millis), 0);
    EXPECT_EQ(display, c.display);
    EXPECT_EQ(millis, c.millis);
  }

  Pkcs7Ptr nosigner = zmrtest::makePkcs7(zmrtest::Pkcs7Spec());
  takeError();
  std::optional<std::string> out;
  EXPECT_EQ(getsigningtime(0, nosigner.get(), out), 6016);
  EXPECT_EQ(getsigningtimelongstring(0, nosigner.get(), out), 6016);
  EXPECT_EQ(getsigningtime(0, nullptr, out), 6016);
  EXPECT_EQ(takeError(),
            "certtools_getsigningtime: No signers information in pkcs7.\n"
            "certtools_getsigningtimelong: No signers information in pkcs7.\n"
            "certtools_getsigningtime: No signers information in pkcs7.\n");

  Pkcs7Ptr bad = zmrtest::makePkcs7(spec({{&first, "27020314xx09Z"}}));
  EXPECT_EQ(getsigningtime(0, bad.get(), out), 6015);
  EXPECT_EQ(getsigningtimelongstring(0, bad.get(), out), 6015);
  EXPECT_EQ(takeError(),
            "certtools_getsigningtime: The signingtime date could not be parsed to ascii.\n"
            "certtools_getsigningtimelong: The signingtime date could not be converted.\n");
}

TEST_F(SigningTime, ValidityThatCannotBeComparedFails) {
  for (bool notAfter : {false, true}) {
    TestCert a = signer("250101000000Z", "350101000000Z");
    ASN1_TIME* t = notAfter ? X509_getm_notAfter(a.get()) : X509_getm_notBefore(a.get());
    ASSERT_EQ(ASN1_STRING_set(t, "garbage", 7), 1);
    ASSERT_GT(X509_sign(a.get(), a.key.get(), EVP_sha256()), 0);  // the signature is not looked at
    EXPECT_EQ(issigningtimeincertvalidity(0, signedAt({{&a, "300101000000Z"}})), notAfter ? 6022 : 6023);
  }
}

}  // namespace
}  // namespace zmr
