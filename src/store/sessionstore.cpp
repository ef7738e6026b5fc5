#include "store/sessionstore.h"

#include <array>
#include <cstring>
#include <mutex>

#include "misc/status.h"

namespace zmr {
namespace {

std::array<Session, kMaxSessions> tables;
std::array<std::atomic<bool>, kMaxSessions> inuse{};

// Number lists; changed only by opening, closing and shut-down.
std::mutex listsmutex;
std::vector<int> sessionsInUse;      // in the order handed out
std::vector<int> availableSessions;  // released numbers, last released at the back
int currentsession = -1;

SessionCloser closer = nullptr;

bool valid(int session) {
  return session >= 0 && session < kMaxSessions && inuse[session].load(std::memory_order_acquire);
}

void clear(Session& s) {
  s.properties.clear();
  s.properties.shrink_to_fit();
  s.signkey.reset();
  s.authkey.reset();
  s.signcert.reset();
  s.authcert.reset();
  s.cacerts.reset();
  s.hsm_signkeyslabel.reset();
  s.hsm_authkeyslabel.reset();
  s.slotid.store(0);
  s.hsm_sessioncontext.store(0);
  s.hsm_pkcs11password.wipe();
  s.environment = 0;
  s.ravud_ssl_context.reset();
  s.va_ssl_context.reset();
  s.tagserver_ssl_context.reset();
  s.services_ssl_context.reset();
  s.sdm_ssl_context.reset();
  s.verifierkeyready.store(false);
  s.verifierkey.reset();
  s.verifierkeyhandle.store(0);
  s.truststore.reset();
}

// Hands out the object a table holds, or the table's own code when empty.
template <typename T, typename Ptr>
int handout(int session, Ptr Session::*table, T** out, int emptycode) {
  if (!valid(session)) return 2009;
  const Ptr& p = tables[session].*table;
  if (!p) return emptycode;
  *out = p.get();
  return kOk;
}

}  // namespace

int checksessionvalidity(int session) { return valid(session) ? kOk : 2009; }

Session* sessiontables(int session) { return valid(session) ? &tables[session] : nullptr; }

int getsdmsslcontext(int s, SSL_CTX** out) { return handout(s, &Session::sdm_ssl_context, out, 2027); }
int getservicessslcontext(int s, SSL_CTX** out) { return handout(s, &Session::services_ssl_context, out, 2027); }
int getvasslcontext(int s, SSL_CTX** out) { return handout(s, &Session::va_ssl_context, out, 2027); }
int getmgmfesslcontext(int s, SSL_CTX** out) { return handout(s, &Session::ravud_ssl_context, out, 2027); }
int gettagserversslcontext(int s, SSL_CTX** out) { return handout(s, &Session::tagserver_ssl_context, out, 2027); }
int getsignkey(int s, EVP_PKEY** out) { return handout(s, &Session::signkey, out, 2039); }
int getauthkey(int s, EVP_PKEY** out) { return handout(s, &Session::authkey, out, 2040); }
int getsigncert(int s, X509** out) { return handout(s, &Session::signcert, out, 2041); }
int getauthcert(int s, X509** out) { return handout(s, &Session::authcert, out, 2043); }
int getcacerts(int s, STACK_OF(X509) * *out) { return handout(s, &Session::cacerts, out, 2044); }
int getverifierkey(int s, EVP_PKEY** out) {
  if (!valid(s)) return 2009;
  if (!tables[s].verifierkeyready.load(std::memory_order_acquire)) return 2042;
  *out = tables[s].verifierkey.get();
  return kOk;
}
int gettruststore(int s, X509_STORE** out) { return handout(s, &Session::truststore, out, 2026); }
int getverifierkeyhandle(int s, uint64_t* out) {
  if (!valid(s)) return 2009;
  uint64_t handle = tables[s].verifierkeyhandle.load();
  if (handle == 0) return 2042;
  *out = handle;
  return kOk;
}
int gethsm_signkeylabel(int s, std::string& out) {
  if (!valid(s)) return 2009;
  if (!tables[s].hsm_signkeyslabel) return 2038;
  out = *tables[s].hsm_signkeyslabel;
  return kOk;
}
int gethsm_authkeylabel(int s, std::string& out) {
  if (!valid(s)) return 2009;
  if (!tables[s].hsm_authkeyslabel) return 2045;
  out = *tables[s].hsm_authkeyslabel;
  return kOk;
}
int getpkcs11password(int s, SecretString& out) {
  if (!valid(s)) return 2009;
  out.assign(tables[s].hsm_pkcs11password.value);
  return kOk;
}
int getenvironment(int s, int* out) {
  if (!valid(s)) return 2009;
  *out = tables[s].environment;
  return kOk;
}
int getslotid(int s, uint64_t* out) {
  if (!valid(s)) return 2009;
  *out = tables[s].slotid.load();
  return kOk;
}
int gethsm_sessioncontext(int s, uint64_t* out) {
  if (!valid(s)) return 2009;
  *out = tables[s].hsm_sessioncontext.load();
  return kOk;
}

int setverifierkey(int s, EvpPkeyPtr key) {
  if (!valid(s)) return 2009;
  Session& t = tables[s];
  // Readers hold the published key without a lock: it is never replaced.
  if (!key || t.verifierkeyready.load(std::memory_order_acquire)) return kBadArgument;
  t.verifierkey = std::move(key);
  t.verifierkeyready.store(true, std::memory_order_release);
  return kOk;
}
int setverifierkeyhandle(int s, uint64_t handle) {
  if (!valid(s)) return 2009;
  tables[s].verifierkeyhandle.store(handle);
  return kOk;
}
int setslotid(int s, uint64_t slot) {
  if (!valid(s)) return 2009;
  tables[s].slotid.store(slot);
  return kOk;
}
int sethsm_sessioncontext(int s, uint64_t handle) {
  if (!valid(s)) return 2009;
  tables[s].hsm_sessioncontext.store(handle);
  return kOk;
}
int setpkcs11password(int s, std::string_view text) {
  if (!valid(s)) return 2009;
  tables[s].hsm_pkcs11password.assign(text);
  return kOk;
}

int slotalreadyopened(int session, uint64_t slot, int* out) {
  *out = 0;
  if (!valid(session)) return 2009;
  for (int i = 0; i < kMaxSessions; ++i) {
    if (i == session || !valid(i)) continue;
    // Only a session that holds an HSM session keeps the slot logged in.
    if (tables[i].hsm_sessioncontext.load() != 0 && tables[i].slotid.load() == slot) {
      *out = 1;
      return kOk;
    }
  }
  return kOk;
}

int getreadableidhsm(int, const unsigned char* bytes, size_t length, std::string& out) {
  if (bytes == nullptr) return 2037;
  if (std::memchr(bytes, 0, length) != nullptr) return 2037;
  out.assign(reinterpret_cast<const char*>(bytes), length);
  return kOk;
}

int getmerchantkeysize(int s, int64_t* out) {
  if (!valid(s)) return 2009;
  *out = 0;
  X509* cert = tables[s].authcert.get();
  if (cert == nullptr) return kOk;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key != nullptr) *out = static_cast<int64_t>(EVP_PKEY_get_size(key)) * 8;
  return kOk;
}

