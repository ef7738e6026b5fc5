#include "misc/status.h"
#include "services/entry.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

int sdoadddata(int session, seidsdocell* handle, std::string_view data) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (handle == nullptr || !handle->first) return kSdoEmptyHandle;
  if (int rc = checkxmltext(session, data, "sdoadddata_sdoadddata", "data"); rc != kOk) return rc;
  auto replacement = std::make_unique<signedobject>();
  replacement->signersdocument = std::string(data);
  handle->first->signedobject = std::move(replacement);
  return 0;
}

}  // namespace zmr
