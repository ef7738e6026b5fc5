// The exported SDO functions over real signatures: dynamic and classic SDOs
// made, extended, sealed, written, read back and validated; what a failure
// leaves; descriptions through XML; third-party XML; the argument frame
// and who frees what.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zmr/zmr.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/apitest.h"
#include "support/merchant.h"
#include "support/sdosigning.h"
#include "support/sdotrees.h"
#include "support/tempdir.h"
#include "support/verifiers.h"

namespace {

using zmrtest::take;

constexpr const char* kDocument = "Contract 2027-0042: the buyer pays 100 NOK to the seller.";

// An SDO handle released at the end of the scope.
struct Sdo {
  int session = -1;
  seidsdo** h = nullptr;
  ~Sdo() {
    if (h != nullptr) {
      EXPECT_EQ(0, zmr_sdofree(session, h));
    }
  }
};

class SdoApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, zmr_initialize());
    m = zmrtest::makeMerchantFiles("sdo-api", 2);
    ASSERT_EQ(0, zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    const zmrtest::TestPki& pki = m.pki;
    zmrtest::CertSpec spec = zmrtest::endUserSpec();
    spec.subject = {{"C", "NO"}, {"serialNumber", "9578-4050-000000002"}, {"CN", "Ola Nordmann"}};
    spec.keyIndex = 70;
    second = zmrtest::makeCert(spec, &pki.ca);
    data = zmrtest::toBase64(kDocument);
    userPkcs7 = zmrtest::sdoSignature(pki.endUser, kDocument);
    userOcsp = zmrtest::goodOcsp(pki, pki.endUser.get());
    secondPkcs7 = zmrtest::sdoSignature(second, kDocument, EVP_sha1());
    secondOcsp = zmrtest::goodOcsp(pki, second.get());
    merchantOcsp = zmrtest::goodOcsp(pki, pki.merchantSign.get());
  }
  void TearDown() override { EXPECT_EQ(0, zmr_finalize()); }

  // The merchant's own PKCS#7 over the document, as a signing transaction
  // hands it out.
  std::string merchantPkcs7() {
    char* out = nullptr;
    EXPECT_EQ(0, zmr_signdata(s, reinterpret_cast<const unsigned char*>(kDocument), strlen(kDocument), &out))
        << zmrtest::recentError();
    return take(out);
  }
  // A dynamic SDO of the end user's signature alone.
  void makeDynamic(Sdo& sdo, const char* description = "Contract") {
    zmrtest::SignatureList list;
    list.add(userPkcs7, userOcsp);
    sdo.session = s;
    ASSERT_EQ(0, zmr_createdynamicsdo(s, &sdo.h, data.c_str(), "text/plain", description, list.link()))
        << zmrtest::recentError();
    ASSERT_NE(sdo.h, nullptr);
  }
  std::string xmlOf(seidsdo** h, int expect = 0) {
    char* xml = nullptr;
    EXPECT_EQ(expect, zmr_sdotoxmlex(s, h, &xml)) << zmrtest::recentError();
    return take(xml);
  }
  void expectXmllintAccepts(const std::string& xml) {
    std::string dir = zmrtest::makeTempDir("sdo-api-xmllint");
    ASSERT_TRUE(zmrtest::writeFile(dir + "/sdo.xml", xml));
    std::string output;
    EXPECT_EQ(0, zmrtest::runCommand("xmllint --noout " + dir + "/sdo.xml 2>&1", &output)) << output;
  }

  zmrtest::MerchantFiles m;
  int s = -1;
  zmrtest::TestCert second;
  std::string data, userPkcs7, userOcsp, secondPkcs7, secondOcsp, merchantOcsp;
};

