#include <string>

#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int opensession(int session, const std::string& label, int32_t slotnumber, std::string_view pin, CK_RV& rv) {
  if (!hsm_driverloaded()) {
    setlasterror(session, "hsmclient_hsm_opensession: To use HSM call ZMR_HSMInitialize or ZMR_RAHSMInitialize.\n");
    return 25033;
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
    setlasterror(session, "hsmclient_hsm_opensession: An error occured calling C_OpenSession on the hsm PKCS11 driver\n");
    return 25007;
  }
  int code = sethsm_sessioncontext(session, s.handle);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured trying to store the hsm session context  for the "
                 "current merchant during opensession.\n");
    return code;
  }
  // From here a failure closes the session again and forgets its handle,
  // so that nothing of a failed opening stays open or gets closed twice.
  struct ForgetOnFailure {
    int session;
    bool armed = true;
    ~ForgetOnFailure() {
      if (armed) sethsm_sessioncontext(session, 0);
    }
  } forget{session};

  rv = s.login(pin);
  if (!loginaccepted(rv)) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured calling C_Login on the hsm PKCS11 driver. Is your "
                 "password correct ?\n");
    return 25009;
  }
  rv = CKR_OK;
  code = setslotid(session, slot);
  if (code != kOk) {
    setlasterror(session,
                 "hsmclient_hsm_opensession: An error occured trying to store the slotid for the current merchant "
                 "during opensession.\n");
    return code;
  }
  code = setpkcs11password(session, pin);
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

}  // namespace

int hsm_opensession(int session, const std::string& label, int32_t slot, std::string_view pin) {
  CK_RV rv = CKR_OK;
  int code = opensession(session, label, slot, pin, rv);
  appendpkcs11errorcode(session, code, rv);
  return code;
}

}  // namespace zmr
