#include <openssl/rand.h>

#include <climits>

#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "tools/base64.h"

namespace zmr {

int getrandom(int session, SecretString& out, uint64_t count) {
  out.wipe();
  if (int rc = enterservice(session); rc != kOk) return rc;
  // The count must be a positive 32-bit number; never cast a larger one down.
  if (count == 0 || count > static_cast<uint64_t>(INT_MAX)) return kOutOfMemory;
  SecretBytes bytes(count);
  if (RAND_bytes(bytes.bytes.data(), static_cast<int>(count)) != 1) {
    setlasterror(session, "getrandom_getrandom: An error occured trying to generate the wanted random.\n");
    return kRandomFailed;
  }
  if (int rc = encodebase64(session, bytes.bytes.data(), bytes.bytes.size(), out.value); rc != kOk) {
    setlasterror(session, "getrandom_getrandom: An error occured trying to base64 encode the random data.\n");
    return rc;
  }
  return 0;
}

}  // namespace zmr
