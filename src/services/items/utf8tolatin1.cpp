#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {

// Characters outside ISO 8859-1 become "?".
int utf8tolatin1(int session, std::string_view text, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      i += 1;
    } else if ((b & 0xF0) == 0xF0) {
      out.push_back('?');
      i += 4;
    } else if ((b & 0xE0) == 0xE0) {
      out.push_back('?');
      i += 3;
    } else if (b >= 0xC4 && b <= 0xDF) {
      out.push_back('?');
      i += 2;
    } else {
      // A two-byte character cut short by the end of the text is unknown.
      if (i + 1 >= n) {
        out.push_back('?');
        break;
      }
      unsigned char base = b == 0xC2 ? 0x80 : 0xC0;
      out.push_back(static_cast<char>(base + (static_cast<unsigned char>(text[i + 1]) & 0x3F)));
      i += 2;
    }
  }
  return 0;
}

}  // namespace zmr
