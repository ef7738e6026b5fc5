// Sessions made straight in the session store, for tests of the layers
// below session opening, and the state behind an open session number.
#pragma once

#include <stdexcept>

#include "store/sessionstore.h"

namespace zmrtest {

// A published session with an empty state (fill it through state()),
// closed at the end of the scope.
struct StoreSession {
  StoreSession() {
    zmr::PendingSession pending;
    if (pending.open() != 0) throw std::runtime_error("store session: no number left");
    pending.publish();
    number = pending.number();
    zmr::usesession(number, ref);
  }
  ~StoreSession() {
    ref.reset();  // so that closing drops the last reference
    zmr::freesession(number);
  }
  StoreSession(const StoreSession&) = delete;
  StoreSession& operator=(const StoreSession&) = delete;
  zmr::Session& state() const { return *ref; }

  int number = -1;
  zmr::SessionRef ref;
};

// Opens a session with an empty state: its number (close it with
// zmr::freesession or zmr::freeSessions).
inline int openStoreSession() {
  zmr::PendingSession pending;
  if (pending.open() != 0) throw std::runtime_error("store session: no number left");
  pending.publish();
  return pending.number();
}

// The state of an open session number; throws when it is not open.
inline zmr::SessionRef sessionState(int number) {
  zmr::SessionRef s;
  if (zmr::usesession(number, s) != 0) throw std::runtime_error("session not open");
  return s;
}

}  // namespace zmrtest
