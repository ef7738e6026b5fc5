// Shared start of every service: the session must be open, and the calling
// thread's recent error is taken and discarded.
#pragma once

#include <optional>
#include <string>

#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

// For services that read nothing of the session but its being open.
inline int enterservice(int session) {
  if (checksessionvalidity(session) != 0) return kNoSession;
  std::optional<std::string> discarded;
  return getlasterror(session, discarded);
}

// Takes the session's state for the whole operation (2009 when closed).
inline int enterservice(int session, SessionRef& state) {
  if (int rc = usesession(session, state); rc != kOk) return rc;
  std::optional<std::string> discarded;
  return getlasterror(session, discarded);
}

// A service called by another with the state that one holds.
inline int enterservice(const Session& s) {
  std::optional<std::string> discarded;
  return getlasterror(s.number, discarded);
}

}  // namespace zmr
