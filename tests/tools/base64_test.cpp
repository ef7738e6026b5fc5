#include "tools/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>

#include "store/threadstore.h"

namespace zmr {
namespace {

std::string decoded(std::string_view text, int* code) {
  std::vector<unsigned char> out;
  *code = decodebase64(-1, text, out);
  return std::string(out.begin(), out.end());
}

// The whole text decoded in one call: the verdict, and the bytes in bytes.
bool whole(std::string_view text, std::string& bytes) {
  std::vector<unsigned char> out(base64_decodedroom(text));
  size_t n = 0;
  bool ok = base64_decodeto(text, out.data(), n);
  bytes.assign(out.begin(), out.begin() + static_cast<long>(n));
  return ok;
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

TEST(Base64, EncodesEveryLengthAndByteAsOpenSsl) {
  std::string bytes;
  uint32_t x = 7;
  for (int k = 0; k < 300; ++k) {
    x = x * 1103515245u + 12345u;
    bytes.push_back(static_cast<char>(k < 256 ? k : x >> 16));
  }
  for (size_t n = 1; n <= bytes.size(); ++n) {
    std::string want(4 * ((n + 2) / 3) + 1, '\0');
    want.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(want.data()),
                                                    reinterpret_cast<const unsigned char*>(bytes.data()),
                                                    static_cast<int>(n))));
    std::string out;
    ASSERT_EQ(encodebase64(0, std::string_view(bytes).substr(0, n), out), 0);
    ASSERT_EQ(out, want) << n;
  }
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

// Cut anywhere, once or into single characters, a text decodes in pieces
// as it does whole: the same verdict and the same bytes.
TEST(Base64, PiecesDecodeAsTheWhole) {
  std::string longer;
  ASSERT_EQ(encodebase64(0, std::string(100, '\x5a') + "xy", longer), 0);
  const std::string_view texts[] = {
      "YWJj", "YQ==", "YWI=", "YW\r\nJj", " Y W J j \n", "YQ", "YQ=", "YQ===", "Y===", "=YWJ", "YQ==YWJj",
      "YW*j", "YR==", "YWI=\r\n", "YW I=", "YQ= =", "YQ=\n=", "\r\n", longer, "YWJjZA==", "YWJjZA",
  };
  auto pieces = [](std::string_view text, const std::vector<size_t>& cuts, std::string& bytes) {
    Base64Decoding state;
    bytes.clear();
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      std::string_view piece = text.substr(from, (i < cuts.size() ? cuts[i] : text.size()) - from);
      std::vector<unsigned char> out(base64_decodedroom(piece));
      size_t n = 0;
      if (!base64_decodepiece(state, piece, out.data(), n)) return false;
      bytes.append(out.begin(), out.begin() + static_cast<long>(n));
      from += piece.size();
    }
    unsigned char end[2];
    size_t n = 0;
    if (!base64_decodeend(state, end, n)) return false;
    bytes.append(end, end + n);
    return true;
  };
  for (std::string_view text : texts) {
    std::string expected, got;
    const bool ok = whole(text, expected);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      EXPECT_EQ(pieces(text, {cut}, got), ok) << text << " cut at " << cut;
      if (ok) {
        EXPECT_EQ(got, expected) << text << " cut at " << cut;
      }
    }
    std::vector<size_t> everywhere;
    for (size_t i = 1; i < text.size(); ++i) everywhere.push_back(i);
    EXPECT_EQ(pieces(text, everywhere, got), ok) << text << " in single characters";
    if (ok) {
      EXPECT_EQ(got, expected) << text << " in single characters";
    }
  }
}

// Long texts decode many characters at a step; whatever one character
// holds, at a block's start, middle or end, the verdict and the bytes are
// those of the same text fed a character at a time.
TEST(Base64, EveryByteInALongTextJudgedAsCharacterByCharacter) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string base = alphabet + alphabet + alphabet.substr(0, 40);
  auto bycharacter = [](std::string_view text, std::string& bytes) {
    Base64Decoding state;
    bytes.clear();
    unsigned char out[4];
    size_t n = 0;
    for (char c : text) {
      if (!base64_decodepiece(state, std::string_view(&c, 1), out, n)) return false;
      bytes.append(out, out + n);
    }
    if (!base64_decodeend(state, out, n)) return false;
    bytes.append(out, out + n);
    return true;
  };
  std::string expected, got;
  ASSERT_TRUE(bycharacter(base, expected));
  ASSERT_TRUE(whole(base, got));
  EXPECT_EQ(got, expected);
  for (size_t at : {0, 1, 3, 4, 17, 31, 32, 33, 63, 64, 95, 96, 120, 167}) {
    for (int value = 0; value < 256; ++value) {
      std::string text = base;
      text[at] = static_cast<char>(value);
      const bool ok = bycharacter(text, expected);
      EXPECT_EQ(whole(text, got), ok) << "byte " << value << " at " << at;
      if (ok) {
        EXPECT_EQ(got, expected) << "byte " << value << " at " << at;
      }
    }
  }
  // Padding and line breaks after whole blocks.
  for (std::string tail : {"QQ==", "QUI=", "\r\nQUJD", "QQ==\n", "QQ=", "Q", "QQ==QUJD"}) {
    const std::string text = base.substr(0, 128) + tail;
    const bool ok = bycharacter(text, expected);
    EXPECT_EQ(whole(text, got), ok) << tail;
    if (ok) {
      EXPECT_EQ(got, expected) << tail;
    }
  }
}

}  // namespace
}  // namespace zmr
