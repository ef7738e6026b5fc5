#include "store/threadstore.h"

#include <limits.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <new>
#include <utility>

#include "misc/secret.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

// Threads write these whenever they take or give back a slot, which on the
// main road is every few calls. Each has a cache line of its own: beside
// the store's key or the session table, which every call reads, each write
// would take that line away from every other core.
struct alignas(64) SlotCount {
  std::atomic<int> n{0};
};
static_assert(sizeof(SlotCount) == 64);
SlotCount infoslots;
SlotCount errorslots;

bool claim(SlotCount& counter) {
  if (counter.n.fetch_add(1, std::memory_order_relaxed) >= kMaxThreadSlots) {
    counter.n.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

// Values are the client's and the merchant's texts, the transaction's base
// key among them: they are wiped when the item goes, at removal or at the
// thread's end. Items never move once made (the store is a deque), so no
// copy of a value is left in a block the store gave back.
struct InfoItem {
  InfoItem(std::string_view k, std::string_view v) : key(k), lower(tolower_ascii(k)), value(v) {}
  std::string key;    // as pushed
  std::string lower;  // for the case-insensitive lookups
  SecretString value;
};

// How many times a thread's key destructors may run: glibc and musl stop
// after this many rounds, whatever is still set.
constexpr unsigned kExitRounds = PTHREAD_DESTRUCTOR_ITERATIONS;

struct ThreadStore {
  bool errorslot = false;
  std::string recenterror;
  // A line of the current error was dropped (no memory, or no slot): later
  // lines are dropped too, so that what is read is always the error's first
  // lines, never lines with a hole.
  bool errorcut = false;
  bool infoslot = false;
  std::deque<InfoItem> items;
  std::unique_ptr<document> documents;
  // Exit-time destructor rounds this thread had been through when the store
  // was made or last kept, and whether anything used it since.
  unsigned rounds = 0;
  bool used = true;
  ThreadSlot certcache;

  ThreadStore() = default;
  ThreadStore(const ThreadStore&) = delete;
  ThreadStore& operator=(const ThreadStore&) = delete;
  ~ThreadStore() {
    if (certcache.release != nullptr) certcache.release(certcache.value);
    if (errorslot) errorslots.n.fetch_sub(1, std::memory_order_relaxed);
    if (infoslot) infoslots.n.fetch_sub(1, std::memory_order_relaxed);
  }
};

// The store lives behind a pthread key rather than in a C++ thread_local:
// thread_local objects die before the thread's key destructors and, in the
// main thread, before atexit handlers, both of which may still call us; and
// registering a thread_local destructor aborts the process when it cannot
// allocate.
//
// A key's value is null (the thread never called us), a marker (no store,
// the number of exit rounds seen so far) or the thread's store. Once any
// call was made the key stays set, so our destructor sees every round. It
// keeps the store through a round while something still uses it (the
// thread's other destructors may run after ours) and frees it at the last
// round at the latest; a store made after that is freed when the call that
// made it returns (endcall). The round count is exact for a thread that
// called us before it began to end; for one whose first call comes from a
// destructor it may lag, and the use rule then frees the store once the
// calls stop.
pthread_key_t storekey;
std::atomic<bool> haskey{false};
pthread_mutex_t keylock = PTHREAD_MUTEX_INITIALIZER;

// A marker also carries the store's errorcut, for a line dropped because no
// store could be made.
void* marker(unsigned rounds, bool cut = false) {
  return reinterpret_cast<void*>((std::uintptr_t{rounds} << 1 | std::uintptr_t{cut}) + 1);
}
bool ismarker(void* v) { return reinterpret_cast<std::uintptr_t>(v) - 1 <= (std::uintptr_t{kExitRounds} << 1 | 1); }
unsigned markerrounds(void* v) { return static_cast<unsigned>((reinterpret_cast<std::uintptr_t>(v) - 1) >> 1); }
bool markercut(void* v) { return ((reinterpret_cast<std::uintptr_t>(v) - 1) & 1) != 0; }

void threadexiting(void* v) {
  unsigned rounds;
  if (ismarker(v)) {
    rounds = markerrounds(v) + 1;
  } else {
    auto* s = static_cast<ThreadStore*>(v);
    rounds = ++s->rounds;
    bool keep = rounds < kExitRounds && s->used;
    s->used = false;
    if (keep && pthread_setspecific(storekey, s) == 0) return;
    delete s;
  }
  pthread_setspecific(storekey, marker(std::min(rounds, kExitRounds)));
}

bool ensurekey() {
  if (haskey.load(std::memory_order_acquire)) return true;
  pthread_mutex_lock(&keylock);
  // A failed creation is not remembered: the next call tries again.
  if (!haskey.load(std::memory_order_relaxed) && pthread_key_create(&storekey, threadexiting) == 0)
    haskey.store(true, std::memory_order_release);
  pthread_mutex_unlock(&keylock);
  return haskey.load(std::memory_order_relaxed);
}

// The calling thread's store, or null when it has none.
ThreadStore* existing() {
  if (!ensurekey()) return nullptr;
  void* v = pthread_getspecific(storekey);
  if (v == nullptr) {
    pthread_setspecific(storekey, marker(0));  // only to count exit rounds; may fail harmlessly
    return nullptr;
  }
  if (ismarker(v)) return nullptr;
  auto* s = static_cast<ThreadStore*>(v);
  s->used = true;
  return s;
}

// The calling thread's store, made when it has none; null when that fails
// for want of memory.
ThreadStore* current() {
  if (ThreadStore* s = existing()) return s;
  if (!haskey.load(std::memory_order_acquire)) return nullptr;
  void* v = pthread_getspecific(storekey);
  auto* s = new (std::nothrow) ThreadStore;
  if (s == nullptr) return nullptr;
  s->rounds = v == nullptr ? 0 : markerrounds(v);
  s->errorcut = v != nullptr && markercut(v);
  if (pthread_setspecific(storekey, s) != 0) {
    delete s;
    return nullptr;
  }
  return s;
}

bool claiminfo(ThreadStore& s) {
  if (!s.infoslot) s.infoslot = claim(infoslots);
  return s.infoslot;
}

}  // namespace

document::~document() {
  while (next) {
    std::unique_ptr<document> rest = std::move(next->next);
    next = std::move(rest);
  }
}

void endcall() {
  if (!haskey.load(std::memory_order_acquire)) return;
  void* v = pthread_getspecific(storekey);
  if (v == nullptr || (ismarker(v) ? markerrounds(v) : static_cast<ThreadStore*>(v)->rounds) < kExitRounds) return;
  // The thread's destructor rounds are over: nothing would free what this
  // call left behind, ours or OpenSSL's.
  if (!ismarker(v)) {
    delete static_cast<ThreadStore*>(v);
    pthread_setspecific(storekey, marker(kExitRounds));
  }
  OPENSSL_thread_stop();
}

ThreadSlotCounts threadslotcounts() {
  return {infoslots.n.load(std::memory_order_relaxed), errorslots.n.load(std::memory_order_relaxed)};
}

int setlasterror(int, std::string_view message) {
  ThreadStore* s = current();
  if (s == nullptr) {
    if (void* v = haskey.load(std::memory_order_acquire) ? pthread_getspecific(storekey) : nullptr; ismarker(v))
      pthread_setspecific(storekey, marker(markerrounds(v), true));
    return kOk;
  }
  if (s->errorcut) return kOk;
  bool claimed = false;
  if (!s->errorslot) {
    if (!claim(errorslots)) {
      s->errorcut = true;
      return kOk;
    }
    s->errorslot = claimed = true;
  }
  try {
    s->recenterror.append(message);
  } catch (const std::bad_alloc&) {
    // The message is dropped; what was there stays.
    s->errorcut = true;
    if (claimed) {
      s->errorslot = false;
      errorslots.n.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  return kOk;
}

int fail(int code, std::string_view line) {
  setlasterror(-1, line);
  return code;
}

int fail(int code, const Where& at, std::string_view text) {
  try {
    std::string line;
    line.reserve(at.prefix.size() + text.size() + 1);
    line.append(at.prefix).append(text);
    if (at.endline) line.push_back('\n');
    setlasterror(-1, line);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return code;
}

int getlasterror(int, std::optional<std::string>& out) {
  out.reset();
  ThreadStore* s = existing();
  if (s == nullptr) {
    if (void* v = haskey.load(std::memory_order_acquire) ? pthread_getspecific(storekey) : nullptr; ismarker(v))
      pthread_setspecific(storekey, marker(markerrounds(v)));
  } else {
    s->errorcut = false;
  }
  if (s != nullptr && s->errorslot) {
    out = std::move(s->recenterror);
    s->recenterror = std::string();
    s->errorslot = false;
    errorslots.n.fetch_sub(1, std::memory_order_relaxed);
  }
  ERR_clear_error();
  return kOk;
}

const std::string* peeklasterror() {
  ThreadStore* s = existing();
  return s != nullptr && s->errorslot ? &s->recenterror : nullptr;
}

int pushinfoitem(int session, std::string_view key, std::string_view value) {
  if (checksessionvalidity(session) != 0) return kNoSession;
  ThreadStore* s = current();
  if (s == nullptr) return kOutOfMemory;
  if (!claiminfo(*s)) return kNoThreadSlot;
  if (s->items.size() >= static_cast<size_t>(kMaxInfoItems)) return kTooManyItems;
  s->items.emplace_back(key, value);
  return kOk;
}

int popinfoitem(int session, std::string_view key, std::string& out) {
  if (checksessionvalidity(session) != 0) return kNoSession;
  ThreadStore* s = existing();
  if (s == nullptr || !s->infoslot) return kNotFound;
  std::string lower = tolower_ascii(key);
  for (const InfoItem& item : s->items) {
    if (item.lower == lower) {
      out.assign(item.value.view());
      return kOk;
    }
  }
  return kNotFound;
}

int wildcard_countinfoitems(int session, std::string_view pattern, int* out) {
  *out = 0;
  if (checksessionvalidity(session) != 0) return kNoSession;
  ThreadStore* s = existing();
  if (s == nullptr || !s->infoslot || s->items.empty()) return kNotFound;
  std::string lower = tolower_ascii(pattern);
  int count = 0;
  for (const InfoItem& item : s->items) {
    if (item.lower.find(lower) != std::string::npos) ++count;
  }
  *out = count;
  return kNotFound;  // the normal result: callers accept 0 and 2022
}

int wildcard_popinfoitem(int session, std::string_view pattern, int n, std::string& key, std::string& value) {
  if (checksessionvalidity(session) != 0) return kNoSession;
  ThreadStore* s = existing();
  if (s == nullptr || !s->infoslot || s->items.empty() || n < 0) return kNotFound;
  std::string lower = tolower_ascii(pattern);
  int seen = 0;
  for (const InfoItem& item : s->items) {
    if (item.lower.find(lower) == std::string::npos) continue;
    if (seen++ == n) {
      key = item.lower;
      value.assign(item.value.view());
      return kOk;
    }
  }
  return kNotFound;
}

int removeallinfoitems(int session) {
  if (checksessionvalidity(session) != 0) return kNoSession;
  ThreadStore* s = existing();
  if (s == nullptr || !s->infoslot) return kOk;
  std::deque<InfoItem>().swap(s->items);
  s->documents.reset();
  s->infoslot = false;
  infoslots.n.fetch_sub(1, std::memory_order_relaxed);
  return kOk;
}

size_t countinfoitems() {
  ThreadStore* s = existing();
  return s == nullptr || !s->infoslot ? 0 : s->items.size();
}

void dropinfoitemsafter(size_t count) {
  ThreadStore* s = existing();
  if (s == nullptr || !s->infoslot) return;
  while (s->items.size() > count) s->items.pop_back();
}

ThreadSlot* certcacheslot() {
  ThreadStore* s = current();
  return s == nullptr ? nullptr : &s->certcache;
}

int getdocuments(int session, document** out) {
  if (checksessionvalidity(session) != 0) return kNoSession;
  ThreadStore* s = current();
  if (s == nullptr) return kOutOfMemory;
  if (!claiminfo(*s)) return kNoThreadSlot;
  if (!s->documents) s->documents = std::make_unique<document>();
  *out = s->documents.get();
  return kOk;
}

}  // namespace zmr
