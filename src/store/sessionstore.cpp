#include "store/sessionstore.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <span>

#include "misc/status.h"

namespace zmr {
namespace {

// The tables below live until the process ends and are never destroyed: a
// destructor run at exit would free OpenSSL objects after OpenSSL's own
// clean-up, and a session still open then is the host's to leave.

// One number's published state. The lock is held only to copy or swap the
// pointer, never while a state is used or freed. The generation tells the
// callers without the lock: it grows by one at every publish and every take,
// so it is odd while a state is published, and a thread's cached view of the
// number is current only while it holds the same generation.
struct alignas(64) Slot {
  std::mutex mutex;
  SessionRef state;
  std::atomic<uint64_t> generation{0};
};

Slot* slots() {
  static Slot* const table = new Slot[kMaxSessions];
  return table;
}

// Taking a session on the call path writes nothing another thread writes.
// Each thread owns a record of the few sessions it used last: an entry holds
// one strong reference to the state (taken once, at the slot's lock) and
// hands out references of its own, whose count only the thread's own
// copies touch and whose block lives in the entry. When an entry's last
// handed-out reference goes, or when the session closes while the entry is
// idle, the entry lets its strong reference go; closing never waits for
// users, and the state is freed by whoever drops the last strong reference,
// as before. Every field of an entry is guarded by its record's lock, which
// in the normal course only its thread takes: a closer takes it once per
// record, and so does the release of a reference carried to another thread.
// Records live until the process ends and pass to a new thread when theirs
// ends; without one (too many threads, no memory) a call takes the slot's
// lock and the state's own count, as before.
constexpr int kEntries = 4;
constexpr int kMaxRecords = 1024;
constexpr size_t kBlockSize = 96;

struct Record;

struct Entry {
  int number = -1;
  uint64_t generation = 0;
  uint64_t instance = 0;  // changes whenever the entry is filled or emptied
  SessionRef strong;
  std::weak_ptr<Session> handedout;
  // From handing out until the release has run: an entry is idle, and may
  // let its strong reference go, only when this is false. (A count of zero
  // seen through handedout would not order the users' last reads before
  // the state's end; the release's pass through the lock does.)
  bool inuse = false;
  // The block of the handed-out references' count; freed (false) by
  // whichever thread drops the block last.
  alignas(std::max_align_t) unsigned char block[kBlockSize];
  std::atomic<bool> blockinuse{false};
};

struct Record {
  std::mutex mutex;
  Entry entries[kEntries];
  uint64_t instances = 0;
  Record* nextfree = nullptr;
};

// Hands out the entry's block: the only allocation of a handed-out
// reference, made once it is known to be free.
template <typename T>
struct BlockAllocator {
  using value_type = T;
  Entry* entry;
  explicit BlockAllocator(Entry* e) : entry(e) {}
  template <typename U>
  BlockAllocator(const BlockAllocator<U>& other) : entry(other.entry) {}
  T* allocate(size_t) {
    static_assert(sizeof(T) <= kBlockSize && alignof(T) <= alignof(std::max_align_t));
    entry->blockinuse.store(true, std::memory_order_relaxed);
    return reinterpret_cast<T*>(entry->block);
  }
  void deallocate(T*, size_t) { entry->blockinuse.store(false, std::memory_order_release); }
  template <typename U>
  bool operator==(const BlockAllocator<U>& other) const {
    return entry == other.entry;
  }
};

void lethandedoutgo(Record* record, Entry* entry, uint64_t instance) noexcept;

struct HandedOutRelease {
  Record* record;
  Entry* entry;
  uint64_t instance;
  void operator()(Session*) const noexcept { lethandedoutgo(record, entry, instance); }
};

// Empties an idle entry; its strong reference goes to out, for the caller
// to drop once the record's lock is released.
void emptyentry(Record& r, Entry& e, SessionRef& out) {
  out = std::move(e.strong);
  e.handedout.reset();
  e.inuse = false;
  e.number = -1;
  e.generation = 0;
  e.instance = ++r.instances;
}

bool current(const Entry& e) {
  return e.strong && e.generation == slots()[e.number].generation.load(std::memory_order_acquire);
}

// The last handed-out reference of an entry went: the entry stays as a
// cache while its session is published, else lets the state go.
void lethandedoutgo(Record* record, Entry* entry, uint64_t instance) noexcept {
  SessionRef dropped;  // destroyed after the lock: it may be the state's last reference
  std::lock_guard<std::mutex> lock(record->mutex);
  if (entry->instance != instance) return;
  entry->inuse = false;
  if (current(*entry)) return;
  emptyentry(*record, *entry, dropped);
}

struct Records {
  std::mutex mutex;
  Record* all[kMaxRecords] = {};
  int count = 0;
  Record* spare = nullptr;  // records of ended threads
  pthread_key_t key;
  bool haskey = false;
};

Records& records() {
  static Records& r = *new Records();
  return r;
}

void recordexiting(void* v) {
  auto* record = static_cast<Record*>(v);
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  record->nextfree = r.spare;
  r.spare = record;
}

std::atomic<bool> recordkeyready{false};

// The calling thread's record, null when it cannot have one.
Record* threadrecord() {
  Records& r = records();
  if (!recordkeyready.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.haskey) r.haskey = pthread_key_create(&r.key, recordexiting) == 0;
    if (!r.haskey) return nullptr;
    recordkeyready.store(true, std::memory_order_release);
  }
  if (void* v = pthread_getspecific(r.key)) return static_cast<Record*>(v);
  Record* record = nullptr;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.spare != nullptr) {
      record = r.spare;
      r.spare = record->nextfree;
    } else if (r.count < kMaxRecords) {
      record = new (std::nothrow) Record();
      if (record != nullptr) r.all[r.count++] = record;
    }
  }
  if (record != nullptr && pthread_setspecific(r.key, record) != 0) {
    recordexiting(record);
    return nullptr;
  }
  return record;
}

