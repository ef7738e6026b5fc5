// Process-wide state of the loaded library: the initialised flag, crypto
// library start-up, the three object identifiers and the named mutexes.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "misc/status.h"

namespace zmr {

int isInitialized();
void setInitialized(int flag);

// Object numbers of "ZMR Channel", "OtherSigningCertificate" and
// "id-aa-signingCertificateV2", filled by initstructures.
extern int NID_pkcs9_randomNonce;
extern int NID_pkcs9_signerInfo;
extern int NID_pkcs9_signerInfoV2;

// Crypto library start-up: OpenSSL initialisation, a first draw of random
// bytes, the three object identifiers. 0, or 33001 with a recent-error line
// when a step fails; the identifiers are set only when all three are had.
// Repeatable: a failed run leaves nothing that stops the next.
int initstructures();
// Core-file limit to 0, soft and hard. Not undoable, so start-up runs it
// last, once nothing can fail any more.
void disablecoredumps();
// Closes every open session and clears this thread's OpenSSL error queue.
// Never tears down OpenSSL itself: the host shares it. Always 0.
int deinitstructures();

int initmutexes();    // 0, or 3001
int deinitmutexes();  // always 0
// Named mutexes: "sessionstore", "certtools", "hsm_client", "verifydata",
// "gettag", "assymetricdecrypt", "merchantreference" (exact match).
// 3002 / 3003 when the lock / unlock fails (also a relock by the holder),
// 3004 for any other name. The session number is not used.
int aquiremutex(int session, const char* name);
int releasemutex(int session, const char* name);
int getthreadid(int session, pthread_t* out);

// Holds a named mutex for a scope. ok() tells whether it was taken.
struct NamedLock {
  NamedLock(int session, const char* name);
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  bool ok() const { return code == kOk; }
  int session;
  const char* name;
  int code;
};

}  // namespace zmr
