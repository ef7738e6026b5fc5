#include "services/entry.h"
#include "services/items/itemsops.h"
#include "tools/base64.h"

namespace zmr {

int base64decode(int session, std::string_view text, std::vector<unsigned char>& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (int rc = decodebase64(session, text, out); rc != kOk) {
    setlasterror(session, "base64decode_base64decode: An error occured trying to base 64 decode the data\n");
    return rc;
  }
  return 0;
}

}  // namespace zmr