TEST_F(SdoApi, DynamicSdoExtendedSealedWrittenReadBackAndValidated) {
  Sdo sdo;
  makeDynamic(sdo);
  ASSERT_EQ(0, zmr_sdoadddata(s, sdo.h, data.c_str()));
  // Line breaks inside the texts are taken out.
  std::string wrapped = secondPkcs7.substr(0, 64) + "\r\n" + secondPkcs7.substr(64);
  zmrtest::SignatureList more;
  more.add(wrapped, secondOcsp);
  ASSERT_EQ(0, zmr_sdoaddsignature(s, sdo.h, more.link(), nullptr)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, sdo.h, nullptr, 2, 1)) << zmrtest::recentError();
  EXPECT_EQ(20043, zmr_dynamicsdovalidate(s, sdo.h, nullptr, 2, 0));
  ASSERT_EQ(0, zmr_sdoseal(s, sdo.h, merchantOcsp.c_str(), nullptr)) << zmrtest::recentError();

  const std::string xml = xmlOf(sdo.h);
  expectXmllintAccepts(xml);
  EXPECT_EQ(xml.find('\r'), std::string::npos);
  EXPECT_NE(xml.find("<SignedObject><SignersDocument>" + data + "</SignersDocument></SignedObject>"),
            std::string::npos);

  Sdo back;
  back.session = s;
  ASSERT_EQ(0, zmr_xmltosdoex(s, xml.c_str(), &back.h)) << zmrtest::recentError();
  EXPECT_EQ(xmlOf(back.h), xml);
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, back.h, data.c_str(), 2, 0)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, back.h, nullptr, -1, 2)) << zmrtest::recentError();
  EXPECT_EQ(20044, zmr_dynamicsdovalidate(s, back.h, nullptr, 0, 1));
  EXPECT_EQ(20042, zmr_dynamicsdovalidate(s, back.h, nullptr, 3, 0));
  EXPECT_EQ(0, zmr_sdovalidate(s, back.h, 0)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_sdoxmlvalidate(s, xml.c_str(), 0)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_simpledynamicsdoxmlvalidate(s, xml.c_str(), 2)) << zmrtest::recentError();

  // The seal's signer is not listed.
  char* signers = nullptr;
  ASSERT_EQ(0, zmr_dynamicsdogetsigners(s, back.h, &signers)) << zmrtest::recentError();
  std::string listed = take(signers);
  ASSERT_EQ(0, zmr_dynamicsdoxmlgetsigners(s, xml.c_str(), &signers)) << zmrtest::recentError();
  EXPECT_EQ(take(signers), listed);
  EXPECT_NE(listed.find(";Kari Nordmann;"), std::string::npos) << listed;
  EXPECT_TRUE(listed.ends_with(";Ola Nordmann")) << listed;
  EXPECT_EQ(listed.find("Test Merchant"), std::string::npos) << listed;

  char *document = nullptr, *mimetype = nullptr, *description = nullptr;
  signatures* list = nullptr;
  ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, xml.c_str(), &document, &mimetype, &description, &list))
      << zmrtest::recentError();
  EXPECT_EQ(take(document), data);
  EXPECT_EQ(take(mimetype), "text/plain");
  EXPECT_EQ(take(description), "Contract");
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(list->next->next, nullptr);
  EXPECT_EQ(std::string(list->pkcs7), userPkcs7);
  EXPECT_EQ(std::string(list->ocsp), userOcsp);
  EXPECT_EQ(std::string(list->next->pkcs7), secondPkcs7);
  EXPECT_EQ(std::string(list->next->ocsp), secondOcsp);
  EXPECT_EQ(0, zmr_signaturesfree(s, list));
}

TEST_F(SdoApi, ClassicSdoFromSignaturesValidatesInEveryMode) {
  const std::string merchant = merchantPkcs7();
  // An ISO profile asked of the merchant's signatures does not reach the
  // seal, which must carry signingTime.
  ASSERT_EQ(0, zmr_setinfoitem(s, "cmsFormat", "PKCS7_ISO320001"));
  Sdo sdo;
  sdo.session = s;
  ASSERT_EQ(0, zmr_createsdo(s, &sdo.h, data.c_str(), "application/pdf", "Contract", userPkcs7.c_str(),
                             merchant.c_str(), userOcsp.c_str(), merchantOcsp.c_str()))
      << zmrtest::recentError();
  char* item = nullptr;
  EXPECT_EQ(0, zmr_getinfoitem(s, "cmsFormat", &item));
  EXPECT_EQ(take(item), "PKCS7_ISO320001");
  ASSERT_EQ(0, zmr_removeinfoitems(s));  // the thread's items outlive the session

  const std::string xml = xmlOf(sdo.h);
  expectXmllintAccepts(xml);
  Sdo back;
  back.session = s;
  ASSERT_EQ(0, zmr_xmltosdoex(s, xml.c_str(), &back.h)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_sdovalidate(s, back.h, 0)) << zmrtest::recentError();
  EXPECT_EQ(20039, zmr_sdovalidate(s, back.h, 1));
  EXPECT_EQ(0, zmr_sdoxmlvalidate(s, xml.c_str(), 0)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_simpledynamicsdoxmlvalidate(s, xml.c_str(), 2)) << zmrtest::recentError();
  EXPECT_EQ(20042, zmr_simpledynamicsdoxmlvalidate(s, xml.c_str(), 3));
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, back.h, data.c_str(), 2, 0)) << zmrtest::recentError();
  EXPECT_EQ(20045, zmr_dynamicsdovalidate(s, back.h, nullptr, 2, 0));
  ASSERT_EQ(0, zmr_sdoadddata(s, back.h, data.c_str()));
  EXPECT_EQ(0, zmr_sdovalidate(s, back.h, 1)) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, back.h, nullptr, 0, 2)) << zmrtest::recentError();
  // Another document kept in the SDO.
  const std::string other = zmrtest::toBase64("another contract");
  ASSERT_EQ(0, zmr_sdoadddata(s, back.h, other.c_str()));
  EXPECT_EQ(20037, zmr_sdovalidate(s, back.h, 1));  // each element against it
  EXPECT_EQ(20037, zmr_dynamicsdovalidate(s, back.h, data.c_str(), 0, 2));
}

