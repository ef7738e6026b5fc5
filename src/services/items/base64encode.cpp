#include "services/entry.h"
#include "services/items/itemsops.h"
#include "tools/base64.h"

namespace zmr {

int base64encode(int session, const unsigned char* data, uint64_t length, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (int rc = encodebase64(session, data, length, out); rc != kOk) {
    setlasterror(session, "base64encode_base64encode: An error occured trying to base 64 encode the data\n");
    return rc;
  }
  return 0;
}

}  // namespace zmr
