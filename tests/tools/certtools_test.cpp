#include "tools/certtools.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <functional>

#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "tools/base64.h"

namespace zmr {
namespace {

using zmrtest::CertSpec;
using zmrtest::TestCert;
namespace der = zmrtest::der;

std::string takeError() {
  std::optional<std::string> e;
  getlasterror(0, e);
  return e.value_or("");
}

// A certificate that holds exactly the extensions a case names.
CertSpec bare(std::vector<zmrtest::NameEntry> subject = {{"CN", "x"}}) {
  CertSpec s;
  s.subject = std::move(subject);
  s.ocspUrl.reset();
  s.keyIdentifiers = false;
  return s;
}

CertSpec withExtensions(std::vector<zmrtest::RawExtension> exts) {
  CertSpec s = bare();
  s.extensions = std::move(exts);
  return s;
}

CertSpec version1() {
  CertSpec s = bare();
  s.version = 1;
  return s;
}

CertSpec emptyList() {
  CertSpec s = bare();
  s.emptyExtensionList = true;
  return s;
}

// Replaces the content of a validity time with raw bytes and re-signs.
void rawTime(TestCert& c, bool notAfter, const std::string& raw) {
  ASN1_TIME* t = notAfter ? X509_getm_notAfter(c.get()) : X509_getm_notBefore(c.get());
  ASSERT_EQ(ASN1_STRING_set(t, raw.data(), static_cast<int>(raw.size())), 1);
  ASSERT_GT(X509_sign(c.get(), c.key.get(), EVP_sha256()), 0);
}

using Reader = int (*)(int, X509*, std::string&);

struct Case {
  std::string name;
  CertSpec spec;
  int code;
  std::string out;   // expected result (code 0) ...
  std::string line;  // ... or recent-error text (code != 0)
};

void runTable(Reader reader, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestCert cert = zmrtest::makeCert(c.spec);
    takeError();
    std::string out = "untouched";
    EXPECT_EQ(reader(0, cert.get(), out), c.code);
    if (c.code == 0) {
      EXPECT_EQ(out, c.out);
      EXPECT_EQ(takeError(), "");
    } else {
      EXPECT_EQ(out, "untouched");
      EXPECT_EQ(takeError(), c.line);
    }
  }
}

TEST(CertTime, GeneralizedTimeToEpochSeconds) {
  struct {
    std::string text;
    bool ok;
    int64_t seconds;
  } cases[] = {
      {"20270203140509Z", true, 1801663509},
      {"19700101000000Z", true, 0},
      {"19691231235959Z", true, -1},
      {"20000229000000Z", true, 951782400},
      {"99991231235959Z", true, 253402300799},
      {"20270203140509.123Z", true, 1801663509},  // fraction dropped
      {"20270203140509,5Z", true, 1801663509},
      {"270203140509Z", false, 0},  // UTCTime text is not converted
      {"20270203140509", false, 0},
      {"20270203140509.Z", false, 0},
      {"20270203140509.1x2Z", false, 0},
      {"2027020314050Z9", false, 0},
      {"19000229000000Z", false, 0},  // no leap day in 1900
      {"20271303140509Z", false, 0},
      {"20270231000000Z", false, 0},
      {"20270203240000Z", false, 0},
      {"20270203146009Z", false, 0},
      {"2027-203140509Z", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    int64_t s = 42;
    EXPECT_EQ(gentimetotime(c.text, s), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s, c.seconds) << c.text;
    }
  }
  // Agrees with the platform on a sweep of instants.
  for (int64_t t = -86400LL * 365 * 60; t < 86400LL * 365 * 100; t += 86400LL * 37 + 3671) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
    char text[32];
    strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
    int64_t s = 0;
    ASSERT_TRUE(gentimetotime(text, s)) << text;
    ASSERT_EQ(s, t) << text;
  }
}

