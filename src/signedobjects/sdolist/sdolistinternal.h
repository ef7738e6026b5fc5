// Pieces shared by the SDO-list operations.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/sdolist/sdolist.h"
#include "tools/base64.h"

namespace zmr {

inline sdotext copytext(std::optional<std::string_view> text) {
  return text ? sdotext(std::string(*text)) : std::nullopt;
}
inline sdobytes copybytes(std::optional<std::string_view> bytes) {
  if (!bytes) return std::nullopt;
  return std::vector<unsigned char>(bytes->begin(), bytes->end());
}

// Appends the base64 of the bytes to the sink, encoded in place.
inline void base64piece(xmlsink& s, const std::vector<unsigned char>& bytes) {
  size_t n = base64_encodedlength(bytes.size());
  s.length += n;
  if (s.out == nullptr) return;
  size_t at = s.out->size();
  s.out->resize(at + n);
  base64_encodeto(bytes.data(), bytes.size(), s.out->data() + at);
}

// The SDODataPart element into the sink (which grows as it needs): 0, the
// encoder's code for the digest, or 18001 when the element outgrows the
// signable limit. Lines end in "\n".
int dataparttoxml(int session, xmlsink& sink, const sdodatapart& datapart);

inline constexpr std::string_view kSdoListTooLarge =
    "sdotools_zmrsdotoxml: The SDO xml is too large to fit in internal buffers.\n";

}  // namespace zmr
