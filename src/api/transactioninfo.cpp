// Exported function of transaction information from the services host.
#include "api/frame.h"
#include "services/transactioninfo/transactioninfoops.h"

using namespace zmr;

ZMR_EXPORT int zmr_gettransactioninfo(int session, const char* key, const char* oids, const char* unused) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(key));
  ZMR_TRY(requiredtext(oids));
  ZMR_TRY(requiredtext(unused));
  return guarded([&] { return gettransactioninfo(session, key, oids); });
}
