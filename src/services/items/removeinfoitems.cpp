#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {

int removeinfoitems(int session) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  int rc = removeallinfoitems(session);
  if (rc != kOk)
    setlasterror(session,
                 "removeinfoitems_removeinfoitems: An error occured trying to delete all the merchant's infoitems in "
                 "session store.\n");
  return rc;
}

}  // namespace zmr
