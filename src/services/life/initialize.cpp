#include "hsm/hsmclient.h"
#include "store/setup.h"
#include "net/http_lib.h"
#include "services/life/lifeops.h"
#include "store/sessionstore.h"

namespace zmr {

namespace {

// Loads and starts the PKCS#11 driver; a failed start unloads it again.
int startdriver(const char* driverpath) {
  int rc = hsm_loaddriver(driverpath);
  if (rc == kOk) rc = hsm_initialize();
  return rc;
}

// Runs undo when the scope ends while still armed.
template <typename F>
struct Undo {
  F undo;
  bool armed = true;
  ~Undo() {
    if (armed) undo();
  }
};
template <typename F>
Undo(F) -> Undo<F>;

}  // namespace

int initialize(const char* driverpath) {
  if (isInitialized()) {
    // Started without a driver: a driver asked for now is loaded now, and
    // its failure leaves the library running as it was.
    if (driverpath == nullptr || hsm_driverloaded()) return 0;
    return startdriver(driverpath);
  }
  setInitialized(1);
  Undo started{[] { setInitialized(0); }};
  // Each step that succeeded is undone, in reverse order, when a later one
  // fails; steps that never ran are left alone. The guards are declared in
  // the order of the steps, so their destructors undo in reverse.
  setsessioncloser(closesession);  // shut-down closes what is still open
  int rc = initstructures();
  if (rc != kOk) return rc;
  Undo structures{[] { deinitstructures(); }};
  if ((rc = initmutexes()) != 0) return rc;
  Undo mutexes{[] { deinitmutexes(); }};
  bool hsm = driverpath != nullptr;
  if (hsm && (rc = startdriver(driverpath)) != 0) return rc;
  Undo driver{[hsm] {
    if (hsm) hsm_finalize();
  }};
  if ((rc = http_init()) != 0) return rc;
  disablecoredumps();
  started.armed = structures.armed = mutexes.armed = driver.armed = false;
  return 0;
}

int finalize() {
  if (!isInitialized()) return 0;
  int first = 0;
  auto step = [&](int rc) {
    if (first == 0) first = rc;
  };
  step(deinitstructures());
  step(deinitmutexes());
  step(cleanupdictionaries());
  step(hsm_finalize());
  step(http_finalize());
  setInitialized(0);
  return first;
}

}  // namespace zmr
