#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {

int removecrlf(int session, std::string_view text, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return 0;
}

}  // namespace zmr
