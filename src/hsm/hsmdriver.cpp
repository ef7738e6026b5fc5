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
  if (driver.handle != nullptr || path == nullptr) return 25001;
  driver.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (driver.handle == nullptr) return 25001;

  int code = kOk;
  if (!resolve(driver.C_Initialize, "C_Initialize")) code = 25002;
  else if (!resolve(driver.C_Finalize, "C_Finalize")) code = 25016;
  else if (!resolve(driver.C_OpenSession, "C_OpenSession")) code = 25006;
  else if (!resolve(driver.C_Login, "C_Login")) code = 25008;
  else if (!resolve(driver.C_Logout, "C_Logout")) code = 25012;
  else if (!resolve(driver.C_CloseSession, "C_CloseSession")) code = 25014;
  else if (!resolve(driver.C_SignInit, "C_SignInit")) code = 25020;
  else if (!resolve(driver.C_Sign, "C_Sign")) code = 25022;
  else if (!resolve(driver.C_FindObjectsInit, "C_FindObjectsInit")) code = 25024;
  else if (!resolve(driver.C_FindObjects, "C_FindObjects")) code = 25026;
  else if (!resolve(driver.C_FindObjectsFinal, "C_FindObjectsFinal")) code = 25028;
  else if (!resolve(driver.C_GetSlotList, "C_GetSlotList")) code = 25004;
  else if (!resolve(driver.C_DecryptInit, "C_DecryptInit")) code = 25034;
  else if (!resolve(driver.C_Decrypt, "C_Decrypt")) code = 25035;
  else if (!resolve(driver.C_CreateObject, "C_CreateObject")) code = 25018;
  if (code != kOk) unload();
  return code;
}

int hsm_initialize() {
  if (driver.handle == nullptr) return 25003;
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
    return 25003;
  }
  driver.initialised = true;
  return kOk;
}

int hsm_finalize() {
  if (driver.handle == nullptr) return kOk;
  if (driver.initialised) {
    if (driver.C_Finalize(nullptr) != CKR_OK) return 25017;
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
    return 25033;
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
    return 25007;
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
    return 25009;
  }
  rv = CKR_OK;
  return kOk;
}

}  // namespace zmr
