// Merchant sessions: numbers 0..999 and the objects each session owns.
//
// A number is valid from getSessionId until freeSessionId. Validity is a
// per-number atomic flag, so checks and accessors on one session are safe
// while other threads open and close other sessions. The tables of a session
// are filled by its loaders while it is being opened and emptied when it is
// closed; the host must not close a session another thread still uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
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

// The per-session tables. Owned by the store; accessors hand out the stored
// objects themselves, which callers must not free.
struct Session {
  Properties properties;
  EvpPkeyPtr signkey;
  EvpPkeyPtr authkey;
  X509Ptr signcert;
  X509Ptr authcert;
  X509StackPtr cacerts;
  int environment = 0;
  std::optional<std::string> hsm_signkeyslabel;
  std::optional<std::string> hsm_authkeyslabel;
  // Read by other sessions' slot searches while this one logs in.
  std::atomic<uint64_t> slotid{0};
  std::atomic<uint64_t> hsm_sessioncontext{0};
  SecretString hsm_pkcs11password;
  SslCtxPtr ravud_ssl_context;
  SslCtxPtr va_ssl_context;
  SslCtxPtr tagserver_ssl_context;
  SslCtxPtr services_ssl_context;
  SslCtxPtr sdm_ssl_context;
  // The central verifier key, loaded by the first decryption that needs
  // it: the loader holds verifierkeyloading, stores the key and publishes
  // it through verifierkeyready. Once published it is only read, without
  // a lock, until the session is freed.
  std::mutex verifierkeyloading;
  std::atomic<bool> verifierkeyready{false};
  EvpPkeyPtr verifierkey;
  std::atomic<uint64_t> verifierkeyhandle{0};
  // Trust store built from the truststore directory at opening; shared by
  // all threads' verifications of this session.
  X509StorePtr truststore;
};

int checksessionvalidity(int session);  // 0, or 2009

// The tables of an open session, or nullptr (for the loaders and closing).
Session* sessiontables(int session);

int getsdmsslcontext(int session, SSL_CTX** out);
int getservicessslcontext(int session, SSL_CTX** out);
int getvasslcontext(int session, SSL_CTX** out);
int getmgmfesslcontext(int session, SSL_CTX** out);
int gettagserversslcontext(int session, SSL_CTX** out);
int getsignkey(int session, EVP_PKEY** out);
int getauthkey(int session, EVP_PKEY** out);
int getsigncert(int session, X509** out);
int getauthcert(int session, X509** out);
int getcacerts(int session, STACK_OF(X509) * *out);
int getverifierkey(int session, EVP_PKEY** out);
int getverifierkeyhandle(int session, uint64_t* out);
int gettruststore(int session, X509_STORE** out);  // 2026 when none
int gethsm_signkeylabel(int session, std::string& out);
int gethsm_authkeylabel(int session, std::string& out);
int getpkcs11password(int session, SecretString& out);  // empty when none stored
int getenvironment(int session, int* out);
int getslotid(int session, uint64_t* out);
int gethsm_sessioncontext(int session, uint64_t* out);

// Publishes the verifier key; once per session (33002 when one is there).
// Callers hold the session's verifierkeyloading.
int setverifierkey(int session, EvpPkeyPtr key);
int setverifierkeyhandle(int session, uint64_t handle);
int setslotid(int session, uint64_t slot);
int sethsm_sessioncontext(int session, uint64_t handle);
int setpkcs11password(int session, std::string_view text);

// *out = 1 when another open session with an HSM session uses this slot.
int slotalreadyopened(int session, uint64_t slot, int* out);
// Key identifier bytes as an HSM label: exactly length bytes; 2037 when
// they hold a NUL.
int getreadableidhsm(int session, const unsigned char* bytes, size_t length, std::string& out);
// Bits of the authentication certificate's public key, 0 without one.
int getmerchantkeysize(int session, int64_t* out);

// Number lists. getSessionId returns 1000 when every number is in use.
int getSessionId();
void freeSessionId(int number);
// Closes every open session through the session closer, then frees what is
// left of each (even when closing failed) and restarts numbering at 0.
void freeSessions();
// Releases everything the session holds and its number.
void freesession(int session);

// Session closing belongs to the service layer (it also ends the HSM
// session); it registers itself here so that shut-down can use it.
using SessionCloser = int (*)(int session);
void setsessioncloser(SessionCloser closer);

}  // namespace zmr
