#include "misc/ossl.h"

#include <openssl/err.h>

namespace zmr {

bool takeallocationfailure() {
  bool failed = false;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE) failed = true;
  }
  return failed;
}

}  // namespace zmr
