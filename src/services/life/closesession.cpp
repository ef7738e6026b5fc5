#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/life/lifeops.h"

namespace zmr {

int closesession(int session) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  SessionRef s = takesession(session);
  if (!s) return kNoSession;  // another thread closed it first
  // Unpublished, the state gains no new users: a count of one means no call
  // is in flight, and the HSM session can end here with its code reported.
  if (s.use_count() == 1) {
    uint64_t handle = 0;
    gethsm_sessioncontext(*s, &handle);
    if (handle != 0) {
      if (int rc = hsm_endsession(*s); rc != kOk) {
        restoresession(std::move(s));  // a failed logout leaves it open and usable
        return rc;
      }
    }
  }
  freeSessionId(session);
  return 0;
}

}  // namespace zmr
