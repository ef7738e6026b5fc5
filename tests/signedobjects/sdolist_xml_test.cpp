// The older SDO list: constructors, release, the XML writer against a
// document written out by hand, round trips through the reader (xmllint
// judging every output), and what the reader accepts and refuses.
#include <gtest/gtest.h>

#include <functional>

#include "signedobjects/sdolist/sdolist.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/recenterror.h"
#include "support/sdolisttrees.h"
#include "support/storesession.h"
#include "support/tempdir.h"
#include "support/verifiers.h"

namespace zmr {
namespace {

using zmrtest::bytesOf;
using zmrtest::dumpSdoList;
using zmrtest::peekRecentError;
using zmrtest::sampleSdoList;
using zmrtest::writeSdoList;

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SDOList xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:noNamespaceSchemaLocation=\"Zelmor_SDO_099.xsd\">";
const std::string kTail = "</SDOList>";

const std::string kSampleDataPart =
    "<SDODataPart><Policy>2.999.10.1.16.4.1</Policy><HashedData>MDEyMzQ1Njc4OWFiY2RlZmdoaWo=</HashedData>"
    "<DataType>text/plain</DataType><SignatureList><SignatureElement><SignatureDataAndDateTime>VVNFUg=="
    "</SignatureDataAndDateTime><OCSPResponse>T0NTUC1V</OCSPResponse></SignatureElement><SignatureElement>"
    "<DateTime>2026-12-10T20:15:00</DateTime><SignatureDataAndDateTime>TUVSQw==</SignatureDataAndDateTime>"
    "<OCSPResponse>T0NTUC1N</OCSPResponse><SignatureTimestampAuthority>tsa &amp; co</SignatureTimestampAuthority>"
    "</SignatureElement></SignatureList></SDODataPart>";

const std::string kSample =
    kHead + "<SDO><Zelmor_SDOVersion>1.0</Zelmor_SDOVersion>" + kSampleDataPart +
    "<SDOSignature>U0RP</SDOSignature><Metadata><Keywords>k1 k2</Keywords><Description>Contract &lt;1&gt; &amp; "
    "&apos;terms&apos;</Description><MetaAttributeList><NameValuePair><Name>MerchantDesc</Name><Value>Order 42"
    "</Value></NameValuePair><NameValuePair><Name>Ref</Name><Value>a&quot;b</Value></NameValuePair>"
    "</MetaAttributeList></Metadata><LocationURL>https://example.test/doc?id=1&amp;v=2</LocationURL>"
    "<StoredData>SGVsbG8sIFNETyBsaXN0IQ==</StoredData></SDO>" +
    kTail;

class SdoList : public ::testing::Test {
 protected:
  void SetUp() override { session = zmrtest::openStoreSession(); }
  void TearDown() override { freesession(session); }

  int read(const std::string& xml) {
    tree = std::make_unique<sdolist>();  // a failure must clear it
    return xmltosdo(session, xml, tree);
  }

