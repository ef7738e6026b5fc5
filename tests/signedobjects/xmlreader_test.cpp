// The XML reader: round trips with the writer, the snippets it must accept
// or refuse, and hostile documents.
#include <gtest/gtest.h>

#include <functional>

#include "signedobjects/seid/seidsdo.h"
#include "signedobjects/sdogoldens.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/recenterror.h"
#include "support/sdotrees.h"
#include "support/tempdir.h"

namespace zmr {
namespace {

using sdogolden::kHead;
using sdogolden::kTail;
using zmrtest::dumpTree;
using zmrtest::peekRecentError;
using zmrtest::writeXml;

constexpr const char* kParseLine = "xmltoseidsdo_xmltoseidsdo: Error parsing SEID SDO XML.\n";
constexpr const char* kNotSdoLine = "xmltoseidsdo_xmltoseidsdo: The XML is not SEID SDO XML.\n";

class SdoXmlReader : public ::testing::Test {
 protected:
  void SetUp() override { session = zmrtest::openStoreSession(); }
  void TearDown() override { freesession(session); }

  // The reader's code; the tree in tree (null on failure).
  int read(const std::string& xml, int anyflavour = 1) {
    tree = std::make_unique<seidsdocell>();  // a failure must clear it
    return xmltoseidsdo(session, xml, tree, anyflavour);
  }

