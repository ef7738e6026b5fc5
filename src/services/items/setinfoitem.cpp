#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {

int setinfoitem(int session, std::string_view key, std::string_view value) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  int rc = pushinfoitem(session, key, value);
  if (rc != kOk)
    setlasterror(
        session,
        "setinfoitem_setinfoitem: An error occured trying to push an infoitem in the merchant's session store.\n");
  return rc;
}

}  // namespace zmr
