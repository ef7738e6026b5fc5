// Merchant sessions: numbers 0..999 and the state each open session owns.
//
// Using a session. An operation takes the session's state once, where it
// checks the number, and reads everything from that one reference until it
// returns:
//
//   SessionRef s;
//   if (int rc = usesession(number, s); rc != kOk) return rc;  // 2009
//   EVP_PKEY* key = nullptr;
//   if (int rc = getsignkey(*s, &key); rc != kOk) return rc;
//
// Functions below the operation take `const Session&` (or `Session&` to
// set something) rather than the number, and use `s.number` for the recent
// error and the per-thread stores. Whatever an accessor hands out belongs to
// the state: never free it; it stays valid while the reference is held.
//
// Closing takes the state off its number at once and never waits: the
// number may be handed out again straight away, operations in flight go on
// with the state they took, and whoever drops the last reference frees it
// (ending its HSM session then). So a call that starts after a close sees
// 2009 or the next session of that number, never a mix of two. Taking a
// reference or checking a number writes nothing that other threads write:
// the check is one load, and a thread takes a session through references
// of its own (see sessionstore.cpp); the state's own count moves only when
// a thread first takes a session and when the session closes. A reference
// may be handed to another thread and dropped there.
//
// Opening builds the state privately (PendingSession) and publishes it only
// when it is complete; a failed opening publishes nothing and gives its
// number back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "misc/ossl.h"
#include "misc/secret.h"

namespace zmr {

inline constexpr int kMaxSessions = 1000;
inline constexpr int kMaxProperties = 50;

// Property pairs. Values may be secrets (proxy credentials): every block
// that held one, the table's own included, is wiped when released.
using Property = std::pair<WipedString, WipedString>;
using Properties = std::vector<Property, WipingAllocator<Property>>;

// One merchant session. Everything but the fields marked otherwise is
// filled while the session is being opened and only read once published.
struct Session {
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  int number = -1;
  Properties properties;
  EvpPkeyPtr signkey;
  EvpPkeyPtr authkey;
  X509Ptr signcert;
  X509Ptr authcert;
  X509StackPtr cacerts;
  int environment = 0;
  std::optional<std::string> hsm_signkeyslabel;
  std::optional<std::string> hsm_authkeyslabel;
  SecretString hsm_pkcs11password;
  SslCtxPtr ravud_ssl_context;
  SslCtxPtr va_ssl_context;
  SslCtxPtr tagserver_ssl_context;
  SslCtxPtr services_ssl_context;
  SslCtxPtr sdm_ssl_context;
  // Trust store built from the truststore directory at opening; shared by
  // all threads' verifications of this session.
  X509StorePtr truststore;

  // May change while the session is in use: only through the setters.
  std::atomic<uint64_t> slotid{0};
  std::atomic<uint64_t> hsm_sessioncontext{0};
  std::atomic<uint64_t> verifierkeyhandle{0};
  // The central verifier key, loaded by the first decryption that needs it
  // (holding verifierkeyloading) and published once; owned, and only read
  // from then on.
  std::mutex verifierkeyloading;
  std::atomic<EVP_PKEY*> verifierkey{nullptr};
};

using SessionRef = std::shared_ptr<Session>;

// The state published under number, for the caller to hold: 0 or 2009.
int usesession(int number, SessionRef& out);
// 0 when number is open, else 2009 (for code that reads no state).
int checksessionvalidity(int number);

// A session being opened. open() reserves a number and makes an empty state
// that no one else sees; the loaders fill it; publish() makes it the
// number's session. A pending session that goes unpublished releases its
// state (ending an HSM session opened on it) and then gives its number back.
class PendingSession {
 public:
  PendingSession() = default;
  PendingSession(const PendingSession&) = delete;
  PendingSession& operator=(const PendingSession&) = delete;
  ~PendingSession();
  int open();  // 0, 2008 when every number is in use, or 33001
  Session& state() { return *state_; }
  int number() const { return state_ ? state_->number : -1; }
  void publish();

 private:
  SessionRef state_;
  bool published_ = false;
};

int getsdmsslcontext(const Session& s, SSL_CTX** out);
int getservicessslcontext(const Session& s, SSL_CTX** out);
int getvasslcontext(const Session& s, SSL_CTX** out);
int getmgmfesslcontext(const Session& s, SSL_CTX** out);
int gettagserversslcontext(const Session& s, SSL_CTX** out);
int getsignkey(const Session& s, EVP_PKEY** out);
int getauthkey(const Session& s, EVP_PKEY** out);
int getsigncert(const Session& s, X509** out);
int getauthcert(const Session& s, X509** out);
int getcacerts(const Session& s, STACK_OF(X509) * *out);
int getverifierkey(const Session& s, EVP_PKEY** out);
int getverifierkeyhandle(const Session& s, uint64_t* out);
int gettruststore(const Session& s, X509_STORE** out);  // 2026 when none
int gethsm_signkeylabel(const Session& s, std::string& out);
int gethsm_authkeylabel(const Session& s, std::string& out);
int getpkcs11password(const Session& s, SecretString& out);  // empty when none stored
int getenvironment(const Session& s, int* out);
int getslotid(const Session& s, uint64_t* out);
int gethsm_sessioncontext(const Session& s, uint64_t* out);

// Publishes the verifier key, once per session: 33002 (key dropped) when
// one is there already or key is null. Callers hold verifierkeyloading.
int setverifierkey(Session& s, EvpPkeyPtr key);
int setverifierkeyhandle(Session& s, uint64_t handle);
int setslotid(Session& s, uint64_t slot);
int sethsm_sessioncontext(Session& s, uint64_t handle);
// While opening only: the PIN is read without a lock.
int setpkcs11password(Session& s, std::string_view text);

// *out = 1 when another live session (open, or closed but still in use)
// holds an HSM session on this slot.
int slotalreadyopened(const Session& s, uint64_t slot, int* out);
// Key identifier bytes as an HSM label: exactly length bytes; 2037 when
// they hold a NUL. The session number is not looked at.
int getreadableidhsm(int session, const unsigned char* bytes, size_t length, std::string& out);
// Bits of the authentication certificate's public key, 0 without one.
int getmerchantkeysize(const Session& s, int64_t* out);

// Number lists. getSessionId returns 1000 when every number is in use; a
// number it hands out is reserved but not open until a state is published
// under it.
int getSessionId();
void freeSessionId(int number);
// Takes the state off number (nullptr when none is published), leaving the
// number reserved: the caller frees it (freeSessionId) or puts the state
// back (restoresession).
SessionRef takesession(int number);
void restoresession(SessionRef state);
// Closes every open session through the session closer, then drops what is
// left of each (even when closing failed) and restarts numbering at 0.
void freeSessions();
// Drops the number's state (its last user frees it) and frees the number.
void freesession(int number);

// Session closing belongs to the service layer; it registers itself here so
// that shut-down can use it.
using SessionCloser = int (*)(int session);
void setsessioncloser(SessionCloser closer);
// Ends the HSM session of a state that still holds one when its last
// reference goes. Registered by the PKCS#11 client.
using SessionRelease = void (*)(Session& s);
void setsessionrelease(SessionRelease release);

}  // namespace zmr
