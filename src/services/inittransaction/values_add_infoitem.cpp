#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "store/threadstore.h"

namespace zmr {

int values_add_infoitem(values& v, int session, std::string_view name, int mandatory) {
  std::string value;
  int rc = popinfoitem(session, name, value);
  if (rc == kNotFound) {
    if (mandatory == 0) return kOk;
    setlasterror(session, "inittransaction_values_add_infoitem: A mandatory infoitem is not set\n");
    return kNoNextUrl;
  }
  if (rc != kOk) {
    setlasterror(session,
                 "inittransaction_values_add_infoitem: An error occured retrieving an infoitem from merchant's "
                 "session store.\n");
    return rc;
  }
  v.pairs.emplace_back(std::string(name), std::move(value));
  return kOk;
}

}  // namespace zmr
