#include "gsm.h"

#include <utility>

namespace zmrtest {

const char32_t kGsmDefaultAlphabet[128] = {
    U'@',    U'\u00A3', U'$',      U'\u00A5', U'\u00E8', U'\u00E9', U'\u00F9', U'\u00EC',  // 0x00
    U'\u00F2', U'\u00C7', U'\n',   U'\u00D8', U'\u00F8', U'\r',     U'\u00C5', U'\u00E5',  // 0x08
    U'\u0394', U'_',    U'\u03A6', U'\u0393', U'\u039B', U'\u03A9', U'\u03A0', U'\u03A8',  // 0x10
    U'\u03A3', U'\u0398', U'\u039E', 0,       U'\u00C6', U'\u00E6', U'\u00DF', U'\u00C9',  // 0x18
    U' ',    U'!',      U'"',      U'#',      U'\u00A4', U'%',      U'&',      U'\'',      // 0x20
    U'(',    U')',      U'*',      U'+',      U',',      U'-',      U'.',      U'/',       // 0x28
    U'0',    U'1',      U'2',      U'3',      U'4',      U'5',      U'6',      U'7',       // 0x30
    U'8',    U'9',      U':',      U';',      U'<',      U'=',      U'>',      U'?',       // 0x38
    U'\u00A1', U'A',    U'B',      U'C',      U'D',      U'E',      U'F',      U'G',       // 0x40
    U'H',    U'I',      U'J',      U'K',      U'L',      U'M',      U'N',      U'O',       // 0x48
    U'P',    U'Q',      U'R',      U'S',      U'T',      U'U',      U'V',      U'W',       // 0x50
    U'X',    U'Y',      U'Z',      U'\u00C4', U'\u00D6', U'\u00D1', U'\u00DC', U'\u00A7',  // 0x58
    U'\u00BF', U'a',    U'b',      U'c',      U'd',      U'e',      U'f',      U'g',       // 0x60
    U'h',    U'i',      U'j',      U'k',      U'l',      U'm',      U'n',      U'o',       // 0x68
    U'p',    U'q',      U'r',      U's',      U't',      U'u',      U'v',      U'w',       // 0x70
    U'x',    U'y',      U'z',      U'\u00E4', U'\u00F6', U'\u00F1', U'\u00FC', U'\u00E0',  // 0x78
};

namespace {

// Accented Latin-1 letters outside the alphabet and the letter they fold to.
constexpr std::pair<char32_t, char32_t> kFolds[] = {
    {U'\u00C0', U'A'}, {U'\u00C1', U'A'}, {U'\u00C2', U'A'}, {U'\u00C3', U'A'}, {U'\u00C8', U'E'},
    {U'\u00CA', U'E'}, {U'\u00CB', U'E'}, {U'\u00CC', U'I'}, {U'\u00CD', U'I'}, {U'\u00CE', U'I'},
    {U'\u00CF', U'I'}, {U'\u00D2', U'O'}, {U'\u00D3', U'O'}, {U'\u00D4', U'O'}, {U'\u00D5', U'O'},
    {U'\u00D9', U'U'}, {U'\u00DA', U'U'}, {U'\u00DB', U'U'}, {U'\u00DD', U'Y'}, {U'\u00E1', U'a'},
    {U'\u00E2', U'a'}, {U'\u00E3', U'a'}, {U'\u00E7', U'\u00C7'}, {U'\u00EA', U'e'}, {U'\u00EB', U'e'},
    {U'\u00ED', U'i'}, {U'\u00EE', U'i'}, {U'\u00EF', U'i'}, {U'\u00F3', U'o'}, {U'\u00F4', U'o'},
    {U'\u00F5', U'o'}, {U'\u00FA', U'u'}, {U'\u00FB', U'u'}, {U'\u00FD', U'y'}, {U'\u00FF', U'y'},
};

int codeOf(char32_t c) {
  for (int i = 0; i < 128; ++i) {
    if (kGsmDefaultAlphabet[i] == c && i != 0x1B) return i;
  }
  return -1;
}

}  // namespace

int gsmCode(unsigned char latin1) {
  const char32_t c = latin1;  // Latin-1 is the first 256 code points
  if (c == U'"' || c == U'\'') return -1;
  if (int code = codeOf(c); code >= 0) return code;
  for (auto [from, to] : kFolds) {
    if (from == c) return codeOf(to);
  }
  return -1;
}

std::string toGsm(const std::string& latin1) {
  std::string out;
  for (unsigned char c : latin1) {
    if (int code = gsmCode(c); code >= 0) out.push_back(static_cast<char>(code));
  }
  return out;
}

std::string mobileSigningBytes(const std::string& latin1, bool framed) {
  return (framed ? std::string("\x00\x04", 2) : std::string()) + toGsm(latin1);
}

}  // namespace zmrtest
