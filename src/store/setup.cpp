#include "store/setup.h"

#include <openssl/err.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>

#include "misc/ossl.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

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

// Whether every lookup finds nid: by number, by name, and the object by nid.
bool registered(int nid, const ASN1_OBJECT* wanted, const char* name) {
  const ASN1_OBJECT* stored = OBJ_nid2obj(nid);
  return stored != nullptr && OBJ_cmp(stored, wanted) == 0 && OBJ_obj2nid(wanted) == nid && OBJ_sn2nid(name) == nid &&
         OBJ_ln2nid(name) == nid;
}

// The number of an object identifier, registered under name unless OpenSSL
// knows it under a name of its own. OBJ_create can report success with
// some of its table entries missing when an allocation fails inside it, and
// the entries it did make stop a second OBJ_create; so an entry of ours is
// checked and, where half made, written again whole. NID_undef on failure.
int objectnumber(const char* oid, const char* name) {
  Asn1ObjectPtr wanted(OBJ_txt2obj(oid, 1));
  if (!wanted) return NID_undef;
  int nid = OBJ_obj2nid(wanted.get());
  if (nid == NID_undef) nid = OBJ_sn2nid(name);
  if (nid == NID_undef) nid = OBJ_ln2nid(name);
  if (nid == NID_undef) nid = OBJ_create(oid, name, name);
  if (nid == NID_undef) return NID_undef;
  const char* known = OBJ_nid2sn(nid);
  if (known != nullptr && std::strcmp(known, name) != 0) return nid;  // OpenSSL's own
  if (registered(nid, wanted.get(), name)) return nid;
  Asn1ObjectPtr whole(ASN1_OBJECT_create(nid, const_cast<unsigned char*>(OBJ_get0_data(wanted.get())),
                                         static_cast<int>(OBJ_length(wanted.get())), name, name));
  if (!whole || OBJ_add_object(whole.get()) == NID_undef) return NID_undef;
  return registered(nid, wanted.get(), name) ? nid : NID_undef;
}

}  // namespace

int isInitialized() { return initialized.load(std::memory_order_acquire); }
void setInitialized(int flag) { initialized.store(flag, std::memory_order_release); }

int initstructures() {
  // OpenSSL's start-up is once per process: when it fails, it stays failed,
  // and nothing else of OpenSSL may be called. It can also report success
  // with its default context unmade (a lock that could not be allocated),
  // which the first use of that context would dereference.
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1 ||
      OSSL_LIB_CTX_get0_global_default() == nullptr) {
    ERR_clear_error();
    setlasterror(-1, "initialize_initstructures: The crypto library could not be started.\n");
    return kOutOfMemory;
  }
  unsigned char scratch[20];
  int drawn = RAND_bytes(scratch, sizeof scratch);  // seeds the generator early
  OPENSSL_cleanse(scratch, sizeof scratch);
  if (drawn != 1) {
    ERR_clear_error();
    setlasterror(-1, "initialize_initstructures: The random generator could not be started.\n");
    return kOutOfMemory;
  }
  int nonce = objectnumber("1.2.840.113549.1.9.25.3", "ZMR Channel");
  int signer = objectnumber("1.2.840.113549.1.9.16.2.19", "OtherSigningCertificate");
  int signerv2 = objectnumber("1.2.840.113549.1.9.16.2.47", "id-aa-signingCertificateV2");
  ERR_clear_error();
  if (nonce == NID_undef || signer == NID_undef || signerv2 == NID_undef) {
    setlasterror(-1, "initialize_initstructures: The object identifiers could not be registered.\n");
    return kOutOfMemory;
  }
  NID_pkcs9_randomNonce = nonce;
  NID_pkcs9_signerInfo = signer;
  NID_pkcs9_signerInfoV2 = signerv2;
  return kOk;
}

void disablecoredumps() {
  struct rlimit nocore = {0, 0};
  setrlimit(RLIMIT_CORE, &nocore);  // keys must never land in a core file
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
  if (m == nullptr) return kLockName;
  return pthread_mutex_lock(m) == 0 ? kOk : kLockTake;
}

int releasemutex(int, const char* name) {
  pthread_mutex_t* m = findmutex(name);
  if (m == nullptr) return kLockName;
  return pthread_mutex_unlock(m) == 0 ? kOk : kLockRelease;
}

int getthreadid(int, pthread_t* out) {
  *out = pthread_self();
  return kOk;
}

NamedLock::NamedLock(int s, const char* n) : session(s), name(n), code(aquiremutex(s, n)) {}
NamedLock::~NamedLock() {
  if (code == kOk) releasemutex(session, name);
}

}  // namespace zmr
