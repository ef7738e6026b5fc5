#include "net/stringmap.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

using Pairs = std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>;

Pairs pairsof(const stringmap& m) {
  Pairs out;
  for (const element& e : m.elements) out.emplace_back(e.key, e.value);
  return out;
}

TEST(StringMap, OrderDuplicatesAndCaseSensitiveLookup) {
  stringmap m = createstringmapwithvalues("b", "2");
  ASSERT_EQ(addelement(m, "a", "1"), 0);
  ASSERT_EQ(addelement(m, "b", "3"), 0);
  ASSERT_EQ(addelement(m, "Key", "K"), 0);
  std::string out;
  EXPECT_EQ(tourlencodedstring(&m, out), 0);
  EXPECT_EQ(out, "b=2&a=1&b=3&Key=K");
  EXPECT_EQ(getrawelementvalue(&m, "b", out), 0);
  EXPECT_EQ(out, "2");
  EXPECT_EQ(getrawelementvalue(&m, "key", out), 41000);
  EXPECT_EQ(getrawelementvalue(nullptr, "b", out), 41000);
  EXPECT_EQ(getelement(&m, "key"), nullptr);
  EXPECT_EQ(*getlastelement(m)->key, "Key");

  EXPECT_EQ(updateelement(m, "b", "two"), 0);
  EXPECT_EQ(updateelementkeyandvalue(m, "a", "A", "one"), 0);
  EXPECT_EQ(updateelement(m, "zz", "x"), 41000);
  EXPECT_EQ(updateelementkeyandvalue(m, "zz", "y", "x"), 41000);
  EXPECT_EQ(tologstring(&m, out), 0);
  EXPECT_EQ(out, "[b=two][A=one][b=3][Key=K]");
}

TEST(StringMap, Renderings) {
  stringmap m = createstringmapwithvalues("k", "x y&z=\xe9");
  std::string out;
  EXPECT_EQ(tourlencodedstring(&m, out), 0);
  EXPECT_EQ(out, "k=x+y%26z%3D%E9");
  EXPECT_EQ(tologstring(&m, out), 0);
  EXPECT_EQ(out, "[k=x y&z=\xe9]");
  EXPECT_EQ(getelementvalue(&m, "k", out), 0);
  EXPECT_EQ(out, "x+y%26z%3D%E9");

  stringmap two = createstringmapwithvalues("a", "1");
  ASSERT_EQ(addelement(two, "b", "2"), 0);
  struct Case {
    std::string separator, joined;
  } cases[] = {{",", "a=1,b=2"}, {"", "a=1b=2"}, {" | and | ", "a=1 | and | b=2"}};
  for (const Case& c : cases) {
    EXPECT_EQ(tostring(&two, c.separator, out), 0);
    EXPECT_EQ(out, c.joined) << c.separator;
  }
  // Keys may hold any byte: they are encoded too.
  stringmap odd = createstringmapwithvalues("a&b c", "");
  EXPECT_EQ(tourlencodedstring(&odd, out), 0);
  EXPECT_EQ(out, "a%26b+c=");

  for (auto render : {+[](std::string& o) { return tologstring(nullptr, o); },
                      +[](std::string& o) { return tostring(nullptr, ",", o); },
                      +[](std::string& o) { return tourlencodedstring(nullptr, o); }}) {
    out = "junk";
    EXPECT_EQ(render(out), 0);
    EXPECT_EQ(out, "");
  }
}

TEST(StringMap, ParserTable) {
  struct Case {
    std::string text;
    Pairs pairs;
  } cases[] = {
      {"a=1&b=&=3&c=x%3Dy", {{"a", "1"}, {"b", ""}, {"", "3"}, {"c", "x=y"}}},
      {"a&b=c", {{"a&b", "c"}}},
      {"k=v+w%21", {{"k", "v w!"}}},
      {"k=a=b", {{"k", "a=b"}}},
      {"k%26=%3D", {{"k&", "="}}},
      {"a=1&", {{"a", "1"}}},
      {"a=1&b", {{"a", "1"}, {"b", ""}}},
      {"noequals", {{"noequals", ""}}},
      {"", {{"", ""}}},
      {"=", {{"", ""}}},
      // Undecodable parts stay absent.
      {"a=%zz&b%0=2&c=%00", {{"a", std::nullopt}, {std::nullopt, "2"}, {"c", std::nullopt}}},
      {"k=100%", {{"k", std::nullopt}}},
  };
  for (const Case& c : cases) {
    stringmap m;
    ASSERT_EQ(createstringmap(c.text, "", 0, m), 0) << c.text;
    EXPECT_EQ(pairsof(m), c.pairs) << c.text;
  }
}

