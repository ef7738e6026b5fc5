#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {

int latin1toutf8(int session, std::string_view text, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  out.reserve(text.size() * 2);
  for (unsigned char b : text) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back(static_cast<char>(b < 0xC0 ? 0xC2 : 0xC3));
      out.push_back(static_cast<char>(0x80 + (b & 0x3F)));
    }
  }
  return 0;
}

}  // namespace zmr
