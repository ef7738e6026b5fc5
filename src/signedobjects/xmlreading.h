// Pieces shared by the SDO readers over Expat.
#pragma once

#include <expat.h>

#include <algorithm>
#include <memory>
#include <string_view>

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

}  // namespace zmr
