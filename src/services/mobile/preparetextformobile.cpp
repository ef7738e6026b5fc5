#include <array>
#include <cstring>
#include <utility>

#include "services/mobile/mobiletext.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

// Latin-1 bytes outside ASCII's letters and digits with their GSM code.
constexpr std::pair<unsigned char, unsigned char> kMapped[] = {
    // control bytes and punctuation of the alphabet
    {'\n', 0x0A},
    {'\r', 0x0D},
    {' ', 0x20},
    {'!', 0x21},
    {'#', 0x23},
    {'$', 0x02},
    {'%', 0x25},
    {'&', 0x26},
    {'(', 0x28},
    {')', 0x29},
    {'*', 0x2A},
    {'+', 0x2B},
    {',', 0x2C},
    {'-', 0x2D},
    {'.', 0x2E},
    {'/', 0x2F},
    {':', 0x3A},
    {';', 0x3B},
    {'<', 0x3C},
    {'=', 0x3D},
    {'>', 0x3E},
    {'?', 0x3F},
    {'@', 0x00},
    {'_', 0x11},
    // Latin-1 characters of the alphabet
    {0xA1, 0x40},
    {0xA3, 0x01},
    {0xA4, 0x24},
    {0xA5, 0x03},
    {0xA7, 0x5F},
    {0xBF, 0x60},
    {0xC4, 0x5B},
    {0xC5, 0x0E},
    {0xC6, 0x1C},
    {0xC7, 0x09},
    {0xC9, 0x1F},
    {0xD1, 0x5D},
    {0xD6, 0x5C},
    {0xD8, 0x0B},
    {0xDC, 0x5E},
    {0xDF, 0x1E},
    {0xE0, 0x7F},
    {0xE4, 0x7B},
    {0xE5, 0x0F},
    {0xE6, 0x1D},
    {0xE8, 0x04},
    {0xE9, 0x05},
    {0xEC, 0x07},
    {0xF1, 0x7D},
    {0xF2, 0x08},
    {0xF6, 0x7C},
    {0xF8, 0x0C},
    {0xF9, 0x06},
    {0xFC, 0x7E},
    // accented letters folded to a base letter (and ç to Ç)
    {0xC0, 'A'},
    {0xC1, 'A'},
    {0xC2, 'A'},
    {0xC3, 'A'},
    {0xC8, 'E'},
    {0xCA, 'E'},
    {0xCB, 'E'},
    {0xCC, 'I'},
    {0xCD, 'I'},
    {0xCE, 'I'},
    {0xCF, 'I'},
    {0xD2, 'O'},
    {0xD3, 'O'},
    {0xD4, 'O'},
    {0xD5, 'O'},
    {0xD9, 'U'},
    {0xDA, 'U'},
    {0xDB, 'U'},
    {0xDD, 'Y'},
    {0xE1, 'a'},
    {0xE2, 'a'},
    {0xE3, 'a'},
    {0xE7, 0x09},
    {0xEA, 'e'},
    {0xEB, 'e'},
    {0xED, 'i'},
    {0xEE, 'i'},
    {0xEF, 'i'},
    {0xF3, 'o'},
    {0xF4, 'o'},
    {0xF5, 'o'},
    {0xFA, 'u'},
    {0xFB, 'u'},
    {0xFD, 'y'},
    {0xFF, 'y'},
};

constexpr std::array<unsigned char, 256> maketable() {
  std::array<unsigned char, 256> table{};
  for (unsigned char& code : table) code = kGsmDropped;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<unsigned char>(c);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<unsigned char>(c);
  for (auto [latin1, gsm] : kMapped) table[latin1] = gsm;
  return table;
}

constexpr std::array<unsigned char, 256> kLatin2Gsm = maketable();

void appendmapped(std::string_view text, std::string& out) {
  for (unsigned char c : text) {
    unsigned char code = kLatin2Gsm[c];
    if (code != kGsmDropped) out.push_back(static_cast<char>(code));
  }
}

}  // namespace

unsigned char latin2gsm(unsigned char latin1) { return kLatin2Gsm[latin1]; }

bool mobileflag(std::optional<std::string_view> flag) { return flag && iequals(*flag, "true"); }

std::string_view mobiletext(std::string_view bytes) {
  size_t nul = bytes.find('\0');
  return nul == std::string_view::npos ? bytes : bytes.substr(0, nul);
}

int preparetextformobile(int, std::string_view text, std::string& out, std::optional<std::string_view> flag) {
  out.clear();
  const bool framed = mobileflag(flag);
  out.reserve(text.size() + (framed ? 2 : 0));
  if (framed) out.append("\x00\x04", 2);
  appendmapped(text, out);
  return 0;
}

int preparetextformobileauth(int, std::string_view text, std::string_view header, std::string& out,
                             std::optional<std::string_view> flag) {
  out.clear();
  const bool framed = mobileflag(flag);
  out.reserve(text.size() + (framed ? header.size() + 2 : 0));
  if (framed) out.append("\x06", 1).append(header).append("\x04", 1);
  appendmapped(text, out);
  return 0;
}

}  // namespace zmr
