#include <string>
#include <vector>

#include "hsm/hsmclient.h"
#include "hsm/hsmdriver.h"
#include "misc/status.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

// More slots than any real module offers; a count above it is taken for a
// broken driver rather than allocated.
constexpr CK_ULONG kMaxSlots = 4096;

// Tokens that cannot be used at all: the search goes on with the next slot.
bool unusabletoken(CK_RV rv) {
  return rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_DEVICE_REMOVED;
}

int getslots(int session, const HsmDriver& d, std::vector<CK_SLOT_ID>& slots, CK_RV& rv) {
  static const char* const failed =
      "hsmclient_findslotforlabel: An error occured calling C_GetSlotList on the hsm PKCS11 driver.\n";
  CK_ULONG count = 0;
  rv = d.C_GetSlotList(CK_TRUE, nullptr, &count);
  if (rv != CKR_OK || count > kMaxSlots) {
    setlasterror(session, failed);
    return kHsmGetSlotList;
  }
  if (count == 0) {
    setlasterror(session, "hsmclient_findslotforlabel: There are no slots with a token attached.\n");
    return kHsmNoToken;
  }
  // A token may come between the two calls; the list is asked again then.
  for (int attempt = 0; attempt < 3; ++attempt) {
    slots.assign(count, 0);
    rv = d.C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_BUFFER_TOO_SMALL || count > kMaxSlots) break;
  }
  if (rv != CKR_OK || count > slots.size()) {
    setlasterror(session, failed);
    return kHsmGetSlotList;
  }
  slots.resize(count);
  return kOk;
}

// Searches one slot. found tells whether it holds the label; refused that
// the token refused the PIN.
int searchslot(int session, const HsmDriver& d, CK_SLOT_ID slot, std::string_view pin, const std::string& label,
               bool& found, bool& refused, CK_RV& rv) {
  found = false;
  ScopedP11Session s(d);
  rv = s.openon(slot, CKF_SERIAL_SESSION);
  if (unusabletoken(rv)) {
    rv = CKR_OK;
    return kOk;
  }
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_findslotforlabel: An error occured calling C_OpenSession on the hsm PKCS11 driver.\n");
    return kHsmOpenSession;
  }
  rv = s.login(pin);
  if (rv == CKR_PIN_INCORRECT || rv == CKR_USER_PIN_NOT_INITIALIZED) {
    refused = true;
    rv = s.close();
    if (rv != CKR_OK) {
      setlasterror(session,
                   "hsmclient_findslotforlabel: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n");
      return kHsmCloseSession;
    }
    return kOk;
  }
  if (!loginaccepted(rv)) {
    setlasterror(session,
                 "hsmclient_findslotforlabel: An error occured calling C_Login on the hsm PKCS11 driver. Is your "
                 "password correct ?\n");
    return kHsmLogin;
  }
  // Only a login of our own is undone: when the token was logged in
  // already, another merchant session relies on it.
  bool ownlogin = rv == CKR_OK;
  struct LogoutOnExit {
    const HsmDriver& d;
    CK_SESSION_HANDLE h;
    bool armed;
    ~LogoutOnExit() {
      if (armed) d.C_Logout(h);
    }
  } undo{d, s.handle, ownlogin};

  CK_ATTRIBUTE search[] = {
      {CKA_LABEL, const_cast<char*>(label.data()), static_cast<CK_ULONG>(label.size())},
  };
  rv = d.C_FindObjectsInit(s.handle, search, 1);
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_findslotforlabel: An error occured calling C_FindObjectsInit on the hsm PKCS11 driver.\n");
    return kHsmFindObjectsInit;
  }
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_ULONG count = 0;
  rv = d.C_FindObjects(s.handle, &object, 1, &count);
  CK_RV finalrv = d.C_FindObjectsFinal(s.handle);
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_findslotforlabel: An error occured calling C_FindObjects on the hsm PKCS11 driver.\n");
    return kHsmFindObjects;
  }
  rv = finalrv;
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_findslotforlabel: An error occured calling C_FindObjectsFinal on the hsm PKCS11 driver.\n");
    return kHsmFindObjectsFinal;
  }
  if (ownlogin) {
    undo.armed = false;
    rv = d.C_Logout(s.handle);
    if (rv != CKR_OK) {
      setlasterror(session,
                   "hsmclient_findslotforlabel: An error occured calling C_Logout on the hsm PKCS11 driver.\n");
      return kHsmLogin;
    }
  }
  rv = s.close();
  if (rv != CKR_OK) {
    setlasterror(session,
                 "hsmclient_findslotforlabel: An error occured calling C_CloseSession on the hsm PKCS11 driver.\n");
    return kHsmCloseSession;
  }
  found = count >= 1;
  return kOk;
}

}  // namespace

int findslotforlabel(int session, std::string_view pin, const std::string& label, uint64_t& slot, CK_RV* lastrv) {
  CK_RV rv = CKR_OK;
  int code = kHsmNoDriver;
  if (hsm_driverloaded()) {
    const HsmDriver& d = hsmdriver();
    std::vector<CK_SLOT_ID> slots;
    code = getslots(session, d, slots, rv);
    if (code == kOk) {
      bool refused = false;
      bool found = false;
      code = kHsmNoLabel;
      for (CK_SLOT_ID candidate : slots) {
        int step = searchslot(session, d, candidate, pin, label, found, refused, rv);
        if (step != kOk) {
          code = step;
          break;
        }
        if (found) {
          slot = candidate;
          code = kOk;
          break;
        }
      }
      if (code == kHsmNoLabel && refused) {
        setlasterror(session,
                     "hsmclient_findslotforlabel: Did not find the object with the given label. The password may be "
                     "wrong, check the PKCS#11 password.\n");
      }
    }
  }
  appendpkcs11errorcode(session, code, rv);
  if (lastrv != nullptr) *lastrv = rv;
  return code;
}

}  // namespace zmr
