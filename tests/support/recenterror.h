// The calling thread's recent error, looked at without clearing it, for
// tests of the operations behind the exported functions (those of the
// exported functions use apitest.h).
#pragma once

#include <optional>
#include <string>

#include "store/threadstore.h"

namespace zmrtest {

inline std::string peekRecentError() {
  const std::string* e = zmr::peeklasterror();
  return e == nullptr ? "" : *e;
}

// The calling thread's recent error, taken (and so cleared); "" when none.
inline std::string takeRecentError() {
  std::optional<std::string> e;
  zmr::getlasterror(0, e);
  return e.value_or("");
}

}  // namespace zmrtest
