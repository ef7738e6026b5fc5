// The argument frame of every exported function, and the copies that hand
// results to the caller.
//
// Checks run left to right: a negative session number or null required
// pointer gives 33002, a pointer the kernel cannot read 33003: a text when
// any byte up to its terminating NUL is unreadable, a buffer with a length
// or an out-pointer when its first byte is. No exception
// leaves the library: std::bad_alloc becomes 33001, anything else 33001
// with a recent-error line.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "misc/secret.h"
#include "misc/status.h"
#include "zmr/zmr.h"
#include "store/threadstore.h"

// Returns the code of expr when it is not 0.
#define ZMR_TRY(expr)                           \
  do {                                          \
    if (int rc_ = (expr); rc_ != 0) return rc_; \
  } while (0)

namespace zmr {

// True when this process can read the byte at p. Uses process_vm_readv on
// ourselves, which reports EFAULT without faulting and, unlike access(),
// does not read on to a terminator.
bool readable(const void* p);

// 0, 33002 (null) or 33003 (unreadable).
inline int required(const void* p) {
  if (p == nullptr) return kBadArgument;
  return readable(p) ? kOk : kUnreadablePointer;
}
inline int optional(const void* p) { return (p == nullptr || readable(p)) ? kOk : kUnreadablePointer; }
inline int probe(const void* p) { return readable(p) ? kOk : kUnreadablePointer; }

// True when this process can read the NUL-terminated text at p to its end,
// with its length (which saves the caller a second scan of a long text).
// Checks one byte of each page through the kernel and reads the pages that
// passed in place; never faults on memory the process cannot read.
bool readabletext(const char* p, size_t* length = nullptr);

inline int requiredtext(const char* p) {
  if (p == nullptr) return kBadArgument;
  return readabletext(p) ? kOk : kUnreadablePointer;
}
// requiredtext that also gives the text, its length known.
inline int requiredtext(const char* p, std::string_view& text) {
  if (p == nullptr) return kBadArgument;
  size_t length = 0;
  if (!readabletext(p, &length)) return kUnreadablePointer;
  text = std::string_view(p, length);
  return kOk;
}
inline int optionaltext(const char* p) { return (p == nullptr || readabletext(p)) ? kOk : kUnreadablePointer; }

// One argument for checkarguments: a text or a pointer probed at its first
// byte; a null one is 33002 when required, else passed over.
struct Argument {
  const void* p;
  bool text;
  bool required;
};
inline Argument requiredtextarg(const char* p) { return {p, true, true}; }
inline Argument optionaltextarg(const char* p) { return {p, true, false}; }
inline Argument requiredarg(const void* p) { return {p, false, true}; }
// The checks of args left to right, with the codes requiredtext,
// optionaltext and required would give one after another, and the same
// pages checked; the kernel is asked for the first byte of each in one
// request.
int checkarguments(std::initializer_list<Argument> args);
inline int probetext(const char* p) { return readabletext(p) ? kOk : kUnreadablePointer; }

// Runs an operation, keeping every exception inside the library.
template <typename F>
int guarded(F&& body) noexcept {
  int rc;
  try {
    rc = body();
  } catch (const std::bad_alloc&) {
    rc = kOutOfMemory;
  } catch (...) {
    setlasterror(-1, "zmr: An unexpected internal error occured.\n");
    rc = kOutOfMemory;
  }
  endcall();
  return rc;
}

// malloc'ed NUL-terminated copy for the caller (released with zmr_free).
int handout(const std::string& text, char** out);
int handout(const std::optional<std::string>& text, char** out);
int handout(const SecretString& text, char** out);
int handout(const std::vector<unsigned char>& bytes, unsigned char** out, uint64_t* length);

}  // namespace zmr