TEST_F(SdoApi, FailedClassicSdoHandsOutNothingAndLeavesOneLine) {
  // The end user signed another document: the element's digest signature
  // does not verify.
  const std::string wrong = zmrtest::sdoSignature(m.pki.endUser, "another contract");
  const std::string merchant = merchantPkcs7();
  seidsdo** h = nullptr;
  int rc = zmr_createsdo(s, &h, data.c_str(), "text/plain", "Contract", wrong.c_str(), merchant.c_str(),
                         userOcsp.c_str(), merchantOcsp.c_str());
  EXPECT_NE(rc, 0);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(zmrtest::recentError(s), "createsdo_createsdo: An error occured trying to validate the newly constructed sdo.\n");
  // The element check's own code: the one verifydata gives for the digest.
  const std::string digest = zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), kDocument));
  EXPECT_EQ(rc, zmr_hashverifydata(s, wrong.c_str(), digest.c_str(), 0));
}

TEST_F(SdoApi, DataPartChangedAfterSealingFailsTheSealsSignature) {
  const std::string merchant = merchantPkcs7();
  Sdo sdo;
  sdo.session = s;
  ASSERT_EQ(0, zmr_createsdo(s, &sdo.h, data.c_str(), "text/plain", "Contract", userPkcs7.c_str(),
                             merchant.c_str(), userOcsp.c_str(), merchantOcsp.c_str()))
      << zmrtest::recentError();
  std::string xml = xmlOf(sdo.h);
  // The first element's mime type, still an accepted one.
  size_t at = xml.find("<MimeType>text/plain</MimeType>");
  ASSERT_NE(at, std::string::npos);
  xml.replace(at, 31, "<MimeType>application/pdf</MimeType>");
  EXPECT_EQ(12003, zmr_sdoxmlvalidate(s, xml.c_str(), 0));
  EXPECT_EQ(zmrtest::recentError(s), "sdoxmlvalidate_sdoxmlvalidate: An error occured validating the seid sdo.\n");
  EXPECT_EQ(12003, zmr_simpledynamicsdoxmlvalidate(s, xml.c_str(), 2));
}

TEST_F(SdoApi, SealWithAnotherCertificatesAnswerKeepsTheNewSeal) {
  Sdo sdo;
  makeDynamic(sdo);
  ASSERT_EQ(0, zmr_sdoadddata(s, sdo.h, data.c_str()));
  ASSERT_EQ(0, zmr_sdoseal(s, sdo.h, merchantOcsp.c_str(), nullptr)) << zmrtest::recentError();
  const std::string sealed = xmlOf(sdo.h);

  // The end user's answer in place of the merchant's: the seal is made and
  // put on, then refused.
  EXPECT_EQ(20025, zmr_sdoseal(s, sdo.h, userOcsp.c_str(), nullptr));
  EXPECT_TRUE(zmrtest::recentError(s).ends_with("sdoseal_sdoseal: An error occured trying to validate the sdo.\n"));
  const std::string resealed = xmlOf(sdo.h);
  EXPECT_NE(resealed, sealed);
  size_t seal = resealed.find("<SDOSeal>");
  ASSERT_NE(seal, std::string::npos);
  EXPECT_NE(resealed.find("<XAdES:EncapsulatedOCSPValue>" + userOcsp, seal), std::string::npos);
  EXPECT_EQ(20025, zmr_dynamicsdovalidate(s, sdo.h, nullptr, 0, 0));

  // A whole OCSPResponse is refused before the seal is made: the SDO keeps
  // the seal it had and can still be written.
  const std::string full = zmrtest::toBase64(
      zmrtest::makeOcspResponseDer(zmrtest::ocspFor(m.pki.responder, m.pki.merchantSign.get(), m.pki.ca.get())));
  EXPECT_EQ(12012, zmr_sdoseal(s, sdo.h, full.c_str(), nullptr));
  EXPECT_EQ(xmlOf(sdo.h), resealed);
  // And a sound answer seals it again.
  ASSERT_EQ(0, zmr_sdoseal(s, sdo.h, merchantOcsp.c_str(), data.c_str())) << zmrtest::recentError();
  EXPECT_EQ(0, zmr_sdovalidate(s, sdo.h, 0)) << zmrtest::recentError();
}

