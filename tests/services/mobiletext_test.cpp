// Latin-1 text converted for phones, against the GSM 03.38 default
// alphabet as the tests write it (support/gsm.h), with the library's
// deviations: the double quote and the apostrophe dropped, accented letters
// folded, ç to Ç.
#include <gtest/gtest.h>

#include <string>

#include "services/mobile/mobiletext.h"
#include "support/gsm.h"

namespace zmr {
namespace {

std::string convert(const std::string& text, std::optional<std::string_view> flag) {
  std::string out;
  EXPECT_EQ(0, preparetextformobile(0, text, out, flag));
  return out;
}

std::string convertAuth(const std::string& text, const std::string& header, std::optional<std::string_view> flag) {
  std::string out;
  EXPECT_EQ(0, preparetextformobileauth(0, text, header, out, flag));
  return out;
}

TEST(MobileText, EveryLatin1ByteAsTheAlphabetHasIt) {
  int mapped = 0;
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string one(1, static_cast<char>(b));
    const int code = zmrtest::gsmCode(static_cast<unsigned char>(b));
    EXPECT_EQ(code < 0 ? std::string() : std::string(1, static_cast<char>(code)), convert(one, std::nullopt));
    EXPECT_EQ(code < 0 ? kGsmDropped : code, latin2gsm(static_cast<unsigned char>(b)));
    if (code >= 0) ++mapped;
  }
  // Letters and digits, the ASCII controls and punctuation of the alphabet
  // (LF, CR, space and 21 signs), the Latin-1 characters it has, and those
  // folded.
  EXPECT_EQ(62 + 24 + 29 + 35, mapped);
}

TEST(MobileText, TheDeviationsFromTheAlphabet) {
  EXPECT_EQ("", convert("\"'", std::nullopt));  // in the alphabet, dropped all the same
  EXPECT_EQ("AEIOUYaeiouy\x09", convert("\xC1\xCA\xCF\xD4\xDA\xDD\xE3\xEB\xED\xF5\xFB\xFF\xE7", std::nullopt));
  EXPECT_EQ("", convert("[\\]^{|}~`\x7F\x80\xA0\xA2\xA6\xA9\xD0\xD7\xDE\xF0\xF7\xFE", std::nullopt));
  EXPECT_EQ(std::string("\x00\x02\x11\x0A\x0D", 5), convert("@$_\n\r", std::nullopt));
}

TEST(MobileText, TheFramesAndTheFlag) {
  // H\xF4tel followed by a double quote: o folded, the quote dropped.
  EXPECT_EQ("Hotel", convert("H\xF4tel\"", std::nullopt));
  EXPECT_EQ(std::string("\x00\x04", 2), convert("", "TRUE"));
  EXPECT_EQ("\x06" "AB\x04ok", convertAuth("ok", "AB", "true"));
  // Anything but "true" in some case is false; so is no flag.
  for (std::optional<std::string_view> flag : {std::optional<std::string_view>(), std::optional<std::string_view>("false"),
                                                std::optional<std::string_view>("yes"), std::optional<std::string_view>("")}) {
    EXPECT_EQ("ok", convertAuth("ok", "AB", flag));
    EXPECT_EQ(std::string("\x00", 1) + "ok", convert("@ok", flag));
  }
  // Framed text keeps the code of "@", a zero byte, by its count.
  EXPECT_EQ(std::string("\x00\x04\x00x\x00", 5), convert("@x@", "True"));
  EXPECT_EQ(zmrtest::mobileSigningBytes("Betal til post@h\xF4tel.example", true),
            convert("Betal til post@h\xF4tel.example", "true"));
}

TEST(MobileText, AMobileTextEndsAtItsFirstZeroByte) {
  EXPECT_EQ("abc", mobiletext(std::string_view("abc\0def", 7)));
  EXPECT_EQ("", mobiletext(std::string_view("\0abc", 4)));
  EXPECT_EQ("abc", mobiletext("abc"));
}

}  // namespace
}  // namespace zmr
