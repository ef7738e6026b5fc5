// What the library keeps per calling thread: the recent error, the info
// items and the document list.
//
// The stores are the thread's own: they take no process-wide lock and live
// until the thread really ends, so calls from the thread's exit destructors
// (C++ thread_local and pthread keys) and, in the main thread, from atexit
// handlers find them; a new thread that the system gives a dead thread's id
// starts empty. At most 10000 threads hold info items (2032); at most 10000
// hold a recent error (further messages are dropped). Making a thread's
// store can fail for want of memory (33001); the recent error then drops
// the message.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zmr {

inline constexpr int kMaxInfoItems = 500;
inline constexpr int kMaxThreadSlots = 10000;

// One record of the thread's document list. Fields are empty (nullopt) until
// filled.
struct document {
  std::optional<std::string> content;
  std::optional<std::string> xsl;
  std::optional<std::string> mimetype;
  std::optional<std::string> description;
  std::optional<std::string> signeddata;
  std::optional<std::string> merchantpkcs7;
  std::optional<std::string> clientpkcs7;
  std::optional<std::string> ocsp;
  std::optional<std::string> fullocsp;
  std::unique_ptr<document> next;

  document() = default;
  document(const document&) = delete;
  document& operator=(const document&) = delete;
  ~document();  // iterative, so a long list cannot exhaust the stack
};

// Appends message verbatim to the calling thread's recent error. Works for
// any session number. Never fails (a full thread table drops the message).
int setlasterror(int session, std::string_view message);
// Hands over and clears the thread's recent error (nullopt when none), and
// clears the thread's OpenSSL error queue. Works for any session number.
int getlasterror(int session, std::optional<std::string>& out);
// Peek without clearing (tests, and operations that add to it).
const std::string* peeklasterror();

// The one way a step fails: adds its line to the recent error and returns
// code, so that failing is one statement (`return fail(kX, kAt, "...")`).
int fail(int code, std::string_view line);
// Where a line comes from: the prefix every line of a function starts with
// ("getcertstatus_getocspresponse: "), and whether the text still needs its
// line feed.
struct Where {
  std::string_view prefix;
  bool endline = false;
};
// The line prefix + text (+ "\n"). 33001 instead of code when the line
// cannot be made.
int fail(int code, const Where& at, std::string_view text);

// Info items: 2009 invalid session, 2022 not found, 2023 item limit,
// 2032 thread limit, 27001 absent key.
int pushinfoitem(int session, std::string_view key, std::string_view value);
int popinfoitem(int session, std::string_view key, std::string& out);
int wildcard_countinfoitems(int session, std::string_view pattern, int* out);
int wildcard_popinfoitem(int session, std::string_view pattern, int n, std::string& key, std::string& value);
int removeallinfoitems(int session);
// The number of the thread's info items, and the undoing of every push made
// after that count was taken (0 when nothing is stored or nothing to undo).
size_t countinfoitems();
void dropinfoitemsafter(size_t count);
// Head of the thread's document list, created empty when there is none.
int getdocuments(int session, document** out);

// Called when an exported function returns: on a thread whose exit
// destructors have all run, frees what the call made in the thread's store.
void endcall();

// Threads now holding an info slot and an error slot.
struct ThreadSlotCounts {
  int info;
  int error;
};
ThreadSlotCounts threadslotcounts();

// A slot of the calling thread's store for a lower tool's own per-thread
// state, whose type the store does not know: the tool sets value and
// release, and the store calls release(value) when it frees itself at the
// thread's end. Null when the thread's store cannot be made.
struct ThreadSlot {
  void* value = nullptr;
  void (*release)(void*) = nullptr;
};
ThreadSlot* certcacheslot();

}  // namespace zmr