TEST_F(SdoApi, AddingSignaturesNeedsADocumentAndRemovesTheSeal) {
  Sdo sdo;
  makeDynamic(sdo);
  const std::string before = xmlOf(sdo.h);
  zmrtest::SignatureList more;
  more.add(secondPkcs7, secondOcsp);
  EXPECT_EQ(31001, zmr_sdoaddsignature(s, sdo.h, more.link(), nullptr));
  EXPECT_EQ(zmrtest::recentError(s),
            "sdoaddsignature_sdoaddsignature: The contract must be present in the SDO or as input parameter data.\n");
  EXPECT_EQ(xmlOf(sdo.h), before);

  // A node that cannot be made leaves the SDO as it was, even after good ones.
  zmrtest::SignatureList bad;
  bad.add(secondPkcs7, secondOcsp);
  bad.add(secondPkcs7, zmrtest::toBase64(
                           zmrtest::makeOcspResponseDer(zmrtest::ocspFor(m.pki.responder, second.get(), m.pki.ca.get()))));
  EXPECT_EQ(12012, zmr_sdoaddsignature(s, sdo.h, bad.link(), data.c_str()));
  EXPECT_EQ(xmlOf(sdo.h), before);

  // An empty document is none, kept or given, here as in validation.
  ASSERT_EQ(0, zmr_sdoadddata(s, sdo.h, ""));
  const std::string emptykept = xmlOf(sdo.h);
  for (const char* given : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(31001, zmr_sdoaddsignature(s, sdo.h, more.link(), given));
    EXPECT_EQ(zmrtest::recentError(s),
              "sdoaddsignature_sdoaddsignature: The contract must be present in the SDO or as input parameter "
              "data.\n");
    EXPECT_EQ(xmlOf(sdo.h), emptykept);
    EXPECT_EQ(20045, zmr_dynamicsdovalidate(s, sdo.h, given, 0, 2));
  }

  ASSERT_EQ(0, zmr_sdoseal(s, sdo.h, merchantOcsp.c_str(), data.c_str())) << zmrtest::recentError();
  ASSERT_EQ(0, zmr_sdoaddsignature(s, sdo.h, more.link(), data.c_str())) << zmrtest::recentError();
  EXPECT_EQ(xmlOf(sdo.h).find("<SDOSeal>"), std::string::npos);
  EXPECT_EQ(20043, zmr_sdovalidate(s, sdo.h, 0));
  EXPECT_EQ(0, zmr_dynamicsdovalidate(s, sdo.h, data.c_str(), 2, 1)) << zmrtest::recentError();
}

TEST_F(SdoApi, Latin1DescriptionRoundTripsThroughXml) {
  const std::string description = "Bl\xE6" "b\xE6r & <sm\xF8r> 'x' \"y\"";
  Sdo sdo;
  makeDynamic(sdo, description.c_str());
  const std::string xml = xmlOf(sdo.h);
  EXPECT_NE(xml.find("<Value>Bl\xC3\xA6" "b\xC3\xA6r &amp; &lt;sm\xC3\xB8r&gt; &apos;x&apos; &quot;y&quot;</Value>"),
            std::string::npos)
      << xml;
  expectXmllintAccepts(xml);
  char *document = nullptr, *mimetype = nullptr, *text = nullptr;
  signatures* list = nullptr;
  ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, xml.c_str(), &document, &mimetype, &text, &list))
      << zmrtest::recentError();
  EXPECT_EQ(document, nullptr);  // no document kept
  EXPECT_EQ(take(mimetype), "text/plain");
  EXPECT_EQ(take(text), description);
  EXPECT_EQ(0, zmr_signaturesfree(s, list));
}

// Line ends and tabs in a description come back from the XML unchanged.
TEST_F(SdoApi, DescriptionLineEndsAndTabsRoundTripThroughXml) {
  for (const char* description : {"Line 1\r\nLine 2\r\n", "old Mac\rline", "Tab\there\n\tand there", "\r"}) {
    SCOPED_TRACE(testing::PrintToString(description));
    Sdo sdo;
    makeDynamic(sdo, description);
    const std::string xml = xmlOf(sdo.h);
    expectXmllintAccepts(xml);
    char *document = nullptr, *mimetype = nullptr, *text = nullptr;
    signatures* list = nullptr;
    ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, xml.c_str(), &document, &mimetype, &text, &list))
        << zmrtest::recentError();
    EXPECT_EQ(take(text), description);
    take(mimetype);
    EXPECT_EQ(0, zmr_signaturesfree(s, list));
    // Read and written again, the text is the same.
    Sdo back;
    back.session = s;
    ASSERT_EQ(0, zmr_xmltosdoex(s, xml.c_str(), &back.h)) << zmrtest::recentError();
    EXPECT_EQ(xmlOf(back.h), xml);
  }
}

// The thread sanitizer's shadow of every byte written faults in pages of
// its own, more than the memory it watches.
#if defined(__SANITIZE_THREAD__)
#define SDO_TEST_SHADOWED_WRITES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SDO_TEST_SHADOWED_WRITES 1
#endif
#endif

// The page faults the calling thread takes in call, those of memory the
// kernel maps ahead on request among them.
template <typename Call>
long faultsduring(Call&& call) {
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  call();
  getrusage(RUSAGE_THREAD, &after);
  return after.ru_minflt - before.ru_minflt;
}

