// The GSM 03.38 default alphabet as the standard writes it, and the
// library's conversion of Latin-1 text for phones derived from it: every
// Latin-1 character the alphabet has becomes its code, except the double
// quote and the apostrophe, which are dropped; the accented letters the
// alphabet lacks fold to their base letter (and ç to Ç); everything else
// is dropped. Written for the tests without the library's table.
#pragma once

#include <string>

namespace zmrtest {

// Unicode code point of each GSM code 0x00..0x7F; 0 for 0x1B (the escape).
extern const char32_t kGsmDefaultAlphabet[128];

// The code of a Latin-1 byte as the library maps it, or -1 when dropped.
int gsmCode(unsigned char latin1);
// A Latin-1 text mapped character by character.
std::string toGsm(const std::string& latin1);
// The text of a mobile signing: the mapped text, after 0x00 0x04 when framed.
std::string mobileSigningBytes(const std::string& latin1, bool framed);

}  // namespace zmrtest
