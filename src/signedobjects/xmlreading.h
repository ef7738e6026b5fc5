// Pieces shared by the SDO readers over Expat.
#pragma once

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "signedobjects/textroom.h"

namespace zmr {

struct ExpatParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ExpatParserPtr = std::unique_ptr<XML_ParserStruct, ExpatParserFree>;

// The value of name in a table of (name, value) pairs sorted by name, or
// nullptr.
template <typename Table>
const auto* findtag(const Table& table, std::string_view name) {
  auto it = std::lower_bound(table.begin(), table.end(), name,
                             [](const auto& entry, std::string_view n) { return entry.first < n; });
  return it != table.end() && it->first == name ? &it->second : nullptr;
}

// Expat given one buffer of many megabytes at once slows down more than in
// proportion (it copies the buffer whole first), so the readers feed it in
// pieces of this size.
constexpr size_t kParsePiece = size_t{1} << 16;

// Parses xml in pieces until a piece fails, stopped (set by a handler that
// called XML_StopParser) turns nonzero or all is read; the last status.
inline XML_Status parseinpieces(XML_Parser parser, std::string_view xml, const int& stopped) {
  XML_Status status = XML_STATUS_OK;
  size_t at = 0;
  do {
    const size_t n = std::min(kParsePiece, xml.size() - at);
    const bool last = at + n == xml.size();
    status = XML_Parse(parser, xml.data() + at, static_cast<int>(n), last ? XML_TRUE : XML_FALSE);
    at += n;
  } while (status == XML_STATUS_OK && stopped == 0 && at < xml.size());
  return status;
}

// Appends a piece of character data to text. When it does not fit, room is
// taken for all the character data the input holds from the current event
// up to the next markup (never less than the text's decoded length, which
// references and line ends only shorten), at least doubling: a long text
// is allocated once rather than regrown, and each byte of the input is
// searched at most once.
inline void appendcharacterdata(std::string& text, XML_Parser parser, std::string_view xml, const XML_Char* s,
                                int length) {
  const size_t n = static_cast<size_t>(length);
  if (text.capacity() - text.size() < n) {
    size_t raw = 0;
    const XML_Index at = XML_GetCurrentByteIndex(parser);
    if (at >= 0 && static_cast<size_t>(at) < xml.size()) {
      const size_t from = static_cast<size_t>(at);
      const void* markup = std::memchr(xml.data() + from, '<', xml.size() - from);
      raw = (markup != nullptr ? static_cast<const char*>(markup) - xml.data() : xml.size()) - from;
    }
    text.reserve(std::max(text.size() + std::max(raw, n), 2 * text.capacity()));
    mapreserved(text);
  }
  text.append(s, n);
}

}  // namespace zmr