// A document of many megabytes is written once, straight into the copy
// the caller takes, and read once into the SDO's text: each call maps
// fresh memory for one document, not two (a copy made after writing would
// fault in a second), and both give back what they were given.
TEST_F(SdoApi, DocumentsOfManyMegabytesAreHeldOnce) {
#ifdef SDO_TEST_SHADOWED_WRITES
  GTEST_SKIP() << "page faults are the sanitizer's";
#endif
  std::string document;
  while (document.size() < (size_t{40} << 20)) document += std::string(76, 'Q') + "\n";
  const long pages = static_cast<long>(document.size() / 4096);
  Sdo sdo;
  makeDynamic(sdo);
  ASSERT_EQ(0, zmr_sdoadddata(s, sdo.h, document.c_str()));
  char* out = nullptr;
  int rc = -1;
  long faults = faultsduring([&] { rc = zmr_sdotoxmlex(s, sdo.h, &out); });
  ASSERT_EQ(0, rc) << zmrtest::recentError();
  const std::string xml = take(out);
  EXPECT_LT(faults, pages * 3 / 2) << "writing";
  EXPECT_NE(xml.find("<SignedObject><SignersDocument>" + document + "</SignersDocument></SignedObject>"),
            std::string::npos);

  Sdo back;
  back.session = s;
  faults = faultsduring([&] { rc = zmr_xmltosdoex(s, xml.c_str(), &back.h); });
  ASSERT_EQ(0, rc) << zmrtest::recentError();
  EXPECT_LT(faults, pages * 3 / 2) << "reading";
  EXPECT_TRUE(xmlOf(back.h) == xml);
}

// Texts XML 1.0 cannot carry are refused where they would enter an SDO,
// with a line naming them, and nothing is made or changed.
TEST_F(SdoApi, TextsXmlCannotCarryAreRefusedWhereTheyEnter) {
  const std::string descriptionLine =
      "createsdo_createsdo: The description text holds characters XML 1.0 cannot carry.\n";
  const std::string mimetypeLine = "createsdo_createsdo: The mime type text holds characters XML 1.0 cannot carry.\n";
  struct Case {
    std::string mimetype, description;
    const std::string& line;
  } cases[] = {
      {"text/plain", "bell\x07", descriptionLine},
      {"text/plain", "Vertical\x0Btab", descriptionLine},
      {"text/plain", "Esc\x1B[0m", descriptionLine},
      {"text/plain; charset=\xE6", "d", mimetypeLine},
      {"text/plain\x01", "d", mimetypeLine},
      {"text/\xEF\xBF\xBE", "d", mimetypeLine},
  };
  zmrtest::SignatureList list;
  list.add(userPkcs7, userOcsp);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.mimetype + " / " + c.description));
    Sdo sdo;
    sdo.session = s;
    EXPECT_EQ(33002, zmr_createdynamicsdo(s, &sdo.h, data.c_str(), c.mimetype.c_str(), c.description.c_str(),
                                          list.link()));
    EXPECT_EQ(sdo.h, nullptr);
    EXPECT_EQ(zmrtest::recentError(s), c.line);
  }
  // The classic form takes the same road.
  Sdo classic;
  classic.session = s;
  const std::string merchant = merchantPkcs7();
  EXPECT_EQ(33002, zmr_createsdo(s, &classic.h, data.c_str(), "text/plain", "bell\x07", userPkcs7.c_str(),
                                 merchant.c_str(), userOcsp.c_str(), merchantOcsp.c_str()));
  EXPECT_EQ(classic.h, nullptr);
  EXPECT_EQ(zmrtest::recentError(s), descriptionLine);

  // The kept document.
  Sdo sdo;
  makeDynamic(sdo);
  ASSERT_EQ(0, zmr_sdoadddata(s, sdo.h, data.c_str()));
  const std::string before = xmlOf(sdo.h);
  for (const std::string& kept : {data + "\x01", std::string("\xE6"), data + "\xEF\xBF\xBF", data + "\xED\xA0\x80"}) {
    SCOPED_TRACE(testing::PrintToString(kept));
    EXPECT_EQ(33002, zmr_sdoadddata(s, sdo.h, kept.c_str()));
    EXPECT_EQ(zmrtest::recentError(s), "sdoadddata_sdoadddata: The data text holds characters XML 1.0 cannot carry.\n");
    EXPECT_EQ(xmlOf(sdo.h), before);
  }
}

TEST_F(SdoApi, ThirdPartyXmlWithPairsLackingANameOrAValue) {
  Sdo sdo;
  makeDynamic(sdo);
  const std::string xml = xmlOf(sdo.h);
  size_t meta = xml.find("<Metadata>");
  ASSERT_NE(meta, std::string::npos);
  struct Case {
    const char* what;
    const char* pairs;
    const char* description;  // nullptr: none handed out
  } cases[] = {
      {"pairs without a name first", "<ValuePair><Value>x</Value></ValuePair><ValuePair></ValuePair>"
                                     "<ValuePair><Name>MerchantDesc</Name><Value>kept</Value></ValuePair>",
       "kept"},
      {"MerchantDesc without a value", "<ValuePair><Name>MerchantDesc</Name></ValuePair>", ""},
      {"MerchantDesc with an empty value", "<ValuePair><Name>MerchantDesc</Name><Value></Value></ValuePair>", ""},
      {"no MerchantDesc", "<ValuePair><Name>Other</Name><Value>v</Value></ValuePair><ValuePair/>", nullptr},
      {"an empty Metadata", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = xml.substr(0, meta) + "<Metadata>" + c.pairs + "</Metadata>" +
                       xml.substr(xml.find("</Metadata>") + 11);
    char *document = nullptr, *mimetype = nullptr, *description = nullptr;
    signatures* list = nullptr;
    ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, text.c_str(), &document, &mimetype, &description, &list))
        << zmrtest::recentError();
    if (c.description == nullptr) {
      EXPECT_EQ(description, nullptr);
    } else {
      ASSERT_NE(description, nullptr);
      EXPECT_EQ(take(description), c.description);
    }
    EXPECT_EQ(take(mimetype), "text/plain");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list->pkcs7), userPkcs7);
    EXPECT_EQ(0, zmr_signaturesfree(s, list));
  }
}

