#include "hsm/hsmclient.h"
#include "misc/setup.h"
#include "net/http_lib.h"
#include "services/life.h"
#include "store/sessionstore.h"

namespace zmr {

int initialize(const char* driverpath) {
  if (isInitialized()) return 0;
  setInitialized(1);
  // Each step that succeeded is undone, in reverse order, when a later one
  // fails; steps that never ran are left alone.
  setsessioncloser(closesession);  // shut-down closes what is still open
  int rc = initstructures();
  if (rc != 0) {
    setInitialized(0);
    return rc;
  }
  if ((rc = initmutexes()) != 0) {
    deinitstructures();
    setInitialized(0);
    return rc;
  }
  bool hsm = driverpath != nullptr;
  if (hsm) {
    if ((rc = hsm_loaddriver(driverpath)) == 0) rc = hsm_initialize();  // a failed start unloads
    if (rc != 0) {
      deinitmutexes();
      deinitstructures();
      setInitialized(0);
      return rc;
    }
  }
  if ((rc = http_init()) != 0) {
    if (hsm) hsm_finalize();
    deinitmutexes();
    deinitstructures();
    setInitialized(0);
    return rc;
  }
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
