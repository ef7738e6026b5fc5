#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// The encoder byte by byte, as the form writer had it: what the block-wise
// one must give for every byte at every place in a block.
std::string bytewiseurlencode(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
        c == '*' || c == '_') {
      out.push_back(ch);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

TEST(UrlEncode, EveryByteAtEveryPlaceAsByteWise) {
  std::vector<std::string> texts;
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  texts.push_back(all);
  std::string reversed(all.rbegin(), all.rend());
  texts.push_back(reversed + reversed);
  for (int c = 0; c < 256; ++c) {
    for (size_t at = 0; at < 35; ++at) {
      std::string t(35, 'q');
      t[at] = static_cast<char>(c);
      texts.push_back(t.substr(0, at + 1));
      texts.push_back(t);
    }
  }
  std::string mixed;
  uint32_t x = 12345;
  for (int k = 0; k < 100000; ++k) {
    x = x * 1103515245u + 12345u;
    const unsigned char c = static_cast<unsigned char>(x >> 16);
    mixed.push_back(static_cast<char>(c % 5 == 0 ? c : 'A' + c % 26));
  }
  texts.push_back(mixed);
  for (const std::string& t : texts) {
    std::string out = "left over";
    ASSERT_EQ(http_urlencode(t, out), 0);
    ASSERT_EQ(out, bytewiseurlencode(t)) << testing::PrintToString(t);
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
      {"a", "A=1&a=2&a=3", "1"},              // the first, whatever its case
      {"a", "b=1&&a=x+y%41z&a=3", "x yAz"},
      {"a", "a=%4&b=1", std::nullopt},        // an escape cut by the field's end
      {"a", "a=x%\r\n", std::nullopt},
      {"a", "a=" + std::string(5000, 'Q') + "%2B&b", std::string(5000, 'Q') + "+"},
      {"b", "a=" + std::string(5000, 'Q') + "&b=%2b", "+"},
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