  int session = -1;
  std::unique_ptr<sdolist> tree;
};

TEST(SdoListRecords, ConstructorsCopyAndSetTheirDefaults) {
  std::string signature = "c2ln", ocsp("O\0C", 3), datetime = "2026-12-10T20:15:00";
  std::unique_ptr<sigelement> element;
  ASSERT_EQ(createsdosignatureelement(0, signature, ocsp, datetime, element), 0);
  signature[0] = ocsp[0] = 'X';
  EXPECT_EQ(element->signature, "c2ln");
  EXPECT_EQ(element->szocspresponse, bytesOf(std::string("O\0C", 3)));
  EXPECT_EQ(element->szdatetime, datetime);
  EXPECT_FALSE(element->timestampauthority);
  EXPECT_FALSE(element->next);

  std::unique_ptr<sigelement> bare;
  ASSERT_EQ(createsdosignatureelement(0, std::nullopt, std::string_view(), std::nullopt, bare), 0);
  EXPECT_FALSE(bare->signature);
  EXPECT_EQ(bare->szocspresponse, std::vector<unsigned char>());  // present, no bytes
  EXPECT_FALSE(bare->szdatetime);

  std::unique_ptr<sdodatapart> datapart;
  ASSERT_EQ(createsdodatapart(0, std::string_view("\x01\x02", 2), "text/plain", std::move(element), datapart), 0);
  EXPECT_EQ(datapart->szpolicy, "2.999.10.1.16.4.1");
  EXPECT_EQ(datapart->szhasheddata, (std::vector<unsigned char>{1, 2}));
  EXPECT_EQ(datapart->szdatatype, "text/plain");
  EXPECT_EQ(datapart->siglist->signature, "c2ln");

  std::unique_ptr<sdoelement> sdo;
  ASSERT_EQ(createsdoelement(0, "U0RP", std::move(datapart), sdo), 0);
  EXPECT_EQ(sdo->szzmr_sdoversion, "1.0");
  EXPECT_EQ(sdo->szsdosignature, "U0RP");
  EXPECT_TRUE(sdo->sdodatapart);
  EXPECT_FALSE(sdo->metadata || sdo->locationurl || sdo->storeddata || sdo->nextsdoelement);

  std::unique_ptr<sdolist> list;
  ASSERT_EQ(createsdofinished(std::move(sdo), list), 0);
  EXPECT_EQ(list->first->szsdosignature, "U0RP");
  EXPECT_EQ(sdofree(0, list.release()), 2009);  // released all the same (the leak sanitizer watches)
}

TEST_F(SdoList, ReleaseChecksTheSession) {
  setlasterror(session, "old\n");
  EXPECT_EQ(sdofree(session, sampleSdoList().release()), 0);
  EXPECT_EQ(peekRecentError(), "");
  EXPECT_EQ(sdofree(session, nullptr), 0);
  EXPECT_EQ(sdofree(session + 1, sampleSdoList().release()), 2009);
}

TEST_F(SdoList, GoldenDocument) {
  auto sample = sampleSdoList();
  EXPECT_EQ(writeSdoList(*sample), kSample);
  std::string signable;
  ASSERT_EQ(sdodataparttosignable(session, *sample->first->sdodatapart, signable), 0);
  EXPECT_EQ(signable, kSampleDataPart);
  ASSERT_EQ(read(kSample), 0) << peekRecentError();
  EXPECT_EQ(dumpSdoList(*tree), dumpSdoList(*sample));
  EXPECT_EQ(peekRecentError(), "");
}

// Trees the writer meets: everything optional left out, empty texts, two
// SDOs, bytes with no count, a large stored document.
std::vector<std::pair<std::string, std::unique_ptr<sdolist>>> variants() {
  std::vector<std::pair<std::string, std::unique_ptr<sdolist>>> out;
  out.emplace_back("sample", sampleSdoList());

  auto bare = std::make_unique<sdolist>();
  bare->first = std::make_unique<sdoelement>();
  bare->first->sdodatapart = std::make_unique<sdodatapart>();
  bare->first->sdodatapart->szhasheddata = bytesOf("d");
  bare->first->sdodatapart->siglist = std::make_unique<sigelement>();
  out.emplace_back("bare", std::move(bare));

  auto empties = sampleSdoList();
  sdoelement& e = *empties->first;
  e.szzmr_sdoversion = e.szsdosignature = e.locationurl = "";
  e.metadata->keywords = e.metadata->description = e.metadata->attributes->value = "";
  e.sdodatapart->siglist->signature = e.sdodatapart->siglist->next->szdatetime = "";
  e.sdodatapart->siglist->szocspresponse = std::vector<unsigned char>();
  e.storeddata = std::vector<unsigned char>();
  e.metadata->attributes->next.reset();
  out.emplace_back("empty texts and bytes", std::move(empties));

  auto two = sampleSdoList();
  two->first->nextsdoelement = std::move(sampleSdoList()->first);
  two->first->nextsdoelement->szzmr_sdoversion = "2";
  out.emplace_back("two SDOs", std::move(two));

  // Line ends and tabs, which a reader would change unless written as
  // character references, and characters beyond ASCII.
  auto awkward = sampleSdoList();
  sdoelement& w = *awkward->first;
  w.metadata->description = "Line 1\r\nLine 2\rLine 3\n\tend";
  w.metadata->keywords = "\r";
  w.metadata->attributes->value = "\xC3\xA6\xC3\xB8 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\x85\x7F";
  w.sdodatapart->siglist->next->timestampauthority = "tsa\r\n";
  out.emplace_back("line ends, tabs, characters beyond ASCII", std::move(awkward));

  auto large = sampleSdoList();
  std::string document;
  for (int i = 0; i < 400000; ++i) document.push_back(static_cast<char>(i * 7 + i / 251));
  large->first->storeddata = bytesOf(document);
  large->first->nextsdoelement = std::move(sampleSdoList()->first);
  large->first->nextsdoelement->storeddata = bytesOf(document);
  out.emplace_back("two stored documents of 400 KB", std::move(large));
  return out;
}

TEST_F(SdoList, RoundTripsAndXmllintAcceptsEveryOutput) {
  std::string dir = zmrtest::makeTempDir("sdolistxmllint");
  std::string files;
  int n = 0;
  for (auto& [name, original] : variants()) {
    SCOPED_TRACE(name);
    std::string xml = writeSdoList(*original);
    ASSERT_EQ(read(xml), 0) << peekRecentError();
    EXPECT_EQ(dumpSdoList(*tree, true), dumpSdoList(*original, true));
    EXPECT_EQ(peekRecentError(), "");
    std::string path = dir + "/doc" + std::to_string(n++) + ".xml";
    ASSERT_TRUE(zmrtest::writeFile(path, xml));
    files += " " + path;
  }
  std::string output;
  EXPECT_EQ(zmrtest::runCommand("xmllint --noout" + files + " 2>&1", &output), 0) << output;
}

// The base64 of text in lines of 64 characters, each ending in CR LF.
std::string brokenBase64(const std::string& bytes, const std::string& indent) {
  std::string b64 = zmrtest::toBase64(bytes), out = "\r\n";
  for (size_t at = 0; at < b64.size(); at += 64) out += indent + b64.substr(at, 64) + "\r\n";
  return out + indent;
}

TEST_F(SdoList, LineBrokenAndIndentedBase64ReadsBackWhole) {
  auto original = sampleSdoList();
  std::string document, ocsp;
  for (int i = 0; i < 3000; ++i) document.push_back(static_cast<char>(i * 13 + i / 97));
  for (int i = 0; i < 700; ++i) ocsp.push_back(static_cast<char>(255 - i));
  original->first->storeddata = bytesOf(document);
  original->first->sdodatapart->siglist->szocspresponse = bytesOf(ocsp);
  original->first->sdodatapart->szhasheddata = bytesOf(std::string(48, '\x5a'));
  std::string compact = writeSdoList(*original);

  // Every base64 text in lines, every element on a line of its own.
  auto rebreak = [&](std::string xml, const std::string& element, const std::string& bytes) {
    std::string open = "<" + element + ">", close = "</" + element + ">";
    size_t from = xml.find(open) + open.size(), to = xml.find(close, from);
    return xml.replace(from, to - from, brokenBase64(bytes, "      "));
  };
  std::string xml = rebreak(compact, "StoredData", document);
  xml = rebreak(xml, "OCSPResponse", ocsp);
  xml = rebreak(xml, "HashedData", std::string(48, '\x5a'));
  std::string indented;
  for (size_t i = 0; i < xml.size(); ++i) {
    if (xml[i] == '<' && i > 0 && xml[i - 1] == '>') indented += "\r\n    ";
    indented += xml[i];
  }
  ASSERT_NE(indented.find("\r\n      "), std::string::npos);
  ASSERT_EQ(read(indented), 0) << peekRecentError();
  EXPECT_EQ(dumpSdoList(*tree), dumpSdoList(*original));
  EXPECT_EQ(writeSdoList(*tree), compact);
  EXPECT_EQ(peekRecentError(), "");
}

TEST_F(SdoList, WriterRefusals) {
  // A digest the encoder refuses, absent or empty.
  for (bool empty : {false, true}) {
    auto list = sampleSdoList();
    if (empty)
      list->first->sdodatapart->szhasheddata = std::vector<unsigned char>();
    else
      list->first->sdodatapart->szhasheddata.reset();
    std::string out = "untouched", signable = "untouched";
    zmrtest::takeRecentError();
    EXPECT_EQ(zmrsdo2xml(session, *list, out), 21001);
    EXPECT_EQ(sdodataparttosignable(session, *list->first->sdodatapart, signable), 21001);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(signable, "untouched");
    const std::string lines =
        "base64_encodebase64: Unable to base64 encode data.\n"
        "sdotools_dataparttoxml: Base64 encoding of dataparts hasheddata failed.\n";
    EXPECT_EQ(peekRecentError(), lines + lines);
  }

  // A data part is written whole up to 39999 characters (40000 bytes with
  // the terminator) and refused beyond, by both writers.
  auto list = sampleSdoList();
  std::string base;
  ASSERT_EQ(sdodataparttosignable(session, *list->first->sdodatapart, base), 0);
  zmr::sigelement& merchant = *list->first->sdodatapart->siglist->next;
  merchant.signature = std::string(39999 - base.size() + merchant.signature->size(), 'S');
  std::string signable, out;
  ASSERT_EQ(sdodataparttosignable(session, *list->first->sdodatapart, signable), 0);
  EXPECT_EQ(signable.size(), 39999u);
  ASSERT_EQ(zmrsdo2xml(session, *list, out), 0);
  EXPECT_NE(out.find(signable), std::string::npos);
  merchant.signature->push_back('S');
  zmrtest::takeRecentError();
  EXPECT_EQ(sdodataparttosignable(session, *list->first->sdodatapart, signable), 18001);
  EXPECT_EQ(zmrsdo2xml(session, *list, out), 18001);
  EXPECT_EQ(signable.size(), 39999u);
  EXPECT_EQ(peekRecentError(),
            "sdotools_zmrsdotoxml: The SDO xml is too large to fit in internal buffers.\n"
            "sdotools_zmrsdotoxml: The SDO xml is too large to fit in internal buffers.\n");
}

// A document of one SDO whose body is given.
std::string sdo(const std::string& body) { return kHead + "<SDO>" + body + "</SDO>" + kTail; }

// Characters XML 1.0 cannot carry: refused by the constructors and, in a
// tree filled otherwise, by the writers, each with a line naming the
// element; nothing is written.
TEST_F(SdoList, TextsXmlCannotCarryAreRefused) {
  const std::string refused[] = {std::string("nul\0", 4), "bell\x07",         "Esc\x1B",
                                 "Latin-1 \xE6",          "surrogate \xED\xB0\x80", "U+FFFF \xEF\xBF\xBF"};
  auto line = [](const std::string& prefix, const char* field) {
    return prefix + ": The " + field + " text holds characters XML 1.0 cannot carry.\n";
  };
  for (const std::string& bad : refused) {
    SCOPED_TRACE(testing::PrintToString(bad));
    zmrtest::takeRecentError();
    std::unique_ptr<sigelement> element;
    EXPECT_EQ(createsdosignatureelement(session, bad, std::nullopt, std::nullopt, element), 33002);
    EXPECT_EQ(createsdosignatureelement(session, "c2ln", std::nullopt, bad, element), 33002);
    EXPECT_FALSE(element);
    std::unique_ptr<sdodatapart> datapart;
    EXPECT_EQ(createsdodatapart(session, std::nullopt, bad, nullptr, datapart), 33002);
    EXPECT_FALSE(datapart);
    std::unique_ptr<sdoelement> sdo;
    EXPECT_EQ(createsdoelement(session, bad, nullptr, sdo), 33002);
    EXPECT_FALSE(sdo);
    EXPECT_EQ(peekRecentError(), line("sdotools_createsdosignatureelement", "SignatureDataAndDateTime") +
                                     line("sdotools_createsdosignatureelement", "DateTime") +
                                     line("sdotools_createsdodatapart", "DataType") +
                                     line("sdotools_createsdoelement", "SDOSignature"));

    struct Field {
      const char* name;
      bool indatapart;
      std::function<void(sdoelement&, const std::string&)> set;
    } fields[] = {
        {"DataType", true, [](sdoelement& e, const std::string& v) { e.sdodatapart->szdatatype = v; }},
        {"SignatureTimestampAuthority", true,
         [](sdoelement& e, const std::string& v) { e.sdodatapart->siglist->next->timestampauthority = v; }},
        {"Description", false, [](sdoelement& e, const std::string& v) { e.metadata->description = v; }},
        {"Value", false, [](sdoelement& e, const std::string& v) { e.metadata->attributes->value = v; }},
        {"LocationURL", false, [](sdoelement& e, const std::string& v) { e.locationurl = v; }},
    };
    for (const Field& f : fields) {
      SCOPED_TRACE(f.name);
      auto list = sampleSdoList();
      f.set(*list->first, bad);
      std::string out = "untouched", signable = "untouched";
      zmrtest::takeRecentError();
      EXPECT_EQ(zmrsdo2xml(session, *list, out), 33002);
      EXPECT_EQ(out, "untouched");
      EXPECT_EQ(peekRecentError(),
                line(f.indatapart ? "sdotools_dataparttoxml" : "sdotools_zmrsdotoxml", f.name));
      EXPECT_EQ(sdodataparttosignable(session, *list->first->sdodatapart, signable), f.indatapart ? 33002 : 0);
    }
  }
}

TEST_F(SdoList, ElementsWithoutTheirParentRecordAreRefused) {
  struct Case {
    const char* name;
    std::string xml;
  };
  const Case cases[] = {
      {"version before any SDO", kHead + "<Zelmor_SDOVersion>1.0</Zelmor_SDOVersion>" + kTail},
      {"policy without data part", sdo("<Policy>p</Policy>")},
      {"hashed data without data part", sdo("<HashedData>AAAA</HashedData>")},
      {"signature element without data part", sdo("<SignatureList><SignatureElement/></SignatureList>")},
      {"date-time without signature element", sdo("<SDODataPart><DateTime>d</DateTime></SDODataPart>")},
      {"OCSP without signature element", sdo("<SDODataPart><OCSPResponse>AAAA</OCSPResponse></SDODataPart>")},
      {"keywords without metadata", sdo("<Keywords>k</Keywords>")},
      {"pair without metadata", sdo("<NameValuePair/>")},
      {"name without pair", sdo("<Metadata><Name>n</Name></Metadata>")},
      {"signature element after a new data part", sdo("<SDODataPart><SignatureElement/></SDODataPart>"
                                                      "<SDODataPart/><DateTime>d</DateTime>")},
      {"an SDO list inside an SDO", sdo("<SDOList/><LocationURL>u</LocationURL>")},
      {"not well-formed", sdo("<Policy>")},
      {"not well-formed after a refusal", sdo("<Policy/>") + "<"},
      {"empty text", ""},
      {"a document type", "<!DOCTYPE SDOList><SDOList/>"},
      {"entity declarations", "<!DOCTYPE SDOList [<!ENTITY a \"b\">]><SDOList><SDO><LocationURL>&a;</LocationURL>"
                              "</SDO></SDOList>"},
      {"nesting deeper than any SDO", [] {
         std::string deep = kHead;
         for (int i = 0; i < 20000; ++i) deep += "<X>";
         for (int i = 0; i < 20000; ++i) deep += "</X>";
         return deep + kTail;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read(c.xml), 1);
    EXPECT_FALSE(tree);
  }
}

TEST_F(SdoList, WhatTheReaderAccepts) {
  // Unknown names are ignored, also inside a text, which is gathered
  // whole; references are resolved; whitespace between elements is no
  // text.
  ASSERT_EQ(read(kHead + "<Other/><SDO>\n <Extra a=\"b\"><Deeper/></Extra>\n <Zelmor_SDOVersion>1.<!-- c -->0"
                         "</Zelmor_SDOVersion>\n <LocationURL>A &amp; <X/>B&#x3C;<![CDATA[&]]></LocationURL>\n"
                         "</SDO>" +
                 kTail),
            0);
  EXPECT_EQ(tree->first->szzmr_sdoversion, "1.0");
  EXPECT_EQ(tree->first->locationurl, "A & B<&");
  EXPECT_FALSE(tree->first->nextsdoelement);

  // An element without character data leaves its field as it was; a
  // repeated one replaces it; a repeated record starts afresh.
  ASSERT_EQ(read(sdo("<SDOSignature/><LocationURL>a</LocationURL><LocationURL>b</LocationURL><LocationURL/>"
                     "<Metadata><Keywords>k</Keywords></Metadata><Metadata/>")),
            0);
  EXPECT_FALSE(tree->first->szsdosignature);
  EXPECT_EQ(tree->first->locationurl, "b");
  EXPECT_FALSE(tree->first->metadata->keywords);

  // An SDO list start empties what came before it; several SDOs keep
  // their order, and so do long lists.
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "<NameValuePair><Name>n" + std::to_string(i) + "</Name></NameValuePair>";
  ASSERT_EQ(read(kHead + "<SDO/><SDOList/><SDO><Zelmor_SDOVersion>a</Zelmor_SDOVersion></SDO><SDO><Metadata>" +
                 many + "</Metadata></SDO>" + kTail),
            0);
  EXPECT_EQ(tree->first->szzmr_sdoversion, "a");
  const namevaluepair* pair = tree->first->nextsdoelement->metadata->attributes.get();
  for (int i = 0; i < 20000; ++i, pair = pair->next.get()) {
    ASSERT_NE(pair, nullptr);
    ASSERT_EQ(pair->name, "n" + std::to_string(i));
  }
  EXPECT_EQ(pair, nullptr);
}

TEST_F(SdoList, Base64ThatDoesNotDecodeLeavesItsFieldAbsent) {
  ASSERT_EQ(read(sdo("<StoredData>AAAA</StoredData><StoredData>not base64!</StoredData><SDODataPart><HashedData>"
                     "QUJD</HashedData></SDODataPart>")),
            0);
  EXPECT_FALSE(tree->first->storeddata);
  EXPECT_EQ(tree->first->sdodatapart->szhasheddata, bytesOf("ABC"));
  EXPECT_EQ(peekRecentError(),
            "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n"
            "sdotools_handleData: An error occured trying to base64 decode the userData input.\n");
}

TEST_F(SdoList, ReaderChecksTheSession) {
  EXPECT_EQ(xmltosdo(session + 1, kSample, tree), 2009);
  EXPECT_FALSE(tree);
  setlasterror(session, "old\n");
  ASSERT_EQ(read(kSample), 0);
  EXPECT_EQ(peekRecentError(), "");  // taken on entry
}

}  // namespace
}  // namespace zmr
