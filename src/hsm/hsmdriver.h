// The loaded PKCS#11 driver and helpers shared by the client's operations.
#pragma once

#include <string>
#include <string_view>

#include "hsm/pkcs11.h"
#include "store/sessionstore.h"

namespace zmr {

// Written only by start-up and shut-down, which run alone; read by every
// other operation. All entry points are set, or none (handle null).
struct HsmDriver {
  void* handle = nullptr;
  // C_Initialize answered CKR_OK to us, so C_Finalize is ours to call.
  bool initialised = false;
  CK_C_Initialize C_Initialize = nullptr;
  CK_C_Finalize C_Finalize = nullptr;
  CK_C_OpenSession C_OpenSession = nullptr;
  CK_C_Login C_Login = nullptr;
  CK_C_Logout C_Logout = nullptr;
  CK_C_CloseSession C_CloseSession = nullptr;
  CK_C_SignInit C_SignInit = nullptr;
  CK_C_Sign C_Sign = nullptr;
  CK_C_FindObjectsInit C_FindObjectsInit = nullptr;
  CK_C_FindObjects C_FindObjects = nullptr;
  CK_C_FindObjectsFinal C_FindObjectsFinal = nullptr;
  CK_C_GetSlotList C_GetSlotList = nullptr;
  CK_C_DecryptInit C_DecryptInit = nullptr;
  CK_C_Decrypt C_Decrypt = nullptr;
  CK_C_CreateObject C_CreateObject = nullptr;
};

const HsmDriver& hsmdriver();

// CKR_OK, or a login that another session of this process already holds.
inline bool loginaccepted(CK_RV rv) { return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN; }

// A PKCS#11 session that is closed when it goes out of scope, unless close()
// already did (and reported the answer).
struct ScopedP11Session {
  explicit ScopedP11Session(const HsmDriver& d) : driver(d) {}
  ~ScopedP11Session() {
    if (open) driver.C_CloseSession(handle);
  }
  ScopedP11Session(const ScopedP11Session&) = delete;
  ScopedP11Session& operator=(const ScopedP11Session&) = delete;

  CK_RV openon(CK_SLOT_ID slot, CK_FLAGS flags) {
    CK_RV rv = driver.C_OpenSession(slot, flags, nullptr, nullptr, &handle);
    open = rv == CKR_OK;
    return rv;
  }
  CK_RV login(std::string_view pin) const {
    return driver.C_Login(handle, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                          static_cast<CK_ULONG>(pin.size()));
  }
  CK_RV close() {
    open = false;
    return driver.C_CloseSession(handle);
  }

  const HsmDriver& driver;
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  bool open = false;
};

// Recent-error lines that differ between the operations using a per-call
// session.
struct CallLines {
  const char* nodriver;  // no driver loaded
  const char* slot;      // slot id unreadable
  const char* open;      // C_OpenSession failed
};
// Opens the PKCS#11 session of one signing, decryption or import call on the
// merchant session's slot and logs it in with the session's PIN. On failure
// returns the code with its line written (not the PKCS#11 line); rv holds
// the answer of the failing driver call.
// findprivatekeyhandle without the PKCS#11 line; reportabsent false leaves
// out the line of a key that does not exist (25030), for callers to whom
// that is not a failure. A non-empty modulus (unsigned big-endian bytes)
// narrows the search to the key with that modulus.
int findprivatekey(int session, CK_SESSION_HANDLE h, const std::string& label, CK_OBJECT_HANDLE& object, CK_RV& rv,
                   bool reportabsent, std::string_view modulus = {});

int opencallsession(const Session& state, ScopedP11Session& s, CK_FLAGS flags, const CallLines& lines, CK_RV& rv);

}  // namespace zmr
