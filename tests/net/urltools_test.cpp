#include <gtest/gtest.h>

#include <string>

#include "net/http_lib.h"

namespace zmr {
namespace {

TEST(UrlEncode, KeepsUnreservedAndEscapesTheRest) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a b&c", "a+b%26c"},
      {"AZaz09.-*_", "AZaz09.-*_"},
      {"x y&z=\xe9", "x+y%26z%3D%E9"},
      {std::string("\0\n~/+%", 6), "%00%0A%7E%2F%2B%25"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(http_urlencode(c.in, out), 0);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(UrlDecode, Table) {
  struct Case {
    std::string in;
    int code;
    std::string out;
  } cases[] = {
      {"a+b%26c", 0, "a b&c"},
      {"v+w%21", 0, "v w!"},
      {"%e9%E9", 0, "\xe9\xe9"},
      {"", 0, ""},
      {"100%", 1, ""},    // nothing after %
      {"%4", 1, ""},      // one digit
      {"%zz", 1, ""},     // not hexadecimal
      {"%4g", 1, ""},
      {"a%00b", 1, ""},   // a NUL would silently cut the text
      {std::string("a\0b", 3), 1, ""},
      {"%%41", 1, ""},
  };
  for (const Case& c : cases) {
    std::string out = "junk";
    EXPECT_EQ(http_urldecode(c.in, out), c.code) << c.in;
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(UrlDecode, UndoesEncodeForEveryByteButNul) {
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  std::string enc, dec;
  ASSERT_EQ(http_urlencode(all, enc), 0);
  ASSERT_EQ(http_urldecode(enc, dec), 0);
  EXPECT_EQ(dec, all);
}

TEST(ParseUrl, Table) {
  struct Case {
    std::string url, host;
    int port;
    std::string path;
  } cases[] = {
      {"https://srv/a/b?c=d", "srv", 443, "/a/b?c=d"},
      {"http://srv:8080", "srv", 8080, "/"},
      {"HTTPS://srv:1/x", "srv", 1, "/x"},
      {"ftp://srv/x", "srv", 0, "/x"},
      {"srv:99/p", "srv", 99, "/p"},
      {"https://srv:/p", "srv", -1, "/p"},         // empty port is refused later
      {"https://srv:8x/p", "srv", -1, "/p"},
      {"https://srv:65536/p", "srv", -1, "/p"},
      {"https://srv:99999999999999999999/p", "srv", -1, "/p"},
      {"https:///p", "", 443, "/p"},
  };
  for (const Case& c : cases) {
    std::string host, path;
    int port = 7;
    http_parse_url(c.url, host, port, path);
    EXPECT_EQ(host, c.host) << c.url;
    EXPECT_EQ(port, c.port) << c.url;
    EXPECT_EQ(path, c.path) << c.url;
  }
}

TEST(FindValue, Table) {
  struct Case {
    std::string key, form;
    std::optional<std::string> value;
  } cases[] = {
      {"statusCode", "x=1&StatusCode=0%21&y=2", "0!"},
      {"statusCode", "statusCode=0", "0"},
      {"statusCode", "x=1\r\nstatusCode=0", std::nullopt},  // only at the start or after &
      {"a", "a=1\r\nb=2", "1"},
      {"a", std::string("a=1\0b", 5), "1"},
      {"a", "a=x\fy", "x"},
      {"a", "b=1&a=", ""},
      {"a", "b=1&", std::nullopt},
      {"a", "", std::nullopt},
      {"a", "ab=1&a=2", "2"},
      {"a", "a=%zz", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(http_find_value(c.key, c.form), c.value) << c.form;
  }
}

TEST(HttpErrors, FixedTexts) {
  EXPECT_STREQ(http_get_error(35000), "200 OK");
  EXPECT_STREQ(http_get_error(35011), "Connection error");
  EXPECT_STREQ(http_get_error(35014), "Connection timed out");
  EXPECT_STREQ(http_get_error(35016), "Error cleaning up");
  EXPECT_STREQ(http_get_error(34999), "Error code not implemented! Do it NOW!\n");
  EXPECT_STREQ(http_get_error(35017), "Error code not implemented! Do it NOW!\n");
}

TEST(HttpTimeLimit, NoneMeansTheDefaultNeverUnlimited) {
  EXPECT_EQ(http_effectivetimeoutms(0), 60000);
  EXPECT_EQ(http_effectivetimeoutms(-5), 60000);
  EXPECT_EQ(http_effectivetimeoutms(15), 15000);
}

}  // namespace
}  // namespace zmr