// After a take: every thread's idle entry of that publication lets its state
// go now; an entry in use does so when its last reference goes.
void revoke(int number, uint64_t generation) {
  Records& r = records();
  int count;
  {
    // The list only grows, and a record once listed stays.
    std::lock_guard<std::mutex> lock(r.mutex);
    count = r.count;
  }
  for (Record* record : std::span(r.all, count)) {
    for (Entry& e : record->entries) {
      SessionRef dropped;
      std::lock_guard<std::mutex> entrylock(record->mutex);
      if (e.number != number || e.generation != generation || e.inuse) continue;
      emptyentry(*record, e, dropped);
    }
  }
}

// Takes the state through the calling thread's record: kOk, kNoSession, or
// 1 when the record cannot serve (the caller takes the slot's lock). out
// comes in empty: nothing is dropped under the record's lock that could
// need it.
int usethroughrecord(int number, SessionRef& out) {
  Record* record = threadrecord();
  if (record == nullptr) return 1;
  Slot& slot = slots()[number];
  SessionRef dropped;  // destroyed after the lock
  std::lock_guard<std::mutex> lock(record->mutex);
  uint64_t generation = slot.generation.load(std::memory_order_acquire);
  if ((generation & 1) == 0) return kNoSession;
  Entry* chosen = nullptr;
  for (Entry& e : record->entries) {
    if (e.number == number && e.generation == generation && e.strong) {
      if (e.inuse) {
        // Shares the references in use; none while the last one's release
        // is still on its way.
        if (SessionRef live = e.handedout.lock()) {
          out = std::move(live);
          return kOk;
        }
        return 1;
      }
      chosen = &e;
      break;
    }
  }
  if (chosen == nullptr) {
    // An empty entry, else one idle of a closed session, else any idle one.
    for (Entry& e : record->entries) {
      if (e.inuse) continue;
      if (chosen == nullptr || !e.strong || (chosen->strong && !current(e))) chosen = &e;
    }
    if (chosen == nullptr) return 1;
    SessionRef state;
    {
      std::lock_guard<std::mutex> slotlock(slot.mutex);
      if (!slot.state) return kNoSession;
      state = slot.state;
      generation = slot.generation.load(std::memory_order_relaxed);
    }
    emptyentry(*record, *chosen, dropped);
    chosen->strong = std::move(state);
    chosen->number = number;
    chosen->generation = generation;
  }
  chosen->handedout.reset();  // frees the block unless a release elsewhere still holds it
  if (chosen->blockinuse.load(std::memory_order_acquire)) return 1;
  SessionRef handed(chosen->strong.get(), HandedOutRelease{record, chosen, chosen->instance},
                    BlockAllocator<Session>(chosen));
  chosen->handedout = handed;
  chosen->inuse = true;
  out = std::move(handed);
  return kOk;
}

