// Library start-up and shut-down, and merchant sessions.
#pragma once

#include "misc/status.h"

#include <cstdint>
#include <string>

namespace zmr {

// A session opened before start-up or after shut-down.

// One described session, as handed to the caller.
struct sessionstoreinfo {
  int sessionid = -1;
  std::string commonname;
  int environment = 0;
  std::string grantedpolicies;
  std::string signcertificate;
  std::string authcertificate;
};

// driverpath null: no HSM. A second call returns 0 and changes nothing. A
// failure undoes exactly the steps that succeeded.
int initialize(const char* driverpath);
// Runs every shut-down step even when one fails; the first failing code is
// returned. 0 without start-up.
int finalize();

// Opens a merchant session; texts after password may be null. With a
// pkcs11password the session signs and decrypts in the HSM on slot (-1:
// found by the key label). Only while the library is started
// (kNotInitialized).
int opensession(int& session, const char* keyfile, const char* password, const char* propertiesfile,
                const char* webaddress, const char* truststore, const char* grantedpolicies,
                const char* httpproxyserver, const char* httpproxyport, const char* pkcs11password, int32_t slot);
// Takes the session off its number at once, without waiting for calls in
// flight; the last of them ends its HSM session. With none in flight the
// HSM logout happens here, and when it fails its code is returned and the
// session stays open.
int closesession(int session);
int getsessionstoreinfo(int session, sessionstoreinfo& out);

// Releases the merchant-reference word lists (shut-down).
int cleanupdictionaries();

}  // namespace zmr
