// Key-file loading with one OpenSSL allocation failing, for every
// allocation it makes: the load gives 0 with the right keys or 33001, never
// a code that blames the file or its password, writes no recent-error
// line, and the next load works. The first load in the process also makes
// the private context in which legacy files are decrypted.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <zmr/zmr.h>

#include <string>

#include "failingalloc.h"
#include "store/keyfile.h"
#include "store/sessionstore.h"
#include "support/keyfiles.h"
#include "support/merchantvariants.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/tempdir.h"

namespace {

constexpr const char* kPassword = "merchant password";

struct File {
  std::string name, path;
  bool authentication;  // false: sign-only
};

// "" when the session holds the keys of a complete load.
std::string loadedwell(int session, const File& f) {
  EVP_PKEY* key = nullptr;
  STACK_OF(X509)* cas = nullptr;
  int environment = -1;
  zmr::Session* s = zmr::sessiontables(session);
  if (s == nullptr || zmr::getsignkey(session, &key) != 0 || !s->signcert ||
      X509_check_private_key(s->signcert.get(), key) != 1)
    return f.name + ": no signing pair after a load that reported 0";
  if (f.authentication && (!s->authcert || !s->authkey || X509_check_private_key(s->authcert.get(), s->authkey.get()) != 1))
    return f.name + ": no authentication pair after a load that reported 0";
  if (zmr::getcacerts(session, &cas) != 0 || sk_X509_num(cas) != 2 || zmr::getenvironment(session, &environment) != 0 ||
      environment != 2)
    return f.name + ": CA certificates or environment missing after a load that reported 0";
  return "";
}

// Loads f into a new session: "" when it loaded well or failed as an
// allocation failure may; a failed load is repeated unarmed.
std::string load(const File& f, bool retry) {
  int session = zmr::getSessionId();
  int rc = zmr::loadkeyfile(session, f.path.c_str(), kPassword, false);
  std::string fault;
  if (!zmrtest::peekRecentError().empty()) fault = f.name + ": recent error written: " + zmrtest::peekRecentError();
  if (rc == 0) {
    if (fault.empty()) fault = loadedwell(session, f);
    zmr::freesession(session);
    return fault;
  }
  if (rc != 33001) return f.name + ": " + std::to_string(rc) + " where an allocation failed";
  if (zmr::checksessionvalidity(session) != 2009) return f.name + ": a failed load left its session open";
  if (!retry || !fault.empty()) return fault;
  allocfail::disarm();
  return load(f, false);
}

TEST(KeyFileUnderAllocationFailure, AnswersOutOfMemoryAndLoadsNextTime) {
  ASSERT_EQ(zmr_initialize(), 0);
  std::string dir = zmrtest::makeTempDir("allocfail-keyfile");
  zmrtest::TestPki pki = zmrtest::makeMerchantPki(2, zmrtest::merchantAuthSpec(), zmrtest::merchantSignSpec());
  std::vector<File> files = {{"legacy", dir + "/legacy.p12", true},
                             {"modern", dir + "/modern.p12", true},
                             {"sign-only", dir + "/signonly.p12", false}};
  ASSERT_TRUE(zmrtest::writeKeyFile(files[0].path, zmrtest::merchantKeyFile(pki, kPassword, zmrtest::Encryption::Legacy)));
  ASSERT_TRUE(zmrtest::writeKeyFile(files[1].path, zmrtest::merchantKeyFile(pki, kPassword)));
  zmrtest::KeyFileSpec signonly = zmrtest::merchantKeyFile(pki, kPassword);
  zmrtest::dropAuthenticationPair(signonly);
  ASSERT_TRUE(zmrtest::writeKeyFile(files[2].path, signonly));

  // OpenSSL 3.0 crashes when an allocation fails while the legacy provider
  // makes its child library context (it frees the half-made context).
  const std::vector<std::string> spare = {"OSSL_LIB_CTX_new_child"};
  allocfail::Sweep s = allocfail::sweep([&](long n) {
    allocfail::Outcome o;
    allocfail::arm(n);
    for (const File& f : files) {
      o.fault = load(f, true);
      if (!o.fault.empty()) break;
    }
    o.reached = allocfail::disarm() || !o.fault.empty();
    return o;
  }, spare);
  EXPECT_TRUE(s.faults.empty()) << allocfail::describe(s);
  EXPECT_GT(s.runs, 100) << allocfail::describe(s);
}

}  // namespace
