// Latin-1 text for display on a mobile phone: each character mapped to the
// GSM 03.38 default alphabet (without its escape extension), accented
// letters outside the alphabet folded to their base letter, anything else
// dropped. The double quote and the apostrophe are dropped as well, though
// the alphabet has them.
//
// The results are bytes, taken by their count: the code of "@" is 0x00.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zmr {

// The GSM code of a Latin-1 byte, or kGsmDropped.
inline constexpr unsigned char kGsmDropped = 0xFF;
unsigned char latin2gsm(unsigned char latin1);

// A flag of the converters: "true" in any case; a missing one is false.
bool mobileflag(std::optional<std::string_view> flag);

// The text mapped; with the flag it is framed by 0x00 0x04 first. Always 0
// (an allocation failure throws).
int preparetextformobile(int session, std::string_view text, std::string& out, std::optional<std::string_view> flag);

// The challenge text mapped; with the flag it is framed by 0x06, the
// header bytes as they are, and 0x04 first. Always 0.
int preparetextformobileauth(int session, std::string_view text, std::string_view header, std::string& out,
                             std::optional<std::string_view> flag);

// The text of decoded bytes: up to the first zero byte, else all of them.
std::string_view mobiletext(std::string_view bytes);

}  // namespace zmr
