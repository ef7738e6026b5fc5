// PKCS#7 signer information by item name, checked against what `openssl
// x509` and `openssl cms` show of the same certificate and signature, and
// the signer listing over lists of signatures.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <map>
#include <regex>
#include <string>

#include "store/setup.h"
#include "services/verifying/verifyingops.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/fixtures.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/tempdir.h"
#include "support/verifiers.h"
#include "tools/base64.h"

namespace zmr {
namespace {

using zmrtest::Pkcs7Spec;
using zmrtest::TestCert;
namespace der = zmrtest::der;

// A fixed signing time: 2024-02-03 14:05:09 UTC.
const std::string kSigningTimeDer = der::utcTime("240203140509Z");
constexpr const char* kSigningTimeText = "Feb  3 14:05:09 2024 GMT";
constexpr const char* kSigningTimeMs = "1706969109000";

std::string signedBy(const TestCert& cert, bool signingTime = true) {
  Pkcs7Spec spec = zmrtest::pkcs7For(cert);
  spec.signers[0].signingTime = signingTime;
  if (signingTime) spec.signers[0].signingTimeDer = kSigningTimeDer;
  return zmrtest::makePkcs7Base64(spec);
}

class Pkcs7Info : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(0, initstructures());
    pki = new zmrtest::TestPki(zmrtest::makePki(2));
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  void SetUp() override {
    session = zmrtest::openStoreSession();
    zmrtest::takeRecentError();
  }
  void TearDown() override { freesession(session); }

  int info(const std::string& pkcs7, const std::string& item, std::string& out) {
    return getpkcs7info(session, pkcs7, item, out);
  }

