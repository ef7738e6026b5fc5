// Character conversions and the certificate text, which have no exported
// function of their own.
#include <gtest/gtest.h>

#include "services/items/itemsops.h"
#include "store/sessionstore.h"
#include "support/storesession.h"

namespace zmr {
namespace {

struct TextServices : ::testing::Test {
  void SetUp() override { session = zmrtest::openStoreSession(); }
  void TearDown() override { freeSessions(); }
  int session = -1;
};

TEST_F(TextServices, Latin1ToUtf8) {
  std::string out;
  struct {
    std::string in, out;
  } cases[] = {{"\xe5", "\xc3\xa5"}, {"\xa0", "\xc2\xa0"}, {"", ""}, {"abc\xff", "abc\xc3\xbf"}};
  for (const auto& c : cases) {
    ASSERT_EQ(latin1toutf8(session, c.in, out), 0);
    EXPECT_EQ(out, c.out);
  }
  EXPECT_EQ(latin1toutf8(session + 1, "a", out), 2009);
}

TEST_F(TextServices, Utf8ToLatin1) {
  std::string out;
  struct {
    std::string in, out;
  } cases[] = {
      {"\xc3\xa5", "\xe5"},
      {"\xc2\xa0", "\xa0"},
      {"\xe2\x82\xac", "?"},          // euro sign
      {"\xf0\x9f\x98\x80x", "?x"},    // four-byte character
      {"\xc5\x93", "?"},              // outside ISO 8859-1
      {"a\xe2\x82", "a?"},            // cut short: never read past the text
      {"a\xc3", "a?"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(utf8tolatin1(session, c.in, out), 0);
    EXPECT_EQ(out, c.out);
  }
}

TEST_F(TextServices, CertificateTextNeedsTheCertificate) {
  std::string out;
  EXPECT_EQ(getcertificate(session, 0, out), 2043);
  EXPECT_EQ(getcertificate(session, 1, out), 2041);
}

}  // namespace
}  // namespace zmr
