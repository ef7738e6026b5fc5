#include "signedobjects/sdolist/sdolistinternal.h"

namespace zmr {

int sdofree(int session, sdolist* list) {
  std::unique_ptr<sdolist> owned(list);
  return releasecheck(session);
}

}  // namespace zmr
