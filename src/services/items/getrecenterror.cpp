#include "services/items/itemsops.h"
#include "store/threadstore.h"

namespace zmr {

// Works for any session number: the text of a failed session opening must
// stay readable although its number is no longer open.
int getrecenterror(int session, std::optional<std::string>& out) { return getlasterror(session, out); }

}  // namespace zmr
