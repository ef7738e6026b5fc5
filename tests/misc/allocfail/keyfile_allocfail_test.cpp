// Opening sessions with one OpenSSL allocation failing, for every call
// stack that allocates while key files load: an opening gives 0 with the
// file's keys, or 33001, never a code that blames the file or its password;
// the certificate readers write no recent-error line; and the next opening
// works, also after a failure inside the private library context in which
// legacy files are decrypted.
#include <gtest/gtest.h>
#include <openssl/provider.h>
#include <zmr/zmr.h>

#include <new>
#include <string>
#include <vector>

#include "allocfail/failingalloc.h"
#include "store/loaders/keyfile.h"
#include "support/apitest.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/merchantvariants.h"
#include "support/pki.h"
#include "support/verifiers.h"

namespace {

// The library's own allocations failing leave the session tables to their
// own tests; here OpenSSL's say the wrong thing.
constexpr unsigned kKinds = allocfail::kOpenssl;

// The usual key file, trust store and PKI of environment 2.
struct Merchant {
  zmrtest::MerchantFiles files = zmrtest::makeMerchantFiles("allocfail-keyfile", 2);
  const zmrtest::TestPki& pki = files.pki;
};

struct File {
  std::string name, path;
  bool authentication;  // false: sign-only
};

// "" when the session signs with the file's signing key and holds the rest.
std::string openedwell(int session, const File& f, const Merchant& m) {
  static const std::string data = "signed with a freshly opened session";
  char* text = nullptr;
  int rc = zmr_signdata(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &text);
  std::string pkcs7 = zmrtest::take(text);
  if (rc != 0 || !zmrtest::pkcs7VerifiesWith(pkcs7, data, m.pki.merchantSign.get()))
    return f.name + ": no valid signature after an opening that reported 0 (" + std::to_string(rc) + ")";
  sessionstoreinfo* info = nullptr;
  rc = zmr_getsessionstoreinfo(session, &info);
  bool whole = f.authentication ? rc == 0 && info->environment == 2 &&
                                      zmrtest::fromBase64(info->authcertificate) == zmrtest::toDer(m.pki.merchantAuth.get())
                                : rc == 2043;
  if (info != nullptr) std::ignore = zmr_freesessionstoreinfo(session, info);
  return whole ? "" : f.name + ": session incomplete after an opening that reported 0";
}

struct Opened {
  int rc = -1;
  int session = -1;
  std::string error;  // the recent error it left
};

Opened open(const File& f, const Merchant& m) {
  Opened o;
  zmrtest::recentError();
  o.rc = zmr_opensession(&o.session, f.path.c_str(), m.files.password.c_str(), nullptr, "shop.example.com,127.0.0.1", nullptr,
                         m.files.truststore.c_str(), "ALL", nullptr, nullptr);
  o.error = zmrtest::recentError();
  return o;
}

// "" when an opening (made with an allocation failing, or not) went well,
// or failed as an allocation failure may and works when made again.
std::string judge(const File& f, const Merchant& m, const Opened& o) {
  if (o.error.find("certtools") != std::string::npos) return f.name + ": a reader's line: " + o.error;
  if (o.rc == 0) {
    std::string fault = openedwell(o.session, f, m);
    std::ignore = zmr_closesession(o.session);
    return fault;
  }
  // The configuration's TLS contexts are made first; their loader's codes
  // are its own.
  bool configuration = o.error.find("The configuration could not be loaded") != std::string::npos;
  if (o.rc != 33001 && !configuration)
    return f.name + ": " + std::to_string(o.rc) + " where an allocation failed: " + o.error;
  Opened again = open(f, m);
  if (again.rc != 0) return f.name + ": 33001, then " + std::to_string(again.rc) + ": " + again.error;
  return judge(f, m, again);
}

TEST(KeyFileUnderAllocationFailure, AnswersOutOfMemoryAndOpensNextTime) {
  ASSERT_EQ(zmr_initialize(), 0);
  Merchant m;
  std::vector<File> files = {{"legacy", m.files.dir + "/legacy.p12", true},
                             {"modern", m.files.keyfile, true},
                             {"sign-only", m.files.dir + "/signonly.p12", false}};
  ASSERT_TRUE(zmrtest::writeKeyFile(files[0].path, zmrtest::merchantKeyFile(m.pki, m.files.password,
                                                                          zmrtest::Encryption::Legacy)));
  zmrtest::KeyFileSpec signonly = zmrtest::merchantKeyFile(m.pki, m.files.password);
  zmrtest::dropAuthenticationPair(signonly);
  ASSERT_TRUE(zmrtest::writeKeyFile(files[2].path, signonly));

  // Once without failures: this also makes what OpenSSL makes once per
  // process (an index for TLS, say), whose failure it would keep for good.
  for (const File& f : files) ASSERT_EQ(judge(f, m, open(f, m)), "");

  allocfail::Forked s = allocfail::sweepforked([&](uint64_t n) {
    allocfail::Outcome o;
    std::vector<Opened> opened;
    allocfail::arm(kKinds, n);
    for (const File& f : files) opened.push_back(open(f, m));
    o.reached = allocfail::disarm();
    for (size_t i = 0; i < files.size() && o.fault.empty(); ++i) o.fault = judge(files[i], m, opened[i]);
    return o;
  });
  EXPECT_TRUE(s.faults.empty()) << s.describe();
  EXPECT_GT(s.runs, 100) << s.describe();
}

// Set while a test watches for one block to be released.
const void* watchedblock = nullptr;
bool watchedreleased = false;
void notice(const void* block, size_t) {
  if (block == watchedblock) watchedreleased = true;
}

// The key files' private library context, made with an allocation failing
// in a process that has not made it yet (ctest gives each test its own):
// once the legacy provider is in it, it is never freed (OpenSSL loses part
// of such a context when it is), and the next use gives a context in which
// a legacy key file opens.
TEST(KeyFileUnderAllocationFailure, ThePrivateContextIsKeptAndCompleted) {
  if (!allocfail::watchingreleases()) GTEST_SKIP() << "releases cannot be watched in this build";
  ASSERT_EQ(zmr_initialize(), 0);
  Merchant m;
  const File legacy{"legacy", m.files.dir + "/legacy.p12", true};
  ASSERT_TRUE(zmrtest::writeKeyFile(legacy.path, zmrtest::merchantKeyFile(m.pki, m.files.password,
                                                                        zmrtest::Encryption::Legacy)));
  allocfail::Forked s = allocfail::sweepforked([&](uint64_t n) {
    allocfail::Outcome o;
    {
      zmr::Pkcs12Context first;
      allocfail::arm(allocfail::kCxx | allocfail::kOpenssl, n);
      int rc = 33001;
      try {
        rc = zmr::pkcs12context(first);
      } catch (const std::bad_alloc&) {
      }
      o.reached = allocfail::disarm();
      if (rc == 0 && OSSL_PROVIDER_available(first.ctx, "legacy") == 1) {
        watchedblock = first.ctx;
        allocfail::onrelease(notice);
      }
    }
    zmr::Pkcs12Context next;
    o.fault = zmr::pkcs12context(next) == 0 ? judge(legacy, m, open(legacy, m)) : "no context after a failure";
    allocfail::onrelease(nullptr);
    if (watchedreleased) o.fault += (o.fault.empty() ? "" : "; ") + std::string("a context with the legacy provider in it was freed");
    return o;
  });
  EXPECT_TRUE(s.faults.empty()) << s.describe();
  EXPECT_GT(s.runs, 20) << s.describe();
}

}  // namespace