TEST(StringMap, IncompleteElementsAreSkippedEverywhere) {
  stringmap m;
  ASSERT_EQ(createstringmap("x=%zz&a=1&b%g=2&c=3", "", 0, m), 0);
  std::string out;
  EXPECT_EQ(tourlencodedstring(&m, out), 0);
  EXPECT_EQ(out, "a=1&c=3");
  EXPECT_EQ(tologstring(&m, out), 0);
  EXPECT_EQ(out, "[a=1][c=3]");
  EXPECT_EQ(tostring(&m, "&", out), 0);
  EXPECT_EQ(out, "a=1&c=3");
  EXPECT_EQ(getrawelementvalue(&m, "x", out), 41000);
  EXPECT_EQ(getelementvalue(&m, "x", out), 41000);
  EXPECT_EQ(getrawelementvalue(&m, "c", out), 0);
  EXPECT_EQ(out, "3");
}

TEST(StringMap, DecodeFlagParsesTheValueOfOneField) {
  stringmap m;
  ASSERT_EQ(createstringmap("data=a%3D1%26b%3Dx%2By", "", 1, m), 0);
  EXPECT_EQ(pairsof(m), (Pairs{{"a", "1"}, {"b", "x y"}}));
  EXPECT_EQ(createstringmap("data=%zz", "", 1, m), 1);
  EXPECT_EQ(createstringmap("nofield", "", 1, m), 1);
}

TEST(StringMap, RenderedFormParsesBack) {
  stringmap m = createstringmapwithvalues("a b", "x&y=z%");
  ASSERT_EQ(addelement(m, "", "\xff\x01"), 0);
  ASSERT_EQ(addelement(m, "c", ""), 0);
  std::string text;
  ASSERT_EQ(tourlencodedstring(&m, text), 0);
  stringmap back;
  ASSERT_EQ(createstringmap(text, "", 0, back), 0);
  EXPECT_EQ(pairsof(back), pairsof(m));
}

class InfoItemToMap : public ::testing::Test {
 protected:
  void SetUp() override {
    session = zmrtest::openStoreSession();
    std::optional<std::string> e;
    getlasterror(session, e);
  }
  void TearDown() override { freesession(session); }
  int session = -1;
};

TEST_F(InfoItemToMap, PresentAbsentMandatory) {
  ASSERT_EQ(pushinfoitem(session, "Locale", "no_NO"), 0);
  stringmap m = createstringmapwithvalues("first", "1");
  EXPECT_EQ(add_infoitem_to_map(session, m, "locale", "en_GB", 1), 0);  // item wins over default
  EXPECT_EQ(add_infoitem_to_map(session, m, "absent", std::nullopt, 0), 0);
  EXPECT_EQ(add_infoitem_to_map(session, m, "withdefault", "d", 1), 0);
  EXPECT_EQ(peeklasterror(), nullptr);
  EXPECT_EQ(add_infoitem_to_map(session, m, "required", std::nullopt, 1), 41001);
  EXPECT_EQ(pairsof(m), (Pairs{{"first", "1"}, {"locale", "no_NO"}, {"withdefault", "d"}}));
  ASSERT_NE(peeklasterror(), nullptr);
  EXPECT_EQ(*peeklasterror(),
            "initsession::add_infoitem_to_map: Infoitem not found and no default value for mandatory "
            "parameter.\n");
}

TEST_F(InfoItemToMap, StoreFailurePassesThrough) {
  stringmap m = createstringmapwithvalues("first", "1");
  EXPECT_EQ(add_infoitem_to_map(-1, m, "x", "d", 0), 2009);
  ASSERT_NE(peeklasterror(), nullptr);
  EXPECT_EQ(*peeklasterror(), "initsession::add_infoitem_to_map: Error attempting to fetch infoitem from sessionstore.\n");
  EXPECT_EQ(m.elements.size(), 1u);
}

}  // namespace
}  // namespace zmr
