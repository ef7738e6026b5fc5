// Small helpers for tests that drive the exported functions.
#pragma once

#include <sys/mman.h>
#include <zmr/zmr.h>

#include <string>

namespace zmrtest {

// Takes over a text the library handed out: copies it and frees it.
inline std::string take(char* text) {
  std::string s = text != nullptr ? text : "";
  if (text != nullptr) std::ignore = zmr_free(text);
  return s;
}

// The calling thread's recent error, taken (and so cleared); "" when none.
inline std::string recentError(int session = -1) {
  char* text = nullptr;
  std::ignore = zmr_getrecenterror(session, &text);
  return take(text);
}

// A page the process cannot read, for the 33003 probes.
struct Unreadable {
  Unreadable() { page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }
  ~Unreadable() { munmap(page, 4096); }
  Unreadable(const Unreadable&) = delete;
  Unreadable& operator=(const Unreadable&) = delete;
  void* page;
  const char* text() const { return static_cast<const char*>(page); }
  char** out() const { return static_cast<char**>(page); }
};

}  // namespace zmrtest
