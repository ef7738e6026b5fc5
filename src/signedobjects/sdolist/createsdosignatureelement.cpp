#include <new>

#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"

namespace zmr {

int createsdosignatureelement(int session, std::optional<std::string_view> signature,
                              std::optional<std::string_view> ocsp, std::optional<std::string_view> datetime,
                              std::unique_ptr<sigelement>& out) {
  if (int rc = checkxmltext(session, signature, "sdotools_createsdosignatureelement", "SignatureDataAndDateTime");
      rc != kOk)
    return rc;
  if (int rc = checkxmltext(session, datetime, "sdotools_createsdosignatureelement", "DateTime"); rc != kOk) return rc;
  try {
    auto element = std::make_unique<sigelement>();
    element->signature = copytext(signature);
    element->szocspresponse = copybytes(ocsp);
    element->szdatetime = copytext(datetime);
    out = std::move(element);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
