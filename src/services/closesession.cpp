#include "hsm/hsmclient.h"
#include "misc/setup.h"
#include "services/common.h"
#include "services/life.h"

namespace zmr {

int closesession(int session) {
  if (int rc = enterservice(session); rc != 0) return rc;
  uint64_t handle = 0;
  if (int rc = gethsm_sessioncontext(session, &handle); rc != 0) {
    setlasterror(session, "closesession_closesession: An error occured trying to retrieve the hsm session context.\n");
    return rc;
  }
  if (handle != 0) {
    NamedLock lock(session, "hsm_client");
    if (!lock.ok()) return lock.code;
    // A failed logout leaves the session open and usable.
    if (int rc = hsm_closesession(session); rc != 0) return rc;
  }
  NamedLock lock(session, "sessionstore");
  if (!lock.ok()) return lock.code;
  freesession(session);
  return 0;
}

}  // namespace zmr
