// Small helpers for tests that drive the exported functions.
#pragma once

#include <zmr/zmr.h>

#include <string>

namespace zmrtest {

// Takes over a text the library handed out: copies it and frees it.
inline std::string take(char* text) {
  std::string s = text != nullptr ? text : "";
  if (text != nullptr) zmr_free(text);
  return s;
}

// The calling thread's recent error, taken (and so cleared); "" when none.
inline std::string recentError(int session = -1) {
  char* text = nullptr;
  zmr_getrecenterror(session, &text);
  return take(text);
}

}  // namespace zmrtest
