#include <new>

#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"

namespace zmr {

int createsdofinished(std::unique_ptr<sdoelement> first, std::unique_ptr<sdolist>& out) {
  try {
    auto list = std::make_unique<sdolist>();
    list->first = std::move(first);
    out = std::move(list);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
