#include "store/setup.h"
#include "misc/status.h"
#include "services/mobile/dictionaries.h"
#include "services/life/lifeops.h"

namespace zmr {

// A fetch still running when the cache is emptied finishes on its own
// record, which then simply goes with its last user.
int cleanupdictionaries() {
  NamedLock lock(-1, "merchantreference");
  if (!lock.ok()) return lock.code;
  for (auto& slot : dictData()) slot.reset();
  return kOk;
}

}  // namespace zmr
