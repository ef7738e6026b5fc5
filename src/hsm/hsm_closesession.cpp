#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "store/setup.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int closesession(Session& state, CK_RV& rv) {
  const int session = state.number;
  uint64_t slot = 0;
  int code = getslotid(state, &slot);
  if (code != kOk) {
    setlasterror(session, "hsmclient_hsm_closesession: Unable to extract slotid for merchant session.\n");
    return code;
  }
  int inuse = 0;
  code = slotalreadyopened(state, slot, &inuse);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_closesession: An error occured trying to figure out if the slot is in use by other "
                 "sessions.\n");
    return code;
  }
  uint64_t handle = 0;
  code = gethsm_sessioncontext(state, &handle);
  if (code != kOk) {
    setlasterror(session, "hsmclient_hsm_closesession: Unable to extract hsm sessioncontext for merchant session\n");
    return code;
  }
  if (handle == 0) return kOk;
  if (!hsm_driverloaded()) {
    setlasterror(session, "hsmclient_hsm_closesession: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n");
    return kHsmNoDriver;
  }
  const HsmDriver& d = hsmdriver();
  // A login holds for every session of the process on the token: another
  // merchant session on this slot still needs it.
  if (inuse == 0) {
    rv = d.C_Logout(handle);
    if (rv != CKR_OK && rv != CKR_USER_NOT_LOGGED_IN) {
      setlasterror(session, "hsmclient_hsm_closesession: An error occured calling C_Logout on the hsm PKCS11 driver\n");
      return kHsmLogout;
    }
  }
  rv = d.C_CloseSession(handle);
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_hsm_closesession: An error occured calling C_CloseSession on the hsm PKCS11 driver\n");
    return kHsmCloseSession;
  }
  // The module may hand the number to a later session.
  return sethsm_sessioncontext(state, 0);
}

}  // namespace

int hsm_closesession(Session& state) {
  CK_RV rv = CKR_OK;
  int code = closesession(state, rv);
  appendpkcs11errorcode(state.number, code, rv);
  return code;
}

int hsm_endsession(Session& state) {
  NamedLock lock(state.number, "hsm_client");
  if (!lock.ok()) return lock.code;
  return hsm_closesession(state);
}

}  // namespace zmr