TEST_F(SdoApi, OperationCodes) {
  // A document without any SDO, compliant by its text alone.
  Sdo empty;
  empty.session = s;
  ASSERT_EQ(0, zmr_xmltosdoex(s, "<SDOList><!--XAdES:OCSPValues--></SDOList>", &empty.h));
  EXPECT_EQ(26001, zmr_sdoadddata(s, empty.h, data.c_str()));
  EXPECT_EQ(zmrtest::recentError(s), "");
  EXPECT_EQ(18003, zmr_sdoseal(s, empty.h, merchantOcsp.c_str(), nullptr));
  EXPECT_EQ(zmrtest::recentError(s), "sdoseal_sdoseal: The SDO does not contain all mandatory parameters.\n");
  char* out = nullptr;
  EXPECT_EQ(18003, zmr_sdotoxmlex(s, empty.h, &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(zmrtest::recentError(s), "sdotoxml_sdotoxml: The SDO does not contain all mandatory parameters.\n");
  EXPECT_EQ(18003, zmr_dynamicsdogetsigners(s, empty.h, &out));
  EXPECT_EQ(zmrtest::recentError(s),
            "sdogetsigners_sdogetsigners: The SDO does not contain all mandatory parameters.\n");

  // An unsealed plain SDO: only the readers of any flavour take it.
  Sdo plain;
  makeDynamic(plain);
  std::string xml = xmlOf(plain.h);
  for (const char* prefix : {"<XAdES:", "</XAdES:", "<ds:", "</ds:"}) {
    const std::string from = prefix, to = from[1] == '/' ? "</" : "<";
    for (size_t at; (at = xml.find(from)) != std::string::npos;) xml.replace(at, from.size(), to);
  }
  ASSERT_EQ(xml.find("XAdES:OCSPValues"), std::string::npos);
  seidsdo** h = reinterpret_cast<seidsdo**>(1);
  EXPECT_EQ(34003, zmr_xmltosdoex(s, xml.c_str(), &h));
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(34003, zmr_dynamicsdoxmlgetsigners(s, xml.c_str(), &out));
  EXPECT_EQ(zmrtest::recentError(s), "seidsdoxmlgetsigners_seidsdoxmlgetsigners: Error parsing the SEIDSDO.\n");
  char *document = nullptr, *mimetype = nullptr, *description = nullptr;
  signatures* list = nullptr;
  ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, xml.c_str(), &document, &mimetype, &description, &list));
  EXPECT_EQ(0, zmr_signaturesfree(s, list));
  take(mimetype);
  take(description);
  EXPECT_EQ(20043, zmr_sdoxmlvalidate(s, xml.c_str(), 0));

  // Failures of the XML operations hand out nothing.
  document = mimetype = description = reinterpret_cast<char*>(1);
  list = reinterpret_cast<signatures*>(1);
  EXPECT_EQ(34001, zmr_sdoxmlextractsignatures(s, "<SDOList>", &document, &mimetype, &description, &list));
  EXPECT_TRUE(document == nullptr && mimetype == nullptr && description == nullptr && list == nullptr);
  EXPECT_EQ(zmrtest::recentError(s), "xmltoseidsdo_xmltoseidsdo: Error parsing SEID SDO XML.\n");
}

