// Shared start of every service: the session must be open, and the calling
// thread's recent error is taken and discarded.
#pragma once

#include <optional>
#include <string>

#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

inline int enterservice(int session) {
  if (checksessionvalidity(session) != 0) return 2009;
  std::optional<std::string> discarded;
  return getlasterror(session, discarded);
}

}  // namespace zmr
