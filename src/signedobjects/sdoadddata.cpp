#include "services/common.h"
#include "signedobjects/sdooperations.h"

namespace zmr {

int sdoadddata(int session, seidsdocell* handle, std::string_view data) {
  if (int rc = enterservice(session); rc != 0) return rc;
  if (handle == nullptr || !handle->first) return 26001;
  auto replacement = std::make_unique<signedobject>();
  replacement->signersdocument = std::string(data);
  handle->first->signedobject = std::move(replacement);
  return 0;
}

}  // namespace zmr
