#include <new>

#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"

namespace zmr {

int createsdoelement(int session, std::optional<std::string_view> signature, std::unique_ptr<sdodatapart> datapart,
                     std::unique_ptr<sdoelement>& out) {
  if (int rc = checkxmltext(session, signature, "sdotools_createsdoelement", "SDOSignature"); rc != kOk) return rc;
  try {
    auto sdo = std::make_unique<sdoelement>();
    sdo->szzmr_sdoversion = std::string(kSdoListVersion);
    sdo->szsdosignature = copytext(signature);
    sdo->sdodatapart = std::move(datapart);
    out = std::move(sdo);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
