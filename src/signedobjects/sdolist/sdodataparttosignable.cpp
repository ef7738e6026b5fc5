#include <cstdint>
#include <new>

#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"

namespace zmr {

int sdodataparttosignable(int session, const sdodatapart& datapart, std::string& out) {
  try {
    std::string text;
    xmlsink sink{&text, SIZE_MAX};
    if (int rc = dataparttoxml(session, sink, datapart); rc != kOk) return rc;
    out = std::move(text);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
