#include "misc/setup.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>

#include "misc/status.h"
#include "store/sessionstore.h"

namespace zmr {

int NID_pkcs9_randomNonce = NID_undef;
int NID_pkcs9_signerInfo = NID_undef;
int NID_pkcs9_signerInfoV2 = NID_undef;

namespace {

std::atomic<int> initialized{0};

struct NamedMutex {
  const char* name;
  pthread_mutex_t mutex;
};

// Error-checking mutexes: a thread that takes a name it already holds gets
// 3002 instead of deadlocking, and an unlock by a non-holder gets 3003.
NamedMutex named[] = {
    {"sessionstore", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
    {"certtools", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
    {"hsm_client", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
    {"verifydata", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
    {"gettag", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
    {"assymetricdecrypt", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
    {"merchantreference", PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP},
};

pthread_mutex_t* findmutex(const char* name) {
  if (name == nullptr) return nullptr;
  for (auto& m : named) {
    if (std::strcmp(m.name, name) == 0) return &m.mutex;
  }
  return nullptr;
}

// OpenSSL 3 knows some of these numbers already; OBJ_create would fail for
// them, so only the unknown ones are created.
int lookupOrCreate(const char* oid, const char* name) {
  int nid = OBJ_txt2nid(oid);
  if (nid != NID_undef) return nid;
  nid = OBJ_create(oid, name, name);
  return nid;
}

}  // namespace

int isInitialized() { return initialized.load(std::memory_order_acquire); }
void setInitialized(int flag) { initialized.store(flag, std::memory_order_release); }

int initstructures() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  unsigned char scratch[20];
  RAND_bytes(scratch, sizeof scratch);  // seeds the generator early
  OPENSSL_cleanse(scratch, sizeof scratch);

  struct rlimit nocore = {0, 0};
  setrlimit(RLIMIT_CORE, &nocore);  // keys must never land in a core file

  NID_pkcs9_randomNonce = lookupOrCreate("1.2.840.113549.1.9.25.3", "ZMR Channel");
  NID_pkcs9_signerInfo = lookupOrCreate("1.2.840.113549.1.9.16.2.19", "OtherSigningCertificate");
  NID_pkcs9_signerInfoV2 = lookupOrCreate("1.2.840.113549.1.9.16.2.47", "id-aa-signingCertificateV2");
  if (NID_pkcs9_randomNonce == NID_undef || NID_pkcs9_signerInfo == NID_undef ||
      NID_pkcs9_signerInfoV2 == NID_undef) {
    ERR_clear_error();
    return kOutOfMemory;
  }
  return kOk;
}

int deinitstructures() {
  freeSessions();
  ERR_clear_error();
  return kOk;
}

int initmutexes() {
  // The mutexes are statically initialised and live as long as the library.
  return kOk;
}

int deinitmutexes() { return kOk; }

int aquiremutex(int, const char* name) {
  pthread_mutex_t* m = findmutex(name);
  if (m == nullptr) return 3004;
  return pthread_mutex_lock(m) == 0 ? kOk : 3002;
}

int releasemutex(int, const char* name) {
  pthread_mutex_t* m = findmutex(name);
  if (m == nullptr) return 3004;
  return pthread_mutex_unlock(m) == 0 ? kOk : 3003;
}

int getthreadid(int, pthread_t* out) {
  *out = pthread_self();
  return kOk;
}

NamedLock::NamedLock(int s, const char* n) : session(s), name(n), code(aquiremutex(s, n)) {}
NamedLock::~NamedLock() {
  if (code == 0) releasemutex(session, name);
}

}  // namespace zmr
