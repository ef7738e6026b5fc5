// The XML writer against documents written out by hand, its sizes, the
// signable text, escaping, and xmllint's view of what it writes.
#include <gtest/gtest.h>

#include "signedobjects/seid/seidsdo.h"
#include "signedobjects/sdogoldens.h"
#include "support/sdotrees.h"
#include "support/tempdir.h"

namespace zmr {
namespace {

using zmrtest::writeXml;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(SdoXmlWriter, GoldenDocuments) {
  for (const sdogolden::Golden& g : sdogolden::goldens()) EXPECT_EQ(writeXml(*g.tree, g.flavour), g.xml) << g.name;
}

TEST(SdoXmlWriter, OneElementSizes) {
  auto tree = zmrtest::sdoTree({zmrtest::shortTexts()});
  // The size the writer computes: declaration, SDOList start tag, the SDO
  // (version in its tags), the data part with 651 characters of markup per
  // element and its seven texts, end tags, terminator.
  size_t computed = 38 + 215 + 38 + 3 + 13 + (651 + 1 + 1 + 1 + 2 + 2 + 1 + 1) + 14 + 6 + 10 + 1;
  EXPECT_EQ(writeXml(*tree, -1).size(), computed - 1);
  EXPECT_EQ(writeXml(*tree, -1).size(), 997u);
  EXPECT_EQ(writeXml(*tree, 0).size(), 952u);
  EXPECT_EQ(writeXml(*tree, 1).size(), 953u);
  EXPECT_EQ(writeXml(*tree, 7), writeXml(*tree, 1));  // any other value is flavour 1
}

TEST(SdoXmlWriter, SignableTextIsTheDocumentsDataPart) {
  for (const sdogolden::Golden& g : sdogolden::goldens()) {
    SCOPED_TRACE(g.name);
    std::string signable;
    ASSERT_EQ(seidsdodataparttosignable(0, *g.tree->first->datapart, signable, g.flavour), 0);
    size_t from = g.xml.find("<SDODataPart>");
    size_t to = g.xml.find("</SDODataPart>") + std::string("</SDODataPart>").size();
    EXPECT_EQ(signable, g.xml.substr(from, to - from));
    EXPECT_EQ(get_signable_datapart_len(*g.tree->first->datapart, g.flavour), signable.size());
  }
  auto empty = zmrtest::sdoTree({});
  std::string signable;
  ASSERT_EQ(seidsdodataparttosignable(0, *empty->first->datapart, signable, -1), 0);
  EXPECT_EQ(signable, "<SDODataPart></SDODataPart>");
}

// Every text at once holding the five markup characters, or "X".
std::unique_ptr<seidsdocell> allTexts(const std::string& t) {
  zmrtest::SdoElementTexts texts{t, t, t, t, t, t, t};
  auto tree = zmrtest::sdoTree({texts, texts}, texts, t);
  zmrtest::addPair(*tree, t, t, t);
  tree->first->signedobject = std::make_unique<signedobject>();
  tree->first->signedobject->signersdocument = t;
  return tree;
}

TEST(SdoXmlWriter, EscapesEveryTextAndAttributeValue) {
  for (int flavour : {-1, 0, 1}) {
    SCOPED_TRACE(flavour);
    std::string xml = writeXml(*allTexts(sdogolden::kMarkupChars), flavour);
    // 7 texts in each of three elements, the version, three in the pair,
    // the document.
    EXPECT_EQ(count(xml, sdogolden::kMarkupEscaped), 26u);
    std::string plain = xml;
    for (size_t at; (at = plain.find(sdogolden::kMarkupEscaped)) != std::string::npos;)
      plain.replace(at, sdogolden::kMarkupEscaped.size(), "X");
    EXPECT_EQ(plain, writeXml(*allTexts("X"), flavour));
  }
}

TEST(SdoXmlWriter, XmllintAcceptsEveryOutput) {
  std::string dir = zmrtest::makeTempDir("sdoxmllint");
  std::string files;
  int n = 0;
  auto add = [&](const std::string& xml) {
    std::string path = dir + "/doc" + std::to_string(n++) + ".xml";
    ASSERT_TRUE(zmrtest::writeFile(path, xml));
    files += " " + path;
  };
  for (const sdogolden::Golden& g : sdogolden::goldens()) add(g.xml);
  for (int flavour : {-1, 0, 1}) {
    add(writeXml(*allTexts(sdogolden::kMarkupChars), flavour));
    add(writeXml(*allTexts(""), flavour));
    add(writeXml(*zmrtest::sdoTree({zmrtest::realisticTexts()}), flavour));
  }
  std::string output;
  EXPECT_EQ(zmrtest::runCommand("xmllint --noout" + files + " 2>&1", &output), 0) << output;
}

}  // namespace
}  // namespace zmr
