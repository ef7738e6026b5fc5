#include "services/life.h"

namespace zmr {

// The merchant-reference word lists are not cached yet; shut-down already
// calls this so that the cache has its release in place when it comes.
int cleanupdictionaries() { return 0; }

}  // namespace zmr