  static zmrtest::TestPki* pki;
  int session = -1;
};
zmrtest::TestPki* Pkcs7Info::pki = nullptr;

// The first match of pattern's group 1 in text ("" when none).
std::string grab(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

std::string hexToDecimal(const std::string& hex) {
  BIGNUM* bn = nullptr;
  if (BN_hex2bn(&bn, hex.c_str()) == 0) return "";
  char* text = BN_bn2dec(bn);
  std::string out = text;
  OPENSSL_free(text);
  BN_free(bn);
  return out;
}

// What `openssl x509` and `openssl cms` show, as the items' answers.
std::map<std::string, std::string> opensslView(const TestCert& cert, const std::string& pkcs7base64) {
  std::string dir = zmrtest::makeTempDir("pkcs7info-oracle");
  zmrtest::writeFile(dir + "/cert.pem", cert.pem());
  std::vector<unsigned char> p7;
  EXPECT_TRUE(base64_decode(pkcs7base64, p7));
  zmrtest::writeFile(dir + "/p7.der", std::string(p7.begin(), p7.end()));
  std::string x509, der, cms;
  EXPECT_EQ(0, zmrtest::runCommand("openssl x509 -in " + dir +
                                       "/cert.pem -noout -text -issuer -subject -startdate -enddate -serial -email "
                                       "-nameopt RFC2253",
                                   &x509));
  EXPECT_EQ(0, zmrtest::runCommand("openssl x509 -in " + dir + "/cert.pem -outform DER -out " + dir + "/cert.der", nullptr));
  EXPECT_EQ(0, zmrtest::runCommand("openssl cms -cmsout -print -inform DER -in " + dir + "/p7.der", &cms));
  std::string usages = grab(x509, "X509v3 Key Usage:[^\n]*\n *([^\n]*)");
  std::string keyusage;
  if (usages.find("Digital Signature") != std::string::npos) keyusage = "authentication";
  if (usages.find("Non Repudiation") != std::string::npos) keyusage += keyusage.empty() ? "signing" : ", signing";
  std::string subject = grab(x509, "\nsubject=([^\n]*)");
  return {
      {"issuername", grab(x509, "\nissuer=([^\n]*)")},
      {"subjectname", subject},
      {"validfromdate", grab(x509, "\nnotBefore=([^\n]*)")},
      {"validtodate", grab(x509, "\nnotAfter=([^\n]*)")},
      {"versionnumber", grab(x509, "Version: (\\d+)")},
      {"serialnumber", hexToDecimal(grab(x509, "\nserial=([0-9A-F]+)"))},
      {"keyalgorithm", grab(x509, "Public Key Algorithm: (\\w+)") == "rsaEncryption" ? "RSA" : "not RSA"},
      {"keysize", grab(x509, "Public-Key: \\((\\d+) bit\\)")},
      {"uniqueid", grab(subject, "serialNumber=([^,]*)")},
      {"policyoid", grab(x509, "Policy: ([0-9.]+)")},
      {"commonname", grab(subject, "(?:^|,)CN=([^,]*)")},
      {"signingcertificate", zmrtest::toBase64(zmrtest::readFile(dir + "/cert.der"))},
      {"keyusage", keyusage},
      {"emailaddress", grab(x509, "\n([^\n=]+@[^\n]+)\n")},
      {"signingtime", grab(cms, "signingTime[^U]*UTCTIME:([^\n]*)")},
  };
}

TEST_F(Pkcs7Info, EveryItemAsOpenSslShowsIt) {
  zmrtest::CertSpec spec = zmrtest::endUserSpec();
  spec.subject.push_back({"emailAddress", "kari@example.no"});
  spec.bankName = "Zelmor Bank";
  spec.originator = "9578";
  spec.serial = "0x7f3a9c0011223344556677";
  TestCert cert = zmrtest::makeCert(spec, &pki->ca);
  std::string pkcs7 = signedBy(cert);

  std::map<std::string, std::string> expected = opensslView(cert, pkcs7);
  // The scheme's own fields, which OpenSSL shows only as bytes, are
  // compared with what the certificate was made with.
  expected["originator"] = "9578";
  expected["bankname"] = "Zelmor Bank";
  expected["dateofbirth"] = "Jan  1 12:00:00 1980 GMT";
  expected["phonenumber"] = "+4712345678";
  expected["signingtimelongstring"] = kSigningTimeMs;
  ASSERT_EQ(std::size(kPkcs7Items), expected.size());
  EXPECT_EQ(kSigningTimeText, expected["signingtime"]);
  for (const char* item : kPkcs7Items) {
    SCOPED_TRACE(item);
    ASSERT_FALSE(expected[item].empty());
    std::string out;
    EXPECT_EQ(0, info(pkcs7, item, out)) << zmrtest::takeRecentError();
    EXPECT_EQ(expected[item], out);
  }
  // The exported function's item index names the same items.
  for (int index = 0; index < static_cast<int>(std::size(kPkcs7Items)); ++index) {
    SCOPED_TRACE(index);
    char* out = nullptr;
    ASSERT_EQ(0, zmr_getpkcs7info(session, pkcs7.c_str(), index, &out)) << zmrtest::takeRecentError();
    EXPECT_EQ(expected[kPkcs7Items[index]], out);
    EXPECT_EQ(0, zmr_free(out));
  }
}

TEST_F(Pkcs7Info, InputFaults) {
  Pkcs7Spec noSigners = zmrtest::pkcs7For(pki->endUser);
  noSigners.signers.clear();
  noSigners.extraCerts = {pki->endUser.get()};
  Pkcs7Spec withoutCert = zmrtest::pkcs7For(pki->endUser);
  withoutCert.includeSignerCerts = false;
  const std::string good = signedBy(pki->endUser);
  const std::string p = "getpkcs7info_getpkcs7info: ";
  struct Case {
    const char* name;
    std::string pkcs7;
    std::string item;
    int code;
    std::string error;  // the whole recent error
  };
  const Case cases[] = {
      {"not base64", "@@@", "commonname", 21002,
       "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n" + p +
           "An error occured trying to base64 decode the pkcs7 input.\n"},
      {"not DER", zmrtest::toBase64("not a pkcs7"), "commonname", 8001,
       p + "An error occured trying to parse the der encoded pkcs7 input to pkcs7 structure.\n"},
      {"trailing bytes", zmrtest::toBase64(zmrtest::makePkcs7Der(zmrtest::pkcs7For(pki->endUser)) + "x"), "commonname", 8001,
       p + "An error occured trying to parse the der encoded pkcs7 input to pkcs7 structure.\n"},
      {"signedData type without its content", zmrtest::toBase64(der::seq(der::oid("1.2.840.113549.1.7.2"))), "commonname", 8002,
       p + "The pkcs7 does not contain any information about signer(s).\n"},
      {"no SignerInfo", zmrtest::makePkcs7Base64(noSigners), "commonname", 8002,
       p + "The pkcs7 does not contain any information about signer(s).\n"},
      {"signer certificate not carried", zmrtest::makePkcs7Base64(withoutCert), "commonname", 8003,
       p + "Did not find the signing certificate from the pkcs7 signing information\n"},
      {"unknown item", good, "nosuchitem", 8004,
       p + "The requested item is not among those which can be retrieved\n"},
      {"item in another case", good, "CommonName", 8004,
       p + "The requested item is not among those which can be retrieved\n"},
      {"item with a trailing blank", good, "commonname ", 8004,
       p + "The requested item is not among those which can be retrieved\n"},
      {"no signing time", signedBy(pki->endUser, false), "signingtime", 8004, p + "Error retrieving info item\n"},
      {"no signing time, long", signedBy(pki->endUser, false), "signingtimelongstring", 8004,
       p + "Error retrieving info item\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale";
    EXPECT_EQ(c.code, info(c.pkcs7, c.item, out));
    EXPECT_EQ("", out);
    EXPECT_EQ(c.error, zmrtest::takeRecentError());
  }
  std::string out;
  EXPECT_EQ(2009, getpkcs7info(999, good, "commonname", out));
}

TEST_F(Pkcs7Info, ReaderFailuresKeepTheirCodeAndNameTheItem) {
  // A certificate without any of the optional fields, with an EC key and
  // neither authentication nor signing usage.
  zmrtest::CertSpec bare;
  bare.subject = {{"C", "NO"}};
  bare.keyType = "ec";
  bare.keyUsage = 0x20;  // keyEncipherment
  TestCert cert = zmrtest::makeCert(bare, &pki->ca);
  const std::string pkcs7 = signedBy(cert);
  auto line = [](const char* what) {
    return std::string("getpkcs7info_getpkcs7info: An error occured trying to retrieve the ") + what +
           " from the certificate\n";
  };
  struct Case {
    const char* item;
    int code;
    std::string last;
  };
  const Case cases[] = {
      {"keyalgorithm", 6003, line("keyalgorithm")},
      {"uniqueid", 6004, line("uniqueid")},
      {"originator", 6005, line("originator")},
      {"bankname", 6006, line("bankname")},
      {"dateofbirth", 6007, line("dateofbirth")},
      {"commonname", 6011, line("commonname")},
      {"keyusage", 6012, line("keyusage")},
      {"emailaddress", 6013, line("emailaddress")},
      {"phonenumber", 6027,
       "getpkcs7info_getpkcs7info: An error occured trying to retrieve the phonenumber from the pkcs7\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    std::string out;
    EXPECT_EQ(c.code, info(pkcs7, c.item, out));
    std::string error = zmrtest::takeRecentError();
    // The reader's own line first, then the item's.
    ASSERT_GT(error.size(), c.last.size());
    EXPECT_EQ(0u, error.find("certtools_")) << error;
    EXPECT_EQ(c.last, error.substr(error.size() - c.last.size())) << error;
  }
  // Without certificatePolicies the policy is empty, not a failure.
  zmrtest::CertSpec nopolicy = zmrtest::endUserSpec();
  nopolicy.policies.clear();
  std::string out = "stale";
  EXPECT_EQ(0, info(signedBy(zmrtest::makeCert(nopolicy, &pki->ca)), "policyoid", out)) << zmrtest::takeRecentError();
  EXPECT_EQ("", out);
}

class Signers : public Pkcs7Info {
 protected:
  int list(const signatures* head, std::optional<std::string>& out) { return getsigners(session, head, out); }
};

TEST_F(Signers, ListsEachNodeInOrder) {
  zmrtest::CertSpec nopolicy = zmrtest::endUserSpec();
  nopolicy.policies.clear();
  nopolicy.subject = {{"C", "NO"}, {"CN", "Ola Nordmann"}};
  std::string first = signedBy(pki->endUser);
  std::string second = signedBy(zmrtest::makeCert(nopolicy, &pki->ca));
  signatures tail{second.data(), nullptr, nullptr};
  signatures head{first.data(), const_cast<char*>("ocsp is not read"), nullptr};
  const std::string one = std::string(kSigningTimeMs) + ";" + zmrtest::kPolicyPersonal + ";Kari Nordmann";

  std::optional<std::string> out;
  ASSERT_EQ(0, list(&head, out)) << zmrtest::takeRecentError();
  EXPECT_EQ(one, out);
  head.next = &tail;
  ASSERT_EQ(0, list(&head, out)) << zmrtest::takeRecentError();
  EXPECT_EQ(one + ";" + kSigningTimeMs + ";;Ola Nordmann", out);

  out = "stale";
  EXPECT_EQ(0, list(nullptr, out));
  EXPECT_EQ(std::nullopt, out);
}

TEST_F(Signers, AFailingNodeEndsTheListWithItsLine) {
  std::string good = signedBy(pki->endUser);
  std::string notime = signedBy(pki->endUser, false);
  zmrtest::CertSpec nocn = zmrtest::endUserSpec();
  nocn.subject = {{"C", "NO"}};
  std::string noname = signedBy(zmrtest::makeCert(nocn, &pki->ca));
  const std::string line = "getsigners_getsigners: Error retrieving the ";
  struct Case {
    const char* name;
    char* pkcs7;
    int code;
    std::string error;
  };
  const Case cases[] = {
      {"no signing time", notime.data(), 8004,
       "getpkcs7info_getpkcs7info: Error retrieving info item\n" + line + "signing time from the pkcs7.\n"},
      {"no common name", noname.data(), 6011,
       "certtools_getcommonname: The commonname entry is missing or empty in the certificate\n"
       "getpkcs7info_getpkcs7info: An error occured trying to retrieve the commonname from the certificate\n" +
           line + "common name from the pkcs7.\n"},
      {"no PKCS#7", nullptr, 33002, line + "common name from the pkcs7.\n"},
      {"not a PKCS#7", const_cast<char*>("bm90IGEgcGtjczc="), 8001,
       "getpkcs7info_getpkcs7info: An error occured trying to parse the der encoded pkcs7 input to pkcs7 "
       "structure.\n" +
           line + "common name from the pkcs7.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    signatures bad{c.pkcs7, nullptr, nullptr};
    signatures head{good.data(), nullptr, &bad};
    std::optional<std::string> out = "stale";
    EXPECT_EQ(c.code, list(&head, out));
    EXPECT_EQ(std::nullopt, out);
    EXPECT_EQ(c.error, zmrtest::takeRecentError());
  }
}

}  // namespace
}  // namespace zmr
