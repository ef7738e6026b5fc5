// The ordered key/value list through which every form is built and read.
//
// Pairs keep the order in which they were added, which is their order on
// the wire. Keys are compared byte for byte; a lookup finds the first
// element with the key. Texts are held decoded and encoded only when
// rendered. An element whose key or value could not be decoded while
// parsing keeps it absent; lookups and renderers skip such elements.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zmr {

struct element {
  std::optional<std::string> key;
  std::optional<std::string> value;
};

struct stringmap {
  std::vector<element> elements;
};

// A map of one pair.
stringmap createstringmapwithvalues(std::string_view key, std::string_view value);
[[nodiscard]] int addelement(stringmap& map, std::string_view key, std::string_view value);  // 0 or 33001
element* getlastelement(stringmap& map);
// The first element with that key, or nullptr (also for no map).
element* getelement(stringmap* map, std::string_view key);
const element* getelement(const stringmap* map, std::string_view key);
// 0 and a copy of the value (URL-encoded for getelementvalue); 41000 for no
// map, no such key, or a value that stayed absent.
[[nodiscard]] int getrawelementvalue(const stringmap* map, std::string_view key, std::string& out);
[[nodiscard]] int getelementvalue(const stringmap* map, std::string_view key, std::string& out);
// Replace the value (and the key) of the first element with key; 41000 when
// absent.
[[nodiscard]] int updateelement(stringmap& map, std::string_view key, std::string_view value);
[[nodiscard]] int updateelementkeyandvalue(stringmap& map, std::string_view key, std::string_view newkey,
                                           std::string_view value);

// Renderings; no map gives the empty text. Elements lacking key or value
// are left out of all three.
[[nodiscard]] int tologstring(const stringmap* map, std::string& out);                           // [k=v][k2=v2]
[[nodiscard]] int tostring(const stringmap* map, std::string_view separator, std::string& out);  // k=v<sep>k2=v2
[[nodiscard]] int tourlencodedstring(const stringmap* map, std::string& out);  // both sides URL-encoded, joined by &

// Parses key=value pairs joined by "&", decoding both. The key runs to the
// first "=", the value to the next "&". With decodeflag set, the text after
// the first "=" is URL-decoded first and that is parsed. The separator is
// not used. 0, or 1 when the flag's decoding fails (out left empty).
// The empty text gives one element with empty key and value; a trailing
// "&" adds no element; a last pair without "=" has an empty value.
[[nodiscard]] int createstringmap(std::string_view text, std::string_view separator, int decodeflag, stringmap& out);

// createstringmap's split: pair(keytext, valuetext) for each pair of text,
// in order, both still encoded; the empty text is one empty pair.
template <typename Pair>
void splitformpairs(std::string_view text, Pair&& pair) {
  if (text.empty()) {
    pair(std::string_view(), std::string_view());
    return;
  }
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eq = text.find('=', pos);
    std::string_view keytext = text.substr(pos, eq == std::string_view::npos ? eq : eq - pos);
    std::string_view valuetext;
    if (eq == std::string_view::npos) {
      pos = text.size();
    } else {
      size_t amp = text.find('&', eq + 1);
      valuetext = text.substr(eq + 1, amp == std::string_view::npos ? amp : amp - eq - 1);
      pos = amp == std::string_view::npos ? text.size() : amp + 1;
    }
    pair(keytext, valuetext);
  }
}

// Appends key = the calling thread's info item named key, else the default;
// with neither, 41001 when mandatory, else nothing and 0.
[[nodiscard]] int add_infoitem_to_map(int session, stringmap& map, std::string_view key,
                                      std::optional<std::string_view> defaultvalue, int mandatory);

}  // namespace zmr