TEST(CertTime, Asn1TimesAndDisplayForm) {
  struct {
    std::string text;  // 13 characters: UTCTime
    int64_t seconds;
    std::string display;
  } cases[] = {
      {"270203140509Z", 1801663509, "Feb  3 14:05:09 2027 GMT"},
      {"491231235959Z", 2524607999, "Dec 31 23:59:59 2049 GMT"},
      {"500101000000Z", -631152000, "Jan  1 00:00:00 1950 GMT"},
      {"20270203140509Z", 1801663509, "Feb  3 14:05:09 2027 GMT"},
      {"20270203140509.25Z", 1801663509, "Feb  3 14:05:09.25 2027 GMT"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME_free>> t(ASN1_TIME_new());
    ASSERT_EQ(ASN1_TIME_set_string(t.get(), c.text.c_str()), 1) << c.text;
    int64_t s = 0;
    EXPECT_TRUE(asn1timetotime(t.get(), s)) << c.text;
    EXPECT_EQ(s, c.seconds) << c.text;
    if (c.text.size() > 13) {
      std::string display;
      EXPECT_TRUE(gentimetostring(t.get(), display));
      EXPECT_EQ(display, c.display);
    }
  }
  std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME_free>> bad(ASN1_TIME_new());
  ASN1_STRING_set(bad.get(), "garbage", 7);
  int64_t s = 0;
  std::string display;
  EXPECT_FALSE(asn1timetotime(bad.get(), s));
  EXPECT_FALSE(asn1timetotime(nullptr, s));
  EXPECT_FALSE(gentimetostring(nullptr, display));
}

TEST(CertReaders, ValidityDates) {
  CertSpec s = bare();
  s.notBefore = "270203140509Z";
  s.notAfter = "20600101000000Z";
  TestCert c = zmrtest::makeCert(s);
  std::string from, to;
  EXPECT_EQ(getvalidfromdate(0, c.get(), from), 0);
  EXPECT_EQ(from, "Feb  3 14:05:09 2027 GMT");
  EXPECT_EQ(getvalidtodate(0, c.get(), to), 0);
  EXPECT_EQ(to, "Jan  1 00:00:00 2060 GMT");

  rawTime(c, false, "garbage");
  rawTime(c, true, "garbage");
  takeError();
  EXPECT_EQ(getvalidfromdate(0, c.get(), from), 6018);
  EXPECT_EQ(getvalidtodate(0, c.get(), to), 6019);
  EXPECT_EQ(takeError(),
            "certtools_getvalidfromdate: An error occured trying to extract the notBefore date from the certificate.\n"
            "certtools_getvalidtodate: An error occured trying to extract the notAfter date from the certificate.\n");
}

TEST(CertReaders, DaysUntilExpire) {
  struct {
    long offset;
    int days;
  } cases[] = {{36 * 3600, 1}, {-36 * 3600, -1}, {3600, 0}, {-3600, 0}, {10 * 86400 + 3600, 10},
               {3650L * 86400 + 60, 3650}};
  for (const auto& c : cases) {
    CertSpec s = bare();
    s.notBeforeOffset = -400L * 86400;
    s.notAfterOffset = c.offset;
    TestCert cert = zmrtest::makeCert(s);
    int days = 12345;
    EXPECT_EQ(getdaysuntilexpire(0, cert.get(), days), 0) << c.offset;
    EXPECT_EQ(days, c.days) << c.offset;
  }
  // An expiry that cannot be converted is a failure, not a number of days.
  TestCert cert = zmrtest::makeCert(bare());
  rawTime(cert, true, "garbage");
  takeError();
  int days = 12345;
  EXPECT_EQ(getdaysuntilexpire(0, cert.get(), days), 6019);
  EXPECT_EQ(days, 12345);
  EXPECT_EQ(takeError(),
            "certtools_getdaysuntilexpire: An error occured trying to extract the notAfter date from the "
            "certificate.\n");
}

TEST(CertReaders, SubjectAndIssuerNames) {
  using zmrtest::NameEntry;
  runTable(getsubjectname,
           {
               {"one entry", bare({{"CN", "Solo"}}), 0, "CN=Solo", ""},
               {"most specific first", bare({{"C", "NO"}, {"O", "Org"}, {"CN", "Name"}}), 0, "CN=Name,O=Org,C=NO", ""},
               {"slash becomes comma", bare({{"O", "Org/Unit"}, {"CN", "N"}}), 0, "CN=N,O=Org,Unit", ""},
               {"double slash becomes one", bare({{"O", "a//b"}}), 0, "O=a/b", ""},
               {"three slashes", bare({{"O", "a///b"}}), 0, "O=a/,b", ""},
               {"RFC 2253 escapes", bare({{"O", "a,b+c"}}), 0, "O=a\\,b\\+c", ""},
               {"non-ASCII escaped", bare({{"CN", "\xC3\x86rlig"}}), 0, "CN=\\C3\\86rlig", ""},
               {"multi-valued", bare({{"serialNumber", "1"}, {"CN", "N"}}), 0, "CN=N,serialNumber=1", ""},
               {"empty name", bare({}), 0, "", ""},
           });
  TestCert ca = zmrtest::makeCert(zmrtest::issuingCaSpec());
  TestCert leaf = zmrtest::makeCert(bare({{"CN", "Leaf"}}), &ca);
  std::string out;
  EXPECT_EQ(getissuername(0, leaf.get(), out), 0);
  EXPECT_EQ(out, "CN=Zelmor Issuing CA,O=Zelmor,C=NO");
  EXPECT_EQ(getsubjectname(0, leaf.get(), out), 0);
  EXPECT_EQ(out, "CN=Leaf");
}

TEST(CertReaders, CommonName) {
  const std::string missing = "certtools_getcommonname: The commonname entry is missing or empty in the certificate\n";
  // U+0141 as BMPString content bytes.
  std::string bmp = std::string("\x01\x41\x00", 3) + "x";
  runTable(getcommonname,
           {
               {"only entry", bare({{"CN", "Solo"}}), 0, "Solo", ""},
               {"last of two", bare({{"CN", "First"}, {"O", "o"}, {"CN", "Second"}}), 0, "Second", ""},
               {"UTF-8 to Latin-1", bare({{"CN", "\xC3\x86rlig"}}), 0, "\xC6rlig", ""},
               {"above U+00FF escaped", bare({{"CN", bmp, V_ASN1_BMPSTRING}}), 0, "\\U0141x", ""},
               {"T61 bytes as stored", bare({{"CN", "\xE9t\xE9", V_ASN1_T61STRING}}), 0, "\xE9t\xE9", ""},
               {"no common name", bare({{"O", "o"}}), 6011, "", missing},
               {"empty last", bare({{"CN", "a"}, {"CN", "", V_ASN1_UTF8STRING}}), 6011, "", missing},
               {"empty name", bare({}), 6011, "", missing},
           });
}

TEST(CertReaders, UniqueId) {
  const std::string none =
      "certtools_getuniqueid: Did not find serialnumber (PID) nor organizational unit name (OU) in the "
      "certificate.\n";
  runTable(getuniqueid, {
                            {"serial before OU", bare({{"OU", "U1"}, {"serialNumber", "S1"}, {"CN", "c"}}), 0, "S1", ""},
                            {"last serial", bare({{"serialNumber", "S1"}, {"serialNumber", "S2"}}), 0, "S2", ""},
                            {"last OU", bare({{"OU", "U1"}, {"OU", "U2"}}), 0, "U2", ""},
                            {"bytes up to NUL",
                             bare({{"serialNumber", std::string("ab\0cd", 5), V_ASN1_PRINTABLESTRING}}), 0, "ab", ""},
                            {"neither", bare({{"CN", "c"}}), 6004, "", none},
                        });
}

TEST(CertReaders, EmailAddress) {
  CertSpec both = bare({{"CN", "c"}, {"emailAddress", "a@b.no"}});
  both.sanEmail = {"c@d.no"};
  CertSpec alt = bare();
  alt.sanEmail = {"c@d.no"};
  runTable(getemailaddress,
           {
               {"subject first", both, 0, "a@b.no", ""},
               {"alternative name", alt, 0, "c@d.no", ""},
               {"none", bare(), 6013, "",
                "certtools_getemailaddress: The emailaddress entry is missing or empty in the certificate\n"},
           });
}

TEST(CertReaders, SerialAndVersion) {
  struct {
    std::string serial;
    std::string decimal;
  } serials[] = {
      {"0", "0"},
      {"255", "255"},
      {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "9223372036854775808"},
      {"0x0102030405060708090a0b0c0d0e0f10", "1339673755198158349044581307228491536"},  // 16 bytes
      {"0x7fffffffffffffffffffffffffffffffffffffff", "730750818665451459101842416358141509827966271487"},
      {"-5", "-5"},
  };
  for (const auto& c : serials) {
    CertSpec s = bare();
    s.serial = c.serial;
    TestCert cert = zmrtest::makeCert(s);
    std::string out;
    EXPECT_EQ(getserialnumber(0, cert.get(), out), 0);
    EXPECT_EQ(out, c.decimal);
  }
  std::string out;
  EXPECT_EQ(getversionnumber(0, zmrtest::makeCert(version1()).get(), out), 0);
  EXPECT_EQ(out, "1");
  EXPECT_EQ(getversionnumber(0, zmrtest::makeCert(bare()).get(), out), 0);
  EXPECT_EQ(out, "3");
}

TEST(CertReaders, KeyAlgorithmAndSize) {
  struct {
    std::string type;
    int bits;
    int code;
    std::string algorithm;
    std::string size;
  } cases[] = {
      {"rsa", 1024, 0, "RSA", "1024"},
      {"rsa", 2048, 0, "RSA", "2048"},
      {"dsa", 0, 0, "DSA", "2048"},
      {"ec", 0, 6003, "", "256"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    CertSpec s = bare();
    s.keyType = c.type;
    s.keyBits = c.bits;
    zmrtest::TestCert signer = zmrtest::makeCert(bare());
    TestCert cert = zmrtest::makeCert(s, &signer);
    takeError();
    std::string algorithm = "untouched", size;
    EXPECT_EQ(getkeyalgorithm(0, cert.get(), algorithm), c.code);
    EXPECT_EQ(algorithm, c.code == 0 ? c.algorithm : "untouched");
    EXPECT_EQ(getkeysize(0, cert.get(), size), 0);
    EXPECT_EQ(size, c.size);
    // The unsupported-algorithm line is the one without a line feed.
    EXPECT_EQ(takeError(),
              c.code == 0 ? "" : "certtools_getkeyalgorithm: The keyalgorithm in the certificate is not supported.");
  }
}

TEST(CertReaders, PolicyOid) {
  const std::string a = "2.999.10.1.16.1.14.1", b = "2.999.10.1.16.1.12.2.1";
  std::string longOid = "2.999";
  while (longOid.size() < 100) longOid += ".1234567890";
  CertSpec one = bare();
  one.policies = {a, b};
  const std::string noPolicy = "certtools_getpolicyoid: The certificates policy extension holds no policy.\n";
  runTable(getpolicyoid,
           {
               {"first policy", one, 0, a, ""},
               {"second extension wins", withExtensions({zmrtest::policiesExtension({a}),
                                                         zmrtest::policiesExtension({b})}),
                0, b, ""},
               {"undecodable skipped",
                withExtensions({zmrtest::policiesExtension({a}), zmrtest::rawExtension("2.5.29.32", "junk")}), 0, a,
                ""},
               {"long OID whole", withExtensions({zmrtest::policiesExtension({longOid})}), 0, longOid, ""},
               {"no policies extension", withExtensions({zmrtest::bankNameExtension("x")}), 0, "", ""},
               {"empty policy list", withExtensions({zmrtest::rawExtension("2.5.29.32", der::seq(""))}), 6008, "",
                noPolicy},
               {"no extension list", version1(), 6008, "",
                "certtools_getpolicyoid: The certificates cert_info structure did not contain any extensions.\n"},
               {"empty extension list", emptyList(), 6008, "",
                "certtools_getpolicyoid: The certificates cert_info structures extensionlist is empty\n"},
           });
}

TEST(CertReaders, SigningCertificateIsOneLineBase64OfDer) {
  TestCert cert = zmrtest::makeCert(zmrtest::endUserSpec());
  std::string out;
  ASSERT_EQ(getsigningcertificate(0, cert.get(), out), 0);
  EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(base64_decode(out, bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), cert.der());
}

TEST(CertReaders, AiaLocation) {
  const std::string ocsp = "1.3.6.1.5.5.7.48.1", issuers = "1.3.6.1.5.5.7.48.2";
  auto aia = [](const std::string& content) { return zmrtest::rawExtension("1.3.6.1.5.5.7.1.1", der::seq(content)); };
  auto entry = [](const std::string& method, unsigned char tag, const std::string& name) {
    return der::seq(der::oid(method) + der::tlv(tag, name));
  };
  CertSpec standard = bare();
  standard.ocspUrl = "http://127.0.0.1";
  CertSpec issuersFirst = bare();
  issuersFirst.caIssuers = {"http://ca.invalid/ca.crt"};
  issuersFirst.ocspUrl = "http://127.0.0.1:8080";
  CertSpec issuersOnly = bare();
  issuersOnly.caIssuers = {"http://ca.invalid/ca.crt"};
  const std::string noUri = "certtools_getaialocation: The certificate does not contain a uniformResourceIdentifier.\n";
  runTable(getaialocation,
           {
               {"OCSP URL", standard, 0, "http://127.0.0.1", ""},
               {"caIssuers passed over", issuersFirst, 0, "http://127.0.0.1:8080", ""},
               {"name type other than URI passed over",
                withExtensions({aia(entry(ocsp, 0x82, "va.invalid") + entry(ocsp, 0x86, "http://va"))}), 0, "http://va",
                ""},
               {"URI up to NUL", withExtensions({aia(entry(ocsp, 0x86, std::string("http://a\0b", 10)))}), 0,
                "http://a", ""},
               {"only caIssuers", issuersOnly, 6009, "", noUri},
               {"only a DNS name", withExtensions({aia(entry(ocsp, 0x82, "va.invalid"))}), 6009, "", noUri},
               {"entry of another method", withExtensions({aia(entry(issuers, 0x86, "http://x"))}), 6009, "", noUri},
               {"no AIA extension", withExtensions({zmrtest::bankNameExtension("x")}), 6009, "",
                "certtools_getaialocation: The certificate does not contain an authority information access "
                "extension.\n"},
               {"undecodable", withExtensions({zmrtest::rawExtension("1.3.6.1.5.5.7.1.1", "junk")}), 6009, "",
                "certtools_getaialocation: The certificate does not contain an access description stack.\n"},
               {"empty list", withExtensions({aia("")}), 6009, "",
                "certtools_getaialocation: he certificate does not contain any access descriptions.\n"},
               {"no extension list", version1(), 6009, "",
                "certtools_getaialocation: The certificates cert_info structure does not contain any extensions.\n"},
               {"empty extension list", emptyList(), 6009, "",
                "certtools_getaialocation: The certificates cert_info extensionlist does not contain any entries.\n"},
           });
}

TEST(CertReaders, PhoneNumber) {
  using zmrtest::DirectoryAttribute;
  auto sda = [](std::vector<DirectoryAttribute> attrs) { return zmrtest::subjectDirectoryExtension(attrs); };
  const std::string tel = zmrtest::kOidTelephoneNumber;
  const std::string notFound = "certtools_getphonenumber: The certificates did not contain the phone number attribute.\n";
  const std::string noAttrs =
      "certtools_getphonenumber: The certificates extension did not contain any subject directory attributes.\n";
  runTable(getphonenumber,
           {
               {"end user", zmrtest::endUserSpec(), 0, "+4712345678", ""},
               {"UTF8String", withExtensions({sda({{tel, {der::utf8("+47 1")}}})}), 0, "+47 1", ""},
               {"full stored length", withExtensions({sda({{tel, {der::printable(std::string("12\0" "3", 4))}}})}), 0,
                std::string("12\0" "3", 4), ""},
               {"first suitable attribute",
                withExtensions({sda({{tel, {}}, {tel, {der::ia5("1")}}, {tel, {der::printable("2")}},
                                     {tel, {der::printable("3")}}})}),
                0, "2", ""},
               {"first extension wins",
                withExtensions({sda({{tel, {der::printable("1")}}}), sda({{tel, {der::printable("2")}}})}), 0, "1",
                ""},
               {"longer OID is another attribute", withExtensions({sda({{"2.5.4.200", {der::printable("1")}}})}), 6027,
                "", notFound},
               {"IA5String only", withExtensions({sda({{tel, {der::ia5("1")}}})}), 6027, "", notFound},
               {"no directory extension", withExtensions({zmrtest::bankNameExtension("x")}), 6027, "", notFound},
               {"empty attribute list stops the walk",
                withExtensions({sda({}), sda({{tel, {der::printable("1")}}})}), 6027, "", noAttrs},
               {"undecodable", withExtensions({zmrtest::rawExtension("2.5.29.9", "junk")}), 6027, "", noAttrs},
               {"no extension list", version1(), 6027, "",
                "certtools_getphonenumber: The certificates cert_info structure did not contain any extensions.\n"},
               {"empty extension list", emptyList(), 6027, "",
                "certtools_getphonenumber: The certificates cert_info structures extensionlist is empty.\n"},
           });
}

TEST(CertReaders, DateOfBirth) {
  using zmrtest::DirectoryAttribute;
  auto sda = [](std::vector<DirectoryAttribute> attrs) { return zmrtest::subjectDirectoryExtension(attrs); };
  const std::string dob = zmrtest::kOidDateOfBirth;
  const std::string notFound = "certtools_getdateofbirth: The certificates did not contain the date of birth.\n";
  runTable(getdateofbirth,
           {
               {"end user", zmrtest::endUserSpec(), 0, "Jan  1 12:00:00 1980 GMT", ""},
               {"last wins across extensions",
                withExtensions({sda({{dob, {der::generalizedTime("19700203000000Z")}}}),
                                sda({{dob, {der::generalizedTime("19800304000000Z")}},
                                     {dob, {der::utcTime("900101000000Z")}}})}),
                0, "Mar  4 00:00:00 1980 GMT", ""},
               {"UTCTime only", withExtensions({sda({{dob, {der::utcTime("800101000000Z")}}})}), 6007, "", notFound},
               {"no values", withExtensions({sda({{dob, {}}})}), 6007, "", notFound},
               {"empty attribute list", withExtensions({sda({})}), 6007, "",
                "certtools_getdateofbirth: The certificates extension did not contain any subject directory "
                "attributes.\n"},
               {"no extension list", version1(), 6007, "",
                "certtools_getdateofbirth: The certificates cert_info structure did not contain any extensions.\n"},
           });
}

TEST(CertReaders, BankNameAndOriginator) {
  using zmrtest::bankNameExtension;
  using zmrtest::originatorExtension;
  runTable(getbankname,
           {
               {"merchant", zmrtest::merchantAuthSpec(), 0, "Test Bank", ""},
               {"last wins", withExtensions({bankNameExtension("One"), bankNameExtension("Two")}), 0, "Two", ""},
               {"up to NUL", withExtensions({bankNameExtension(std::string("Bank\0x", 6))}), 0, "Bank", ""},
               {"not a sequence", withExtensions({zmrtest::rawExtension(zmrtest::kOidBankName, der::octets("x"))}),
                6006, "", "certtools_getbankname: The bankname extension in the certificate could not be decoded.\n"},
               {"absent", withExtensions({originatorExtension("o")}), 6006, "",
                "certtools_getbankname: The certificates cert_info structures extensionlist did not contain a "
                "bankname entry.\n"},
               {"no extension list", version1(), 6006, "",
                "certtools_getbankname: The certificates cert_info structure did not contain any extensions.\n"},
               {"empty extension list", emptyList(), 6006, "",
                "certtools_getbankname: The certificates cert_info structures extensionlist did not contain any "
                "entries.\n"},
           });
  runTable(getoriginator,
           {
               {"merchant", zmrtest::merchantAuthSpec(), 0, "Test Originator", ""},
               {"last wins", withExtensions({originatorExtension("One"), originatorExtension("Two")}), 0, "Two", ""},
               {"trailing bytes", withExtensions({zmrtest::rawExtension(zmrtest::kOidOriginator,
                                                                        der::seq(der::octets("o")) + "x")}),
                6005, "", "certtools_getoriginator: The originator extension in the certificate could not be decoded.\n"},
               {"absent", withExtensions({bankNameExtension("b")}), 6005, "",
                "certtools_getoriginator: The certificates does not contain an originator extension.\n"},
               {"no extension list", version1(), 6005, "",
                "certtools_getoriginator: The certificates cert_info structure did not contain any extensions.\n"},
               {"empty extension list", emptyList(), 6005, "",
                "certtools_getoriginator: The certificates cert_info structures extensionlist is empty.\n"},
           });
}

struct MerchantReaders : ::testing::Test {
  void SetUp() override {
    session = zmrtest::openStoreSession();
    ASSERT_LT(session, kMaxSessions);
    takeError();
  }
  void TearDown() override { freesession(session); }
  void store(X509Ptr Session::*field, const TestCert& c) {
    X509_up_ref(c.get());
    ((*zmrtest::sessionState(session)).*field).reset(c.get());
  }
  int session = -1;
};

TEST_F(MerchantReaders, NameAndIdFromTheSessionCertificates) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  std::string out = "x";
  EXPECT_EQ(get_merchant_name(*zmrtest::sessionState(session), out), 6024);
  EXPECT_EQ(out, "");
  EXPECT_EQ(get_merchant_id(*zmrtest::sessionState(session), out), 6024);
  EXPECT_EQ(takeError(),
            "certtools_getmerchantname: The signer certificate could not be found.\n"
            "certtools_getmerchantid: The signer certificate could not be found.\n");

  CertSpec authSpec = zmrtest::merchantAuthSpec();
  authSpec.serial = "123456789012345678901234567890";
  store(&Session::signcert, pki.merchantSign);
  store(&Session::authcert, zmrtest::makeCert(authSpec, &pki.ca));
  EXPECT_EQ(get_merchant_name(*zmrtest::sessionState(session), out), 0);
  EXPECT_EQ(out, "Test Merchant");
  EXPECT_EQ(get_merchant_id(*zmrtest::sessionState(session), out), 0);
  EXPECT_EQ(out, "123456789012345678901234567890-Test Originator");

  CertSpec noName = zmrtest::merchantSignSpec();
  noName.subject = {{"O", "Test Merchant AS"}};
  CertSpec noOriginator = zmrtest::merchantAuthSpec();
  noOriginator.originator.reset();
  store(&Session::signcert, zmrtest::makeCert(noName, &pki.ca));
  store(&Session::authcert, zmrtest::makeCert(noOriginator, &pki.ca));
  takeError();
  EXPECT_EQ(get_merchant_name(*zmrtest::sessionState(session), out), 6026);
  EXPECT_EQ(get_merchant_id(*zmrtest::sessionState(session), out), 6025);
  EXPECT_EQ(takeError(),
            "certtools_getcommonname: The commonname entry is missing or empty in the certificate\n"
            "certtools_getmerchantname: Unable to get merchant name.\n"
            "certtools_getoriginator: The certificates does not contain an originator extension.\n"
            "certtools_getmerchantid: Unable to get merchant id.\n");
}

}  // namespace
}  // namespace zmr
