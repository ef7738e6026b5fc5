#include "signedobjects/seid/sdointernal.h"

namespace zmr {

int seidsdofree(int session, seidsdocell* handle) {
  std::unique_ptr<seidsdocell> owned(handle);
  return releasecheck(session);
}

}  // namespace zmr