// Number lists; changed only by opening, closing and shut-down. Room for
// every number is made up front, so moving one never allocates.
struct Numbers {
  Numbers() {
    sessionsInUse.reserve(kMaxSessions);
    availableSessions.reserve(kMaxSessions);
  }
  std::mutex mutex;
  std::vector<int> sessionsInUse;      // in the order handed out
  std::vector<int> availableSessions;  // released numbers, last released at the back
  int currentsession = -1;
};

Numbers& numbers() {
  static Numbers& n = *new Numbers();
  return n;
}

// Every live state that holds an HSM session, published or not: a closed
// session still in use keeps its slot logged in until its last user goes.
struct HsmStates {
  std::mutex mutex;
  std::vector<const Session*> states;
};

HsmStates& hsmstates() {
  static HsmStates& h = *new HsmStates();
  return h;
}

std::atomic<SessionCloser> closer{nullptr};
std::atomic<SessionRelease> releaser{nullptr};

void releasestate(Session* s) noexcept {
  if (s->hsm_sessioncontext.load() != 0) {
    try {
      if (SessionRelease release = releaser.load(); release != nullptr) release(*s);
    } catch (...) {
      // Out of memory for a recent-error line: the state goes all the same.
    }
  }
  delete s;
}

// Hands out what a table holds, or the table's own code when empty.
template <typename T, typename Ptr>
int handout(const Session& s, Ptr Session::*table, T** out, int emptycode) {
  const Ptr& p = s.*table;
  if (!p) return emptycode;
  *out = p.get();
  return kOk;
}

}  // namespace

Session::~Session() {
  if (hsm_sessioncontext.load() != 0) {
    HsmStates& h = hsmstates();
    std::lock_guard<std::mutex> lock(h.mutex);
    std::erase(h.states, this);
  }
  EVP_PKEY_free(verifierkey.load());
}

int usesession(int number, SessionRef& out) {
  if (number < 0 || number >= kMaxSessions) return kNoSession;
  // What out held is dropped after every lock: it may be a reference
  // handed out here, whose release takes its record's lock.
  SessionRef taken;
  int rc = usethroughrecord(number, taken);
  if (rc == 1) {
    Slot& slot = slots()[number];
    std::lock_guard<std::mutex> lock(slot.mutex);
    rc = slot.state ? kOk : kNoSession;
    taken = slot.state;
  }
  if (rc == kOk) out = std::move(taken);
  return rc;
}

int checksessionvalidity(int number) {
  if (number < 0 || number >= kMaxSessions) return kNoSession;
  return (slots()[number].generation.load(std::memory_order_acquire) & 1) != 0 ? kOk : kNoSession;
}

PendingSession::~PendingSession() {
  if (!state_ || published_) return;
  int n = state_->number;
  state_.reset();  // ends an HSM session first: the number is still ours
  freeSessionId(n);
}

