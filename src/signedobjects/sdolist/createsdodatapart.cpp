#include <new>

#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"

namespace zmr {

int createsdodatapart(int session, std::optional<std::string_view> digest, std::optional<std::string_view> datatype,
                      std::unique_ptr<sigelement> siglist, std::unique_ptr<sdodatapart>& out) {
  if (int rc = checkxmltext(session, datatype, "sdotools_createsdodatapart", "DataType"); rc != kOk) return rc;
  try {
    auto datapart = std::make_unique<sdodatapart>();
    datapart->szpolicy = std::string(kSdoListPolicy);
    datapart->szhasheddata = copybytes(digest);
    datapart->szdatatype = copytext(datatype);
    datapart->siglist = std::move(siglist);
    out = std::move(datapart);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