int getSessionId() {
  std::lock_guard<std::mutex> lock(listsmutex);
  int number;
  if (!availableSessions.empty()) {
    number = availableSessions.back();
    availableSessions.pop_back();
  } else if (currentsession >= kMaxSessions - 1) {
    return kMaxSessions;
  } else {
    number = ++currentsession;
  }
  sessionsInUse.push_back(number);
  inuse[number].store(true, std::memory_order_release);
  return number;
}

void freeSessionId(int number) {
  std::lock_guard<std::mutex> lock(listsmutex);
  for (auto it = sessionsInUse.begin(); it != sessionsInUse.end(); ++it) {
    if (*it == number) {
      sessionsInUse.erase(it);
      inuse[number].store(false, std::memory_order_release);
      availableSessions.push_back(number);
      return;
    }
  }
}

void freesession(int session) {
  if (!valid(session)) return;
  clear(tables[session]);
  freeSessionId(session);
}

void freeSessions() {
  std::vector<int> open;
  {
    std::lock_guard<std::mutex> lock(listsmutex);
    open = sessionsInUse;
  }
  for (int number : open) {
    if (closer != nullptr) closer(number);
    freesession(number);  // whatever closing reported, nothing stays behind
  }
  std::lock_guard<std::mutex> lock(listsmutex);
  for (int number : sessionsInUse) inuse[number].store(false);
  sessionsInUse.clear();
  availableSessions.clear();
  currentsession = -1;
}

void setsessioncloser(SessionCloser c) { closer = c; }

}  // namespace zmr
