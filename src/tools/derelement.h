// Reading and writing single DER elements (tag, definite length, content)
// over byte buffers, for the few structures the library assembles or takes
// apart itself rather than through OpenSSL's templates.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zmr {

struct DerElement {
  int tag = 0;
  int xclass = 0;  // V_ASN1_UNIVERSAL, V_ASN1_CONTEXT_SPECIFIC, ...
  bool constructed = false;
  std::string_view content;
  std::string_view whole;  // header and content
};

// Takes the first element off in. false, with in unchanged, for a
// malformed header, an indefinite length or a length beyond the buffer.
bool readderelement(std::string_view& in, DerElement& out);

// The element of that tag and class around content; nullopt when its
// length cannot be encoded.
std::optional<std::string> writederelement(int tag, int xclass, bool constructed, std::string_view content);

}  // namespace zmr
