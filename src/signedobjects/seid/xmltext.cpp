// What XML 1.0 can carry in a text or an attribute value.
#include <cstdint>
#include <cstring>

#include "signedobjects/seid/sdointernal.h"

namespace zmr {

size_t findnonxml(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // Eight bytes at a time while all are ASCII at or above the blank: the
    // high bit of a byte is set in w, or in w less 0x20 in each byte for the
    // lowest byte below 0x20 (none below it borrows).
    for (uint64_t w; n - i >= 8; i += 8) {
      std::memcpy(&w, p + i, 8);
      if (((w | (w - 0x2020202020202020)) & 0x8080808080808080) != 0) break;
    }
    if (i == n) break;
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return i;
      ++i;
      continue;
    }
    // The length of the sequence and the range its second byte must lie in,
    // which rules out overlong forms, surrogates and code points above
    // U+10FFFF.
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (n - i < length || p[i + 1] < low || p[i + 1] > high) return i;
    for (size_t k = 2; k < length; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return i;
    // U+FFFE and U+FFFF are not characters.
    if (c == 0xEF && p[i + 1] == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF)) return i;
    i += length;
  }
  return std::string_view::npos;
}

}  // namespace zmr
