#include "store/sessionstore.h"

#include <algorithm>
#include <array>
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
// pointer, never while a state is used or freed.
struct alignas(64) Slot {
  std::mutex mutex;
  SessionRef state;
};

Slot* slots() {
  static Slot* const table = new Slot[kMaxSessions];
  return table;
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
  Slot& slot = slots()[number];
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.state) return kNoSession;
  out = slot.state;
  return kOk;
}

int checksessionvalidity(int number) {
  if (number < 0 || number >= kMaxSessions) return kNoSession;
  Slot& slot = slots()[number];
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.state ? kOk : kNoSession;
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
  published_ = true;
}

int getsdmsslcontext(const Session& s, SSL_CTX** out) { return handout(s, &Session::sdm_ssl_context, out, kNoTlsContext); }
int getservicessslcontext(const Session& s, SSL_CTX** out) {
  return handout(s, &Session::services_ssl_context, out, kNoTlsContext);
}
int getvasslcontext(const Session& s, SSL_CTX** out) { return handout(s, &Session::va_ssl_context, out, kNoTlsContext); }
int getmgmfesslcontext(const Session& s, SSL_CTX** out) { return handout(s, &Session::ravud_ssl_context, out, kNoTlsContext); }
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
  std::lock_guard<std::mutex> lock(slot.mutex);
  return std::move(slot.state);
}

void restoresession(SessionRef state) {
  Slot& slot = slots()[state->number];
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.state = std::move(state);
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