TEST_F(SdoApi, ArgumentFrame) {
  Sdo sdo;
  makeDynamic(sdo);
  zmrtest::Unreadable bad;
  const char* d = data.c_str();
  const char* p7 = userPkcs7.c_str();
  const char* oc = userOcsp.c_str();
  const char* xml = "<SDOList/>";
  auto*** badout = reinterpret_cast<seidsdo***>(bad.page);
  auto** badhandle = reinterpret_cast<seidsdo**>(bad.page);
  auto* badlist = static_cast<signatures*>(bad.page);
  seidsdo** h = nullptr;
  char* out = nullptr;
  signatures* list = nullptr;
  zmrtest::SignatureList good;
  good.add(userPkcs7, userOcsp);
  signatures* one = good.link();
  signatures noOcsp{const_cast<char*>(p7), nullptr, nullptr};
  signatures noPkcs7{nullptr, const_cast<char*>(oc), nullptr};
  signatures badNext{const_cast<char*>(p7), const_cast<char*>(oc), badlist};
  signatures secondNoOcsp{const_cast<char*>(p7), const_cast<char*>(oc), &noOcsp};
  signatures badOcspText{const_cast<char*>(p7), const_cast<char*>(bad.text()), nullptr};

  struct Case {
    const char* what;
    int want;
    int rc;
  } cases[] = {
      {"createsdo session -1", 33002, zmr_createsdo(-1, &h, d, "m", "x", p7, p7, oc, oc)},
      {"createsdo null out", 33002, zmr_createsdo(s, nullptr, d, "m", "x", p7, p7, oc, oc)},
      {"createsdo unreadable out", 33003, zmr_createsdo(s, badout, d, "m", "x", p7, p7, oc, oc)},
      {"createsdo null data", 33002, zmr_createsdo(s, &h, nullptr, "m", "x", p7, p7, oc, oc)},
      {"createsdo null mimetype", 33002, zmr_createsdo(s, &h, d, nullptr, "x", p7, p7, oc, oc)},
      {"createsdo null description", 33002, zmr_createsdo(s, &h, d, "m", nullptr, p7, p7, oc, oc)},
      {"createsdo null user pkcs7", 33002, zmr_createsdo(s, &h, d, "m", "x", nullptr, p7, oc, oc)},
      {"createsdo null merchant pkcs7", 33002, zmr_createsdo(s, &h, d, "m", "x", p7, nullptr, oc, oc)},
      {"createsdo null user ocsp", 33002, zmr_createsdo(s, &h, d, "m", "x", p7, p7, nullptr, oc)},
      {"createsdo null merchant ocsp", 33002, zmr_createsdo(s, &h, d, "m", "x", p7, p7, oc, nullptr)},
      {"createsdo unreadable merchant ocsp", 33003, zmr_createsdo(s, &h, d, "m", "x", p7, p7, oc, bad.text())},
      {"createsdo not open", 2009, zmr_createsdo(s + 1, &h, d, "m", "x", p7, p7, oc, oc)},
      {"createdynamicsdo null list", 33002, zmr_createdynamicsdo(s, &h, d, "m", "x", nullptr)},
      {"createdynamicsdo unreadable list", 33003, zmr_createdynamicsdo(s, &h, d, "m", "x", badlist)},
      {"createdynamicsdo entry without ocsp", 33002, zmr_createdynamicsdo(s, &h, d, "m", "x", &noOcsp)},
      {"createdynamicsdo entry without pkcs7", 33002, zmr_createdynamicsdo(s, &h, d, "m", "x", &noPkcs7)},
      {"createdynamicsdo unreadable next", 33003, zmr_createdynamicsdo(s, &h, d, "m", "x", &badNext)},
      {"createdynamicsdo second entry without ocsp", 33002, zmr_createdynamicsdo(s, &h, d, "m", "x", &secondNoOcsp)},
      {"createdynamicsdo unreadable ocsp", 33003, zmr_createdynamicsdo(s, &h, d, "m", "x", &badOcspText)},
      {"createdynamicsdo null out", 33002, zmr_createdynamicsdo(s, nullptr, d, "m", "x", one)},
      {"createdynamicsdo unreadable description", 33003, zmr_createdynamicsdo(s, &h, d, "m", bad.text(), one)},
      {"sdoadddata null handle", 33002, zmr_sdoadddata(s, nullptr, d)},
      {"sdoadddata unreadable handle", 33003, zmr_sdoadddata(s, badhandle, d)},
      {"sdoadddata null data", 33003, zmr_sdoadddata(s, sdo.h, nullptr)},
      {"sdoaddsignature null handle", 33002, zmr_sdoaddsignature(s, nullptr, one, d)},
      {"sdoaddsignature unreadable handle", 33003, zmr_sdoaddsignature(s, badhandle, one, d)},
      {"sdoaddsignature null list", 33002, zmr_sdoaddsignature(s, sdo.h, nullptr, d)},
      {"sdoaddsignature unreadable data", 33003, zmr_sdoaddsignature(s, sdo.h, one, bad.text())},
      {"sdoaddsignature entry without pkcs7", 33002, zmr_sdoaddsignature(s, sdo.h, &noPkcs7, d)},
      {"sdoaddsignature unreadable next", 33003, zmr_sdoaddsignature(s, sdo.h, &badNext, d)},
      {"sdoseal null handle", 33002, zmr_sdoseal(s, nullptr, oc, nullptr)},
      {"sdoseal null ocsp", 33002, zmr_sdoseal(s, sdo.h, nullptr, nullptr)},
      {"sdoseal unreadable ocsp", 33003, zmr_sdoseal(s, sdo.h, bad.text(), nullptr)},
      {"sdoseal unreadable data", 33003, zmr_sdoseal(s, sdo.h, oc, bad.text())},
      {"sdotoxmlex null out", 33002, zmr_sdotoxmlex(s, sdo.h, nullptr)},
      {"sdotoxmlex unreadable out", 33003, zmr_sdotoxmlex(s, sdo.h, bad.out())},
      {"sdotoxmlex null handle", 33002, zmr_sdotoxmlex(s, nullptr, &out)},
      {"xmltosdoex null xml", 33002, zmr_xmltosdoex(s, nullptr, &h)},
      {"xmltosdoex null out", 33002, zmr_xmltosdoex(s, xml, nullptr)},
      {"xmltosdoex unreadable out", 33003, zmr_xmltosdoex(s, xml, badout)},
      {"sdovalidate null handle", 33002, zmr_sdovalidate(s, nullptr, 0)},
      {"sdovalidate document check -1", 33002, zmr_sdovalidate(s, sdo.h, -1)},
      {"dynamicsdovalidate unreadable data", 33003, zmr_dynamicsdovalidate(s, sdo.h, bad.text(), 0, 1)},
      {"dynamicsdovalidate seal rule -1", 33002, zmr_dynamicsdovalidate(s, sdo.h, d, 0, -1)},
      {"dynamicsdovalidate negative count", 0, zmr_dynamicsdovalidate(s, sdo.h, d, -5, 1)},
      {"sdoxmlvalidate null xml", 33002, zmr_sdoxmlvalidate(s, nullptr, 0)},
      {"sdoxmlvalidate unreadable xml", 33003, zmr_sdoxmlvalidate(s, bad.text(), 0)},
      {"sdoxmlvalidate document check -1", 33002, zmr_sdoxmlvalidate(s, xml, -1)},
      {"simpledynamicsdoxmlvalidate count -1", 33002, zmr_simpledynamicsdoxmlvalidate(s, xml, -1)},
      {"simpledynamicsdoxmlvalidate null xml", 33002, zmr_simpledynamicsdoxmlvalidate(s, nullptr, 1)},
      {"dynamicsdoxmlgetsigners null out", 33002, zmr_dynamicsdoxmlgetsigners(s, xml, nullptr)},
      {"dynamicsdoxmlgetsigners unreadable xml", 33003, zmr_dynamicsdoxmlgetsigners(s, bad.text(), &out)},
      {"dynamicsdogetsigners null handle", 33002, zmr_dynamicsdogetsigners(s, nullptr, &out)},
      {"dynamicsdogetsigners unreadable out", 33003, zmr_dynamicsdogetsigners(s, sdo.h, bad.out())},
      {"extractsignatures null xml", 33002, zmr_sdoxmlextractsignatures(s, nullptr, &out, &out, &out, &list)},
      {"extractsignatures null document", 33002, zmr_sdoxmlextractsignatures(s, xml, nullptr, &out, &out, &list)},
      {"extractsignatures null mimetype", 33002, zmr_sdoxmlextractsignatures(s, xml, &out, nullptr, &out, &list)},
      {"extractsignatures null description", 33002,
       zmr_sdoxmlextractsignatures(s, xml, &out, &out, nullptr, &list)},
      {"extractsignatures null list", 33002, zmr_sdoxmlextractsignatures(s, xml, &out, &out, &out, nullptr)},
      {"extractsignatures unreadable list", 33003,
       zmr_sdoxmlextractsignatures(s, xml, &out, &out, &out, reinterpret_cast<signatures**>(bad.page))},
      {"sdofree session -1", 33002, zmr_sdofree(-1, sdo.h)},
      {"sdofree null handle", 33002, zmr_sdofree(s, nullptr)},
      {"sdofree unreadable handle", 33003, zmr_sdofree(s, badhandle)},
      {"signaturesfree null list", 33002, zmr_signaturesfree(s, nullptr)},
      {"signaturesfree unreadable list", 33003, zmr_signaturesfree(s, badlist)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.rc, c.want) << c.what;
  // The frame writes no recent-error line and hands out nothing.
  EXPECT_EQ(zmrtest::recentError(s), "");
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(list, nullptr);
}

TEST_F(SdoApi, HandlesAndListsAreFreedAfterTheSessionCloses) {
  Sdo sdo;
  makeDynamic(sdo);
  const std::string xml = xmlOf(sdo.h);
  char *document = nullptr, *mimetype = nullptr, *description = nullptr;
  signatures* list = nullptr;
  ASSERT_EQ(0, zmr_sdoxmlextractsignatures(s, xml.c_str(), &document, &mimetype, &description, &list));
  take(mimetype);
  take(description);
  ASSERT_EQ(0, zmr_closesession(s));
  // Released all the same (the leak checker watches), with the session's code.
  EXPECT_EQ(2009, zmr_sdofree(s, sdo.h));
  sdo.h = nullptr;
  EXPECT_EQ(2009, zmr_signaturesfree(s, list));
  seidsdo** h = nullptr;
  EXPECT_EQ(2009, zmr_xmltosdoex(s, xml.c_str(), &h));
  EXPECT_EQ(h, nullptr);
}

}  // namespace
