#include "tools/base64.h"

#include <gtest/gtest.h>

#include <string>

#include "store/threadstore.h"

namespace zmr {
namespace {

std::string decoded(std::string_view text, int* code) {
  std::vector<unsigned char> out;
  *code = decodebase64(-1, text, out);
  return std::string(out.begin(), out.end());
}

TEST(Base64, EncodesPaddingAndOneLine) {
  std::string out;
  EXPECT_EQ(encodebase64(0, "a", out), 0);
  EXPECT_EQ(out, "YQ==");
  EXPECT_EQ(encodebase64(0, "ab", out), 0);
  EXPECT_EQ(out, "YWI=");
  EXPECT_EQ(encodebase64(0, "abc", out), 0);
  EXPECT_EQ(out, "YWJj");
  std::string hundred(100, '\xff');
  EXPECT_EQ(encodebase64(0, hundred, out), 0);
  EXPECT_EQ(out.size(), 136u);
  EXPECT_EQ(out.find('\n'), std::string::npos);
}

TEST(Base64, EmptyInputFailsBothWays) {
  std::optional<std::string> err;
  getlasterror(0, err);
  std::string out;
  EXPECT_EQ(encodebase64(0, "", out), 21001);
  int code;
  decoded("", &code);
  EXPECT_EQ(code, 21002);
  getlasterror(0, err);
  ASSERT_TRUE(err);
  EXPECT_EQ(*err,
            "base64_encodebase64: Unable to base64 encode data.\n"
            "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n");
}

TEST(Base64, DecodeTable) {
  struct Case {
    std::string text;
    int code;
    std::string bytes;
  } cases[] = {
      {"YWJj", 0, "abc"},
      {"YQ==", 0, "a"},
      {"YWI=", 0, "ab"},
      {"YW\r\nJj", 0, "abc"},
      {" Y W J j \n", 0, "abc"},
      {"YQ", 21002, ""},           // incomplete final group
      {"YQ=", 21002, ""},          // short padding
      {"YQ===", 21002, ""},        // too much padding
      {"Y===", 21002, ""},         // padding too early
      {"=YWJ", 21002, ""},         // leading padding
      {"YQ==YWJj", 21002, ""},     // data after padding
      {"YW*j", 21002, ""},         // invalid character
      {"YR==", 21002, ""},         // padded bits not zero
      {"YWJ\0j", 21002, ""},       // embedded NUL is not a blank
      {"\r\n", 21002, ""},         // decodes to nothing
  };
  for (const auto& c : cases) {
    int code;
    std::string got = decoded(c.text, &code);
    EXPECT_EQ(code, c.code) << c.text;
    EXPECT_EQ(got, c.bytes) << c.text;
  }
  int code;
  EXPECT_EQ(decoded(std::string_view("YWJ\0j", 5), &code), "");
  EXPECT_EQ(code, 21002);
}

TEST(Base64, LongLinesAndBrokenLinesDecodeWhole) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data.push_back(static_cast<char>(i * 7));
  std::string text;
  ASSERT_EQ(encodebase64(0, data, text), 0);
  ASSERT_EQ(text.size(), 4000u);
  int code;
  EXPECT_EQ(decoded(text + "\n", &code), data);
  EXPECT_EQ(code, 0);
  std::string broken;
  for (size_t i = 0; i < text.size(); i += 64) broken += text.substr(i, 64) + "\r\n";
  EXPECT_EQ(decoded(broken, &code), data);
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace zmr