  int session = -1;
  std::unique_ptr<seidsdocell> tree;
};

// The snippet with end tags for the elements it leaves open.
std::string closed(const std::string& snippet) {
  std::vector<std::string> open;
  for (size_t at = snippet.find('<'); at != std::string::npos; at = snippet.find('<', at + 1)) {
    char next = snippet[at + 1];
    size_t end = snippet.find('>', at);
    if (next == '/') {
      open.pop_back();
    } else if (next != '!' && next != '?' && snippet[end - 1] != '/') {
      open.push_back(snippet.substr(at + 1, snippet.find_first_of(" />", at) - at - 1));
    }
  }
  std::string out = snippet;
  for (auto it = open.rbegin(); it != open.rend(); ++it) out += "</" + *it + ">";
  return out;
}

// A document of one SDO whose body is given, closed.
std::string sdo(const std::string& body) { return kHead + "<SDO>" + closed(body) + "</SDO>" + kTail; }

const std::string kElementOpen = "<SDODataPart><SignatureElement><CMSSignatureElement>";

TEST_F(SdoXmlReader, WriterOutputReadsBackTextForText) {
  // Every kind of text, some empty (which read back absent, but for a
  // metadata pair's), in every flavour, sealed or not.
  zmrtest::SdoElementTexts empties{"", "I2", "", "DM2", "", "S2", ""};
  for (bool sealed : {false, true}) {
    for (int flavour : {-1, 0, 1}) {
      SCOPED_TRACE(std::string(sealed ? "sealed" : "unsealed") + ", flavour " + std::to_string(flavour));
      auto original = zmrtest::sdoTree({zmrtest::realisticTexts(), empties},
                                       sealed ? std::optional(sdogolden::sealTexts()) : std::nullopt);
      zmrtest::addPair(*original, "MerchantDesc", sdogolden::kMarkupChars, "");
      zmrtest::addPair(*original, "", std::nullopt, "d");
      original->first->signedobject = std::make_unique<signedobject>();
      original->first->signedobject->signersdocument = "ZG9jdW1lbnQ=";
      ASSERT_EQ(read(writeXml(*original, flavour)), 0) << peekRecentError();
      original->first->flavour = flavour;
      EXPECT_EQ(dumpTree(*tree), dumpTree(*original, true));
      EXPECT_EQ(writeXml(*tree, tree->first->flavour), writeXml(*original, flavour));
    }
  }
}

// Every text of a tree set to t: three data-part elements, the seal, a
// metadata pair and the kept document.
std::unique_ptr<seidsdocell> everyText(const std::string& t) {
  zmrtest::SdoElementTexts texts{t, t, t, t, t, t, t};
  auto tree = zmrtest::sdoTree({texts, texts, texts}, texts, t);
  zmrtest::addPair(*tree, t, t, t);
  tree->first->signedobject = std::make_unique<signedobject>();
  tree->first->signedobject->signersdocument = t;
  return tree;
}

bool xmllintAccepts(const std::string& xml, std::string* output = nullptr) {
  const std::string dir = zmrtest::makeTempDir("sdoxml-awkward");
  if (!zmrtest::writeFile(dir + "/d.xml", xml)) return false;
  return zmrtest::runCommand("xmllint --noout " + dir + "/d.xml 2>&1", output) == 0;
}

// Texts XML carries only through character references (CR anywhere; tab
// and LF in attribute values, which a reader turns into blanks) and other
// legal oddities come back from the writer's text as they went in, in
// every text and attribute of every flavour.
TEST_F(SdoXmlReader, AwkwardButLegalTextsReadBackAsWritten) {
  const std::string texts[] = {"Line 1\r\nLine 2",
                               "old Mac\rline",
                               "\r",
                               "tab\there\tand LF\nthere",
                               "  blanks  around  ",
                               "\r\n\t \n",
                               sdogolden::kMarkupChars + "&#13;&amp;",
                               "UTF-8: \xC3\xA6\xC3\xB8\xC3\xA5 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"
                               " \xF4\x8F\xBF\xBF",
                               "C1 and DEL: \xC2\x85\xC2\x9F\x7F",
                               "]]> <![CDATA[ x ]]>"};
  for (const std::string& t : texts) {
    for (int flavour : {-1, 0, 1}) {
      SCOPED_TRACE(testing::PrintToString(t) + ", flavour " + std::to_string(flavour));
      auto original = everyText(t);
      original->first->flavour = flavour;
      const std::string xml = writeXml(*original, flavour);
      std::string output;
      EXPECT_TRUE(xmllintAccepts(xml, &output)) << output;
      ASSERT_EQ(read(xml), 0) << peekRecentError();
      EXPECT_EQ(dumpTree(*tree), dumpTree(*original));
      EXPECT_EQ(writeXml(*tree, flavour), xml);
    }
  }
}

// Characters XML 1.0 cannot carry are not written: 33002, no text, and a
// line naming the element that holds them. Written raw, neither xmllint
// nor the reader would take them.
TEST_F(SdoXmlReader, TextsXmlCannotCarryAreNotWritten) {
  const std::string refused[] = {std::string("nul\0", 4),
                                 "bell\x07",
                                 "vertical\x0Btab",
                                 "form\x0C" "feed",
                                 "Esc\x1B[0m",
                                 "unit\x1F",
                                 "Latin-1 \xE6",
                                 "cut \xC3",
                                 "overlong \xC0\xAF",
                                 "overlong \xE0\x80\xAF",
                                 "surrogate \xED\xA0\x80",
                                 "U+FFFE \xEF\xBF\xBE",
                                 "U+FFFF \xEF\xBF\xBF",
                                 "past U+10FFFF \xF4\x90\x80\x80",
                                 "\xFF",
                                 "lone \x80 continuation"};
  // Where each field is put, and the name its line gives.
  struct Field {
    const char* name;
    int flavour;
    std::function<void(seidsdocell&, const std::string&)> set;
  } fields[] = {
      {"SEIDSDOVersion", -1, [](seidsdocell& t, const std::string& v) { t.first->version = v; }},
      {"MimeType", 0,
       [](seidsdocell& t, const std::string& v) {
         t.first->datapart->first->next->element->signersdocumentformat->mimetype = v;
       }},
      {"Identifier", 1,
       [](seidsdocell& t, const std::string& v) {
         t.first->datapart->first->element->signaturepolicyidentifier->signaturepolicyid->sigpolicyid->identifier = v;
       }},
      {"DigestMethod", -1,
       [](seidsdocell& t, const std::string& v) {
         t.first->seal->sdosignature->element->hasheddata->digestmethod = v;
       }},
      {"Description", 0, [](seidsdocell& t, const std::string& v) { t.first->metadata->first->description = v; }},
      {"SignersDocument", 1,
       [](seidsdocell& t, const std::string& v) { t.first->signedobject->signersdocument = v; }},
  };
  const std::string placeholder = "PLACEHOLDER";
  for (const std::string& bad : refused) {
    SCOPED_TRACE(testing::PrintToString(bad));
    std::string raw = writeXml(*everyText(placeholder), -1);
    raw.replace(raw.find(placeholder), placeholder.size(), bad);
    EXPECT_FALSE(xmllintAccepts(raw));
    EXPECT_EQ(read(raw), 34001);
    for (const Field& f : fields) {
      SCOPED_TRACE(f.name);
      auto t = everyText("x");
      f.set(*t, bad);
      std::string xml = "untouched", signable = "untouched";
      zmrtest::takeRecentError();
      EXPECT_EQ(zmrseidsdo2xml(session, *t, xml, f.flavour), 33002);
      EXPECT_EQ(xml, "untouched");
      EXPECT_EQ(peekRecentError(), std::string("seidsdotools_zmrseidsdotoxml: The ") + f.name +
                                       " text holds characters XML 1.0 cannot carry.\n");
      // The signable text of a data part holding one is refused alike.
      const int signed_rc = seidsdodataparttosignable(session, *t->first->datapart, signable, f.flavour);
      const bool indatapart = std::string(f.name) == "MimeType" || std::string(f.name) == "Identifier";
      EXPECT_EQ(signed_rc, indatapart ? 33002 : 0);
    }
  }
}

TEST_F(SdoXmlReader, GoldenDocumentsRewriteIdentically) {
  for (const sdogolden::Golden& g : sdogolden::goldens()) {
    SCOPED_TRACE(g.name);
    ASSERT_EQ(read(g.xml), 0);
    // Sealed or not: the seal's compliant identifier does not count.
    EXPECT_EQ(tree->first->flavour, g.flavour);
    EXPECT_EQ(writeXml(*tree, tree->first->flavour), g.xml);
  }
}

TEST_F(SdoXmlReader, WhitespaceBetweenElementsIsIgnored) {
  std::string compact = sdogolden::oneElementDocument(0);
  std::string indented;
  for (char c : compact) {
    if (c == '<' && !indented.empty() && indented.back() == '>') indented += "\n  ";
    indented += c;
  }
  ASSERT_EQ(read(compact), 0);
  std::string expected = dumpTree(*tree);
  ASSERT_EQ(read(indented), 0);
  EXPECT_EQ(dumpTree(*tree), expected);
  EXPECT_EQ(tree->first->version, "1.0");
  EXPECT_EQ(writeXml(*tree, 0), compact);
}

TEST_F(SdoXmlReader, SnippetsThatAreRefused) {
  struct Case {
    const char* name;
    std::string xml;
    int code;
  };
  const std::string chain = kElementOpen + "<SignaturePolicyIdentifier><SignaturePolicyId><SigPolicyId>";
  const Case cases[] = {
      {"ds:Identifier", sdo(chain + "<ds:Identifier>x</ds:Identifier>"), 34002},
      {"XAdES:DigestValue", sdo(kElementOpen + "<HashedData><XAdES:DigestValue>x</XAdES:DigestValue>"), 34002},
      {"SDOProfile before any CMSSignatureElement", sdo("<SDODataPart><SDOProfile>P</SDOProfile>"), 34002},
      {"Identifier before any SDO", kHead + "<Identifier>x</Identifier>" + kTail, 34002},
      {"SignatureElement without SDODataPart", sdo("<SignatureElement/>"), 34002},
      {"DigestMethod without attribute", sdo(kElementOpen + "<HashedData><DigestMethod/>"), 34002},
      {"SigPolicyId without SignaturePolicyId", sdo(kElementOpen + "<SignaturePolicyIdentifier><SigPolicyId/>"),
       34002},
      {"unknown name", sdo("<Extra/>"), 34002},
      {"name differing in case", sdo("<seidsdoversion>1.0</seidsdoversion>"), 34002},
      {"SignatureElement after the SDOSignature",
       sdo("<SDODataPart/><SDOSeal><SDOSignature/></SDOSeal><SDODataPart/><SignatureElement/>"), 34002},
      // A later well-formedness error outranks the unknown name.
      {"unknown name, then not well-formed", sdo("<Extra/>") + "<", 34001},
      {"mismatched end tag", kHead + "<SDO></SDOList>", 34001},
      {"ends inside an element", kHead + "<SDO>", 34001},
      {"empty text", "", 34001},
      {"NUL character", sdo(std::string("<SEIDSDOVersion>1\0</SEIDSDOVersion>", 35)), 34001},
      {"invalid UTF-8", sdo("<SEIDSDOVersion>\xc3\x28</SEIDSDOVersion>"), 34001},
      {"undeclared entity", sdo("<SEIDSDOVersion>&nbsp;</SEIDSDOVersion>"), 34001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read(c.xml), c.code);
    EXPECT_FALSE(tree);
    EXPECT_EQ(peekRecentError(), c.code == 34001 ? kParseLine : kNotSdoLine);
  }
}

TEST_F(SdoXmlReader, SnippetsThatAreRead) {
  const std::string chain = kElementOpen + "<SignaturePolicyIdentifier><SignaturePolicyId><SigPolicyId>";

  ASSERT_EQ(read(sdo(kElementOpen + "<HashedData><DigestMethod Name=\"SHA-1\"/>")), 0);
  EXPECT_EQ(tree->first->datapart->first->element->hasheddata->digestmethod, "SHA-1");

  // The first attribute, whatever its name; text inside is ignored.
  ASSERT_EQ(read(sdo(chain + "<Identifier Other=\"urn:x\" Qualifier=\"no\">text</Identifier>")), 0);
  EXPECT_EQ(*identifierof(*tree->first->datapart->first->element), "urn:x");
  EXPECT_EQ(tree->first->flavour, 1);

  // References are resolved.
  ASSERT_EQ(read(sdo("<Metadata><ValuePair><Description>a &amp; b &#60; &#x3E; &quot;&apos;</Description>"
                     "</ValuePair></Metadata>")),
            0);
  EXPECT_EQ(tree->first->metadata->first->description, "a & b < > \"'");

  // CDATA and character data split across lines join into one text.
  ASSERT_EQ(read(kHead + "<SDO><SignedObject><SignersDocument>QUJD\nREVG<![CDATA[<&>]]>\r\nR0g=</SignersDocument>" +
                 "</SignedObject></SDO>" + kTail),
            0);
  EXPECT_EQ(tree->first->signedobject->signersdocument, "QUJD\nREVG<&>\nR0g=");

  // An element without character data leaves its text absent.
  ASSERT_EQ(read(sdo("<SEIDSDOVersion></SEIDSDOVersion><SignedObject><SignersDocument/></SignedObject>")), 0);
  EXPECT_FALSE(tree->first->version);
  EXPECT_FALSE(tree->first->signedobject->signersdocument);

  // Namespace declarations and other attributes are ignored; so are
  // comments and processing instructions.
  ASSERT_EQ(read("<SDOList xmlns=\"urn:other\" a=\"b\"><!-- c --><?pi x?><SDO x=\"y\"/></SDOList>"), 0);
  EXPECT_TRUE(tree->first);
}

// The data part's identifiers name the flavour and must agree; the seal's,
// always written compliant, say nothing of it.
TEST_F(SdoXmlReader, FlavourFollowsTheDataPartsIdentifiers) {
  const std::string policy = "<SignaturePolicyIdentifier><SignaturePolicyId><SigPolicyId>";
  const std::string chain = kElementOpen + policy;
  const std::string next = "</SigPolicyId></SignaturePolicyId></SignaturePolicyIdentifier></CMSSignatureElement>"
                           "</SignatureElement><SignatureElement><CMSSignatureElement>" +
                           policy;
  const std::string seal = "</SigPolicyId></SignaturePolicyId></SignaturePolicyIdentifier></CMSSignatureElement>"
                           "</SignatureElement></SDODataPart><SDOSeal><SDOSignature><CMSSignatureElement>" +
                           policy;
  const std::string plain = "<Identifier>i</Identifier>", compliant = "<XAdES:Identifier>i</XAdES:Identifier>",
                    qualifier = "<Identifier Qualifier=\"i\"/>", qualified = "<XAdES:Identifier Qualifier=\"i\"/>";
  struct Case {
    std::string identifiers;
    int result;  // the flavour read, or the reader's refusal
  } cases[] = {{"", -1},
               {plain, 0},
               {compliant, -1},
               {qualifier, 1},
               {qualified, 1},
               {plain + next + plain, 0},
               {qualifier + next + qualified, 1},
               {plain + seal + compliant, 0},
               {qualifier + seal + compliant, 1},
               {plain + seal + plain, 0},
               {compliant + seal + qualifier, -1},
               {plain + next + compliant, 34002},
               {compliant + next + plain, 34002},
               {plain + next + qualifier, 34002},
               {qualifier + plain, 34002},
               {compliant + next + compliant + seal + plain, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.identifiers);
    zmrtest::takeRecentError();
    const int rc = read(sdo(chain + c.identifiers));
    if (c.result == 34002) {
      EXPECT_EQ(rc, 34002);
      EXPECT_FALSE(tree);
      EXPECT_EQ(peekRecentError(), "xmltoseidsdo_xmltoseidsdo: The identifiers of the SDO data part mix XML forms.\n");
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(tree->first->flavour, c.result);
  }
  // In the first SDO, whichever SDO the identifier belongs to; across SDOs
  // the forms must agree too.
  const std::string element = chain + plain + "</SigPolicyId></SignaturePolicyId></SignaturePolicyIdentifier>"
                              "</CMSSignatureElement></SignatureElement></SDODataPart></SDO>";
  ASSERT_EQ(read(kHead + "<SDO/><SDO>" + element + kTail), 0);
  EXPECT_EQ(tree->first->flavour, 0);
  EXPECT_EQ(tree->first->next->flavour, -1);
  std::string other = element;
  other.replace(other.find(plain), plain.size(), compliant);
  EXPECT_EQ(read(kHead + "<SDO>" + element + "<SDO>" + other + kTail), 34002);
}

TEST_F(SdoXmlReader, CompliantFlavourDemanded) {
  std::string plain = sdogolden::oneElementDocument(0);
  EXPECT_EQ(read(plain, 0), 34003);
  EXPECT_FALSE(tree);
  EXPECT_EQ(peekRecentError(),
            "xmltoseidsdo_xmltoseidsdo: The SDO must be converted to the compliant format using "
            "ZMR_SDOExtractSignatures/ZMR_CreateDynamicSDO.\n");
  EXPECT_EQ(read(plain, 1), 0);
  // A plain text test: a sealed plain document passes through its seal, and
  // so does the name inside a comment.
  EXPECT_EQ(read(sdogolden::goldens()[3].xml, 0), 0);
  EXPECT_EQ(read(plain.substr(0, plain.size() - kTail.size()) + "<!--XAdES:OCSPValues-->" + kTail, 0), 0);
}

TEST_F(SdoXmlReader, DuplicatesAndListsAreKeptConsistent) {
  // Two SDOs read; the checker refuses them.
  ASSERT_EQ(read(kHead + "<SDO/><SDO/>" + kTail), 0);
  ASSERT_TRUE(tree->first && tree->first->next);
  EXPECT_EQ(seidsdonullandconstraintchecker(session, tree.get()), 18004);

  // An SDOList anywhere empties what came before it.
  ASSERT_EQ(read(kHead + "<SDO><SEIDSDOVersion>x</SEIDSDOVersion><SDOList/></SDO><SDO>" +
                 "<SEIDSDOVersion>y</SEIDSDOVersion></SDO>" + kTail),
            0);
  ASSERT_TRUE(tree->first);
  EXPECT_EQ(tree->first->version, "y");
  EXPECT_FALSE(tree->first->next);

  // A repeated record replaces the first (freed: the leak sanitizer
  // watches); appends go on after it.
  ASSERT_EQ(read(sdo("<SDODataPart><SignatureElement/><SignatureElement/></SDODataPart><SDODataPart>"
                     "<SignatureElement><CMSSignatureElement><SDOProfile>a</SDOProfile></CMSSignatureElement>"
                     "<CMSSignatureElement><SDOProfile>b</SDOProfile></CMSSignatureElement></SignatureElement>"
                     "</SDODataPart><Metadata><ValuePair/></Metadata><Metadata><ValuePair><Name>n</Name>"
                     "</ValuePair><ValuePair><Name>m</Name></ValuePair></Metadata>")),
            0);
  const seidsdo& s = *tree->first;
  ASSERT_TRUE(s.datapart->first && !s.datapart->first->next);
  EXPECT_EQ(s.datapart->first->element->sdoprofile, "b");
  ASSERT_TRUE(s.metadata->first && s.metadata->first->next && !s.metadata->first->next->next);
  EXPECT_EQ(s.metadata->first->name, "n");
  EXPECT_EQ(s.metadata->first->next->name, "m");

  // A repeated text element adds to the text.
  ASSERT_EQ(read(sdo("<SEIDSDOVersion>1.</SEIDSDOVersion><SEIDSDOVersion>0</SEIDSDOVersion>")), 0);
  EXPECT_EQ(tree->first->version, "1.0");

  // Once the seal's SDOSignature is open, element names fill the seal.
  ASSERT_EQ(read(sdo("<SDODataPart><SignatureElement><CMSSignatureElement/></SignatureElement></SDODataPart>"
                     "<SDOSeal><SDOSignature><CMSSignatureElement><SDOProfile>seal</SDOProfile>")),
            0);
  EXPECT_FALSE(tree->first->datapart->first->element->sdoprofile);
  EXPECT_EQ(tree->first->seal->sdosignature->element->sdoprofile, "seal");
}

TEST_F(SdoXmlReader, HostileDocumentsAreRefusedEarly) {
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE SDOList [<!ENTITY l0 \"ha\">";
  for (int i = 1; i <= 20; ++i)
    laughs += "<!ENTITY l" + std::to_string(i) + " \"" +
              [&] {
                std::string r;
                for (int k = 0; k < 10; ++k) r += "&l" + std::to_string(i - 1) + ";";
                return r;
              }() +
              "\">";
  laughs += "]><SDOList><SDO><SEIDSDOVersion>&l20;</SEIDSDOVersion></SDO></SDOList>";
  struct Case {
    const char* name;
    std::string xml;
  };
  const Case cases[] = {
      {"a plain document type", "<!DOCTYPE SDOList><SDOList/>"},
      {"entity expansion", laughs},
      {"external entity", "<!DOCTYPE SDOList SYSTEM \"file:///etc/passwd\"><SDOList>&x;</SDOList>"},
      {"nesting deeper than any SDO", std::string(40, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string xml = c.xml;
    if (xml[0] == '\0') {
      xml.clear();
      for (int i = 0; i < 100000; ++i) xml += "<SDO>";
    }
    EXPECT_EQ(read(xml), 34002);
    EXPECT_FALSE(tree);
    EXPECT_EQ(peekRecentError(), kNotSdoLine);
  }
}

TEST_F(SdoXmlReader, LongTextsAndListsReadWhole) {
  // Line-broken base64 arrives in many pieces; a list of many pairs keeps
  // its order.
  std::string document;
  for (int i = 0; i < 50000; ++i) document += std::string(76, 'A' + i % 26) + "\n";
  auto original = zmrtest::sdoTree({zmrtest::shortTexts()});
  original->first->signedobject = std::make_unique<signedobject>();
  original->first->signedobject->signersdocument = document;
  original->first->metadata = std::make_unique<metadata>();
  std::unique_ptr<valuepair>* pair = &original->first->metadata->first;
  for (int i = 0; i < 20000; ++i, pair = &(*pair)->next) {
    *pair = std::make_unique<valuepair>();
    (*pair)->name = "n" + std::to_string(i);
  }
  std::string xml = writeXml(*original, -1);
  ASSERT_EQ(read(xml), 0);
  EXPECT_EQ(tree->first->signedobject->signersdocument, document);
  EXPECT_EQ(writeXml(*tree, -1), xml);
}

// Expat is fed the text in pieces: references, CR LF and multi-byte
// characters that a piece's end cuts read back whole, at every offset. A
// long text is held in room of its own size, taken once, not regrown.
TEST_F(SdoXmlReader, TextsCutBetweenParsePiecesReadWhole) {
  const std::string unit = "a&b<c>\r\nd\xC3\xA6" "e\xF0\x9F\x98\x80\"'\r]]>";
  for (size_t pad = 0; pad < 64; ++pad) {
    SCOPED_TRACE("pad " + std::to_string(pad));
    std::string document(pad, 'p');
    while (document.size() < 140000) document += unit;
    auto original = zmrtest::sdoTree({zmrtest::shortTexts()});
    original->first->signedobject = std::make_unique<signedobject>();
    original->first->signedobject->signersdocument = document;
    const std::string xml = writeXml(*original, -1);
    ASSERT_EQ(read(xml), 0) << peekRecentError();
    ASSERT_EQ(tree->first->signedobject->signersdocument, document);
    EXPECT_EQ(writeXml(*tree, -1), xml);
  }
  // Just past a doubling of the room: regrowing would hold twice the text.
  std::string document;
  while (document.size() < (size_t{15} << 17)) document += std::string(76, 'B') + "\n";
  auto original = zmrtest::sdoTree({zmrtest::shortTexts()});
  original->first->signedobject = std::make_unique<signedobject>();
  original->first->signedobject->signersdocument = document;
  ASSERT_EQ(read(writeXml(*original, -1)), 0);
  const std::string& text = *tree->first->signedobject->signersdocument;
  EXPECT_EQ(text, document);
  EXPECT_LT(text.capacity(), text.size() + 64);
}

// Room of 32 MiB and more is mapped before it is written, on reading and
// writing: the text around it stays whole, byte for byte.
TEST_F(SdoXmlReader, TextsOfManyMegabytesRoundTrip) {
  std::string document = "a&b\r";
  while (document.size() < (size_t{40} << 20)) document += std::string(76, 'C') + "\n";
  document += "<z>";
  auto original = zmrtest::sdoTree({zmrtest::shortTexts()});
  original->first->signedobject = std::make_unique<signedobject>();
  original->first->signedobject->signersdocument = document;
  const std::string xml = writeXml(*original, -1);
  ASSERT_EQ(read(xml), 0) << peekRecentError();
  const std::string& text = *tree->first->signedobject->signersdocument;
  EXPECT_TRUE(text == document);
  EXPECT_LT(text.capacity(), text.size() + 64);
  EXPECT_TRUE(writeXml(*tree, -1) == xml);
}

TEST_F(SdoXmlReader, SessionMustBeOpen) {
  std::string xml = sdogolden::oneElementDocument(-1);
  EXPECT_EQ(xmltoseidsdo(session + 1, xml, tree, 1), 2009);
  EXPECT_FALSE(tree);
  setlasterror(session, "old\n");
  ASSERT_EQ(read(xml), 0);
  EXPECT_EQ(peekRecentError(), "");  // taken on entry
}

}  // namespace
}  // namespace zmr
