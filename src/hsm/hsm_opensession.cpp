#include <optional>
#include <string>

#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int opensession(Session& state, const std::string& label, int32_t slotnumber, std::string_view pin, CK_RV& rv) {
  const int session = state.number;
  if (!hsm_driverloaded()) {
    setlasterror(session, "hsmclient_hsm_opensession: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n");
    return kHsmNoDriver;
  }
  const HsmDriver& d = hsmdriver();
  uint64_t slot = 0;
  if (slotnumber < 0) {
    int code = findslotforlabel(session, pin, label, slot, &rv);
    if (code != kOk) {
      setlasterror(session,
                   "hsmclient_hsm_opensession: An error occured trying to find the token where the merchants "
                   "credentials are stored.\n");
      return code;
    }
  } else {
    slot = static_cast<uint64_t>(slotnumber);
  }

  ScopedP11Session s(d);
  rv = s.openon(slot, CKF_SERIAL_SESSION);
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured calling C_OpenSession on the hsm PKCS11 driver\n");
    return kHsmOpenSession;
  }
  int code = sethsm_sessioncontext(state, s.handle);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured trying to store the hsm session context  for the "
                 "current merchant during opensession.\n");
    return code;
  }
  // From here a failure closes the session again and forgets its handle,
  // so that nothing of a failed opening stays open or gets closed twice.
  struct ForgetOnFailure {
    Session& state;
    bool armed = true;
    ~ForgetOnFailure() {
      if (armed) sethsm_sessioncontext(state, 0);
    }
  } forget{state};

  rv = s.login(pin);
  if (!loginaccepted(rv)) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured calling C_Login on the hsm PKCS11 driver. Is your "
                 "password correct ?\n");
    return kHsmLogin;
  }
  rv = CKR_OK;
  code = setslotid(state, slot);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured trying to store the slotid for the current merchant "
                 "during opensession.\n");
    return code;
  }
  code = setpkcs11password(state, pin);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient::hsm_opensession: An error occured trying to store the pkcs11password for the current "
                 "hsm session.\n");
    return code;
  }
  s.open = false;  // stays open until hsm_closesession
  forget.armed = false;
  return kOk;
}

// The end of a state that still holds an HSM session: its last user may be
// any call, whose outcome this is not, so that call's recent error stays
// as it was.
void releasehsm(Session& state) {
  std::optional<std::string> before, after;
  getlasterror(state.number, before);
  hsm_endsession(state);
  getlasterror(state.number, after);
  if (before) setlasterror(state.number, *before);
}

}  // namespace

int hsm_opensession(Session& state, const std::string& label, int32_t slot, std::string_view pin) {
  CK_RV rv = CKR_OK;
  int code = opensession(state, label, slot, pin, rv);
  appendpkcs11errorcode(state.number, code, rv);
  if (code == kOk) setsessionrelease(releasehsm);
  return code;
}

}  // namespace zmr
