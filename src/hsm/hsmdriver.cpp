#include "hsm/hsmdriver.h"

#include <dlfcn.h>

#include "hsm/hsmclient.h"
#include "misc/secret.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

HsmDriver driver;

// Releases the library and clears every entry point, so that nothing later
// calls into an unloaded module.
void unload() {
  if (driver.handle != nullptr) dlclose(driver.handle);
  driver = HsmDriver{};
}

template <typename Fn>
bool resolve(Fn& slot, const char* name) {
  slot = reinterpret_cast<Fn>(dlsym(driver.handle, name));
  return slot != nullptr;
}

}  // namespace

const HsmDriver& hsmdriver() { return driver; }

bool hsm_driverloaded() { return driver.handle != nullptr; }

int hsm_loaddriver(const char* path) {
  // A driver still held (its finalisation failed) is not replaced behind
  // the back of whoever uses it.
  if (driver.handle != nullptr || path == nullptr) return kHsmLoad;
  driver.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (driver.handle == nullptr) return kHsmLoad;

  int code = kOk;
  if (!resolve(driver.C_Initialize, "C_Initialize"))
    code = kHsmNoInitialize;
  else if (!resolve(driver.C_Finalize, "C_Finalize"))
    code = kHsmNoFinalize;
  else if (!resolve(driver.C_OpenSession, "C_OpenSession"))
    code = kHsmNoOpenSession;
  else if (!resolve(driver.C_Login, "C_Login"))
    code = kHsmNoLogin;
  else if (!resolve(driver.C_Logout, "C_Logout"))
    code = kHsmNoLogout;
  else if (!resolve(driver.C_CloseSession, "C_CloseSession"))
    code = kHsmNoCloseSession;
  else if (!resolve(driver.C_SignInit, "C_SignInit"))
    code = kHsmNoSignInit;
  else if (!resolve(driver.C_Sign, "C_Sign"))
    code = kHsmNoSign;
  else if (!resolve(driver.C_FindObjectsInit, "C_FindObjectsInit"))
    code = kHsmNoFindObjectsInit;
  else if (!resolve(driver.C_FindObjects, "C_FindObjects"))
    code = kHsmNoFindObjects;
  else if (!resolve(driver.C_FindObjectsFinal, "C_FindObjectsFinal"))
    code = kHsmNoFindObjectsFinal;
  else if (!resolve(driver.C_GetSlotList, "C_GetSlotList"))
    code = kHsmNoGetSlotList;
  else if (!resolve(driver.C_DecryptInit, "C_DecryptInit"))
    code = kHsmNoDecryptInit;
  else if (!resolve(driver.C_Decrypt, "C_Decrypt"))
    code = kHsmNoDecrypt;
  else if (!resolve(driver.C_CreateObject, "C_CreateObject"))
    code = kHsmNoCreateObject;
  if (code != kOk) unload();
  return code;
}

int hsm_initialize() {
  if (driver.handle == nullptr) return kHsmInitialize;
  if (driver.initialised) return kOk;
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = nullptr;
  args.DestroyMutex = nullptr;
  args.LockMutex = nullptr;
  args.UnlockMutex = nullptr;
  args.flags = CKF_OS_LOCKING_OK;
  args.pReserved = nullptr;
  CK_RV rv = driver.C_Initialize(&args);
  if (rv != CKR_OK) {
    // Also CKR_CRYPTOKI_ALREADY_INITIALIZED: the host owns that module's
    // life, so it is neither used nor finalised here.
    unload();
    return kHsmInitialize;
  }
  driver.initialised = true;
  return kOk;
}

int hsm_finalize() {
  if (driver.handle == nullptr) return kOk;
  if (driver.initialised) {
    if (driver.C_Finalize(nullptr) != CKR_OK) return kHsmFinalize;
    driver.initialised = false;
  }
  unload();
  return kOk;
}

int opencallsession(const Session& state, ScopedP11Session& s, CK_FLAGS flags, const CallLines& lines, CK_RV& rv) {
  const int session = state.number;
  rv = CKR_OK;
  if (driver.handle == nullptr) {
    setlasterror(session, lines.nodriver);
    return kHsmNoDriver;
  }
  uint64_t slot = 0;
  int code = getslotid(state, &slot);
  if (code != kOk) {
    setlasterror(session, lines.slot);
    return code;
  }
  rv = s.openon(slot, flags);
  if (rv != CKR_OK) {
    setlasterror(session, lines.open);
    return kHsmOpenSession;
  }
  SecretString pin;
  code = getpkcs11password(state, pin);
  if (code != kOk) {
    setlasterror(session, "hsmclient::hsm_signdata: Unable to retrieve pkcs11password from sessionstore.\n");
    return code;
  }
  // Normally CKR_USER_ALREADY_LOGGED_IN: the merchant session's own
  // session keeps the token logged in.
  rv = s.login(pin.value);
  if (!loginaccepted(rv)) {
    setlasterror(session,
                 "hsmclient::hsm_signdata: An error occured calling C_Login on the hsm PKCS11 driver. Is your "
                 "password correct ?\n");
    return kHsmLogin;
  }
  rv = CKR_OK;
  return kOk;
}

}  // namespace zmr