int PendingSession::open() {
  int n = getSessionId();
  if (n >= kMaxSessions) return kNoSessionLeft;
  try {
    state_ = SessionRef(new Session(), releasestate);
  } catch (const std::bad_alloc&) {
    freeSessionId(n);
    return kOutOfMemory;
  }
  state_->number = n;
  return kOk;
}

void PendingSession::publish() {
  Slot& slot = slots()[state_->number];
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.state = state_;
  slot.generation.fetch_add(1, std::memory_order_release);
  published_ = true;
}

int getsdmsslcontext(const Session& s, SSL_CTX** out) {
  return handout(s, &Session::sdm_ssl_context, out, kNoTlsContext);
}
int getservicessslcontext(const Session& s, SSL_CTX** out) {
  return handout(s, &Session::services_ssl_context, out, kNoTlsContext);
}
int getvasslcontext(const Session& s, SSL_CTX** out) {
  return handout(s, &Session::va_ssl_context, out, kNoTlsContext);
}
int getmgmfesslcontext(const Session& s, SSL_CTX** out) {
  return handout(s, &Session::ravud_ssl_context, out, kNoTlsContext);
}
int gettagserversslcontext(const Session& s, SSL_CTX** out) {
  return handout(s, &Session::tagserver_ssl_context, out, kNoTlsContext);
}
int getsignkey(const Session& s, EVP_PKEY** out) { return handout(s, &Session::signkey, out, kNoSignKey); }
int getauthkey(const Session& s, EVP_PKEY** out) { return handout(s, &Session::authkey, out, kNoAuthKey); }
int getsigncert(const Session& s, X509** out) { return handout(s, &Session::signcert, out, kNoSignCert); }
int getauthcert(const Session& s, X509** out) { return handout(s, &Session::authcert, out, kNoAuthCert); }
int getcacerts(const Session& s, STACK_OF(X509) * *out) { return handout(s, &Session::cacerts, out, kNoCaCerts); }
int gettruststore(const Session& s, X509_STORE** out) { return handout(s, &Session::truststore, out, kTruststore); }
int getverifierkey(const Session& s, EVP_PKEY** out) {
  EVP_PKEY* key = s.verifierkey.load(std::memory_order_acquire);
  if (key == nullptr) return kNoVerifierKey;
  *out = key;
  return kOk;
}
int getverifierkeyhandle(const Session& s, uint64_t* out) {
  uint64_t handle = s.verifierkeyhandle.load();
  if (handle == 0) return kNoVerifierKey;
  *out = handle;
  return kOk;
}
int gethsm_signkeylabel(const Session& s, std::string& out) {
  if (!s.hsm_signkeyslabel) return kNoSignLabel;
  out = *s.hsm_signkeyslabel;
  return kOk;
}
int gethsm_authkeylabel(const Session& s, std::string& out) {
  if (!s.hsm_authkeyslabel) return kNoAuthLabel;
  out = *s.hsm_authkeyslabel;
  return kOk;
}
int getpkcs11password(const Session& s, SecretString& out) {
  out.assign(s.hsm_pkcs11password.value);
  return kOk;
}
int getenvironment(const Session& s, int* out) {
  *out = s.environment;
  return kOk;
}
int getslotid(const Session& s, uint64_t* out) {
  *out = s.slotid.load();
  return kOk;
}
int gethsm_sessioncontext(const Session& s, uint64_t* out) {
  *out = s.hsm_sessioncontext.load();
  return kOk;
}

int setverifierkey(Session& s, EvpPkeyPtr key) {
  // Readers hold the published key without a lock: it is never replaced.
  EVP_PKEY* expected = nullptr;
  if (!key || !s.verifierkey.compare_exchange_strong(expected, key.get(), std::memory_order_acq_rel))
    return kBadArgument;
  key.release();
  return kOk;
}
int setverifierkeyhandle(Session& s, uint64_t handle) {
  s.verifierkeyhandle.store(handle);
  return kOk;
}
int setslotid(Session& s, uint64_t slot) {
  s.slotid.store(slot);
  return kOk;
}
int sethsm_sessioncontext(Session& s, uint64_t handle) {
  HsmStates& h = hsmstates();
  std::lock_guard<std::mutex> lock(h.mutex);
  uint64_t old = s.hsm_sessioncontext.load();
  try {
    if (old == 0 && handle != 0) h.states.push_back(&s);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (old != 0 && handle == 0) std::erase(h.states, &s);
  s.hsm_sessioncontext.store(handle);
  return kOk;
}
int setpkcs11password(Session& s, std::string_view text) {
  s.hsm_pkcs11password.assign(text);
  return kOk;
}

int slotalreadyopened(const Session& s, uint64_t slot, int* out) {
  *out = 0;
  HsmStates& h = hsmstates();
  std::lock_guard<std::mutex> lock(h.mutex);
  for (const Session* other : h.states) {
    if (other != &s && other->slotid.load() == slot) {
      *out = 1;
      break;
    }
  }
  return kOk;
}

int getreadableidhsm(int, const unsigned char* bytes, size_t length, std::string& out) {
  if (bytes == nullptr) return kNoMerchantCert;
  if (std::memchr(bytes, 0, length) != nullptr) return kNoMerchantCert;
  out.assign(reinterpret_cast<const char*>(bytes), length);
  return kOk;
}

int getmerchantkeysize(const Session& s, int64_t* out) {
  *out = 0;
  X509* cert = s.authcert.get();
  if (cert == nullptr) return kOk;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key != nullptr) *out = static_cast<int64_t>(EVP_PKEY_get_size(key)) * 8;
  return kOk;
}

int getSessionId() {
  Numbers& n = numbers();
  std::lock_guard<std::mutex> lock(n.mutex);
  int number;
  if (!n.availableSessions.empty()) {
    number = n.availableSessions.back();
    n.availableSessions.pop_back();
  } else if (n.currentsession >= kMaxSessions - 1) {
    return kMaxSessions;
  } else {
    number = ++n.currentsession;
  }
  n.sessionsInUse.push_back(number);
  return number;
}

void freeSessionId(int number) {
  Numbers& n = numbers();
  std::lock_guard<std::mutex> lock(n.mutex);
  auto it = std::find(n.sessionsInUse.begin(), n.sessionsInUse.end(), number);
  if (it == n.sessionsInUse.end()) return;
  n.sessionsInUse.erase(it);
  n.availableSessions.push_back(number);
}

SessionRef takesession(int number) {
  if (number < 0 || number >= kMaxSessions) return nullptr;
  Slot& slot = slots()[number];
  SessionRef state;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.state) return nullptr;
    state = std::move(slot.state);
    generation = slot.generation.fetch_add(1, std::memory_order_release);
  }
  revoke(number, generation);
  return state;
}

void restoresession(SessionRef state) {
  Slot& slot = slots()[state->number];
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.state = std::move(state);
  slot.generation.fetch_add(1, std::memory_order_release);
}

void freesession(int number) {
  SessionRef state = takesession(number);
  state.reset();  // outside the slot's lock: it may end an HSM session
  freeSessionId(number);
}

void freeSessions() {
  Numbers& n = numbers();
  std::array<int, kMaxSessions> open;
  size_t count;
  {
    std::lock_guard<std::mutex> lock(n.mutex);
    count = n.sessionsInUse.size();
    std::copy(n.sessionsInUse.begin(), n.sessionsInUse.end(), open.begin());
  }
  for (int number : std::span(open.data(), count)) {
    if (SessionCloser close = closer.load(); close != nullptr) close(number);
    freesession(number);  // whatever closing reported, nothing stays behind
  }
  std::lock_guard<std::mutex> lock(n.mutex);
  n.sessionsInUse.clear();
  n.availableSessions.clear();
  n.currentsession = -1;
}

void setsessioncloser(SessionCloser c) { closer.store(c); }
void setsessionrelease(SessionRelease r) { releaser.store(r); }

}  // namespace zmr
