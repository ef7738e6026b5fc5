#include "store/sessionstore.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <vector>

namespace zmr {
namespace {

// Each test case runs in its own process, but close everything anyway so
// that the cases also hold when run together.
struct SessionStore : ::testing::Test {
  void TearDown() override { freeSessions(); }
};

TEST_F(SessionStore, NumbersAreReusedLastReleasedFirst) {
  EXPECT_EQ(getSessionId(), 0);
  freesession(0);
  EXPECT_EQ(getSessionId(), 0);
  EXPECT_EQ(getSessionId(), 1);
  EXPECT_EQ(getSessionId(), 2);
  freesession(1);
  freesession(0);
  EXPECT_EQ(getSessionId(), 0);
  EXPECT_EQ(getSessionId(), 1);
  EXPECT_EQ(getSessionId(), 3);
}

TEST_F(SessionStore, ThousandSessionsAtMost) {
  for (int i = 0; i < kMaxSessions; ++i) ASSERT_EQ(getSessionId(), i);
  EXPECT_EQ(getSessionId(), kMaxSessions);
  for (int i = 0; i < kMaxSessions; ++i) EXPECT_EQ(checksessionvalidity(i), 0);
  freesession(500);
  EXPECT_EQ(getSessionId(), 500);
}

TEST_F(SessionStore, AccessorsRefuseNumbersNotOpen) {
  int open = getSessionId();
  freesession(open);
  for (int n : {open, -1, 1000, 12345}) {
    EVP_PKEY* key;
    X509* cert;
    SSL_CTX* ctx;
    STACK_OF(X509)* stack;
    std::string label;
    int env;
    uint64_t u;
    int64_t bits;
    EXPECT_EQ(checksessionvalidity(n), 2009);
    EXPECT_EQ(getsignkey(n, &key), 2009);
    EXPECT_EQ(getauthkey(n, &key), 2009);
    EXPECT_EQ(getsigncert(n, &cert), 2009);
    EXPECT_EQ(getauthcert(n, &cert), 2009);
    EXPECT_EQ(getcacerts(n, &stack), 2009);
    EXPECT_EQ(getvasslcontext(n, &ctx), 2009);
    EXPECT_EQ(getsdmsslcontext(n, &ctx), 2009);
    EXPECT_EQ(gethsm_signkeylabel(n, label), 2009);
    EXPECT_EQ(getenvironment(n, &env), 2009);
    EXPECT_EQ(getslotid(n, &u), 2009);
    EXPECT_EQ(getmerchantkeysize(n, &bits), 2009);
    EXPECT_EQ(setslotid(n, 1), 2009);
    EXPECT_EQ(sessiontables(n), nullptr);
  }
}

TEST_F(SessionStore, EmptyTablesGiveTheirOwnCodes) {
  int s = getSessionId();
  EVP_PKEY* key;
  X509* cert;
  SSL_CTX* ctx;
  STACK_OF(X509)* stack;
  std::string label;
  uint64_t handle;
  int64_t bits = -1;
  EXPECT_EQ(getvasslcontext(s, &ctx), 2027);
  EXPECT_EQ(getmgmfesslcontext(s, &ctx), 2027);
  EXPECT_EQ(getsignkey(s, &key), 2039);
  EXPECT_EQ(getauthkey(s, &key), 2040);
  EXPECT_EQ(getsigncert(s, &cert), 2041);
  EXPECT_EQ(getverifierkey(s, &key), 2042);
  EXPECT_EQ(getverifierkeyhandle(s, &handle), 2042);
  EXPECT_EQ(getauthcert(s, &cert), 2043);
  EXPECT_EQ(getcacerts(s, &stack), 2044);
  EXPECT_EQ(gethsm_signkeylabel(s, label), 2038);
  EXPECT_EQ(gethsm_authkeylabel(s, label), 2045);
  EXPECT_EQ(getmerchantkeysize(s, &bits), 0);
  EXPECT_EQ(bits, 0);
}

X509Ptr selfSigned(int bits) {
  EvpPkeyPtr key(EVP_RSA_gen(bits));
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  X509_set_pubkey(cert.get(), key.get());
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return cert;
}

TEST_F(SessionStore, MerchantKeySizeAndClosingEmptiesTables) {
  int s = getSessionId();
  Session* t = sessiontables(s);
  ASSERT_NE(t, nullptr);
  t->authcert = selfSigned(1024);
  t->properties.emplace_back("truststore", "/tmp");
  t->environment = 2;
  setpkcs11password(s, "1234");
  int64_t bits = 0;
  EXPECT_EQ(getmerchantkeysize(s, &bits), 0);
  EXPECT_EQ(bits, 1024);
  freesession(s);
  EXPECT_EQ(getSessionId(), s);  // reused, and empty again
  t = sessiontables(s);
  EXPECT_FALSE(t->authcert);
  EXPECT_TRUE(t->properties.empty());
  EXPECT_EQ(t->environment, 0);
  EXPECT_TRUE(t->hsm_pkcs11password.value.empty());
}

TEST_F(SessionStore, SlotCountsOnlySessionsWithAnHsmSession) {
  int a = getSessionId(), b = getSessionId();
  int used = -1;
  EXPECT_EQ(slotalreadyopened(a, 0, &used), 0);
  EXPECT_EQ(used, 0);  // b has slot 0 but no HSM session
  setslotid(b, 7);
  EXPECT_EQ(slotalreadyopened(a, 7, &used), 0);
  EXPECT_EQ(used, 0);
  sethsm_sessioncontext(b, 99);
  EXPECT_EQ(slotalreadyopened(a, 7, &used), 0);
  EXPECT_EQ(used, 1);
  EXPECT_EQ(slotalreadyopened(b, 7, &used), 0);
  EXPECT_EQ(used, 0);  // its own session does not count
  EXPECT_EQ(slotalreadyopened(-1, 7, &used), 2009);
  EXPECT_EQ(used, 0);
}

TEST_F(SessionStore, ReadableHsmIdentifier) {
  std::string out;
  const unsigned char id[] = {'k', 'e', 'y', '1', 'X'};
  EXPECT_EQ(getreadableidhsm(0, id, 4, out), 0);
  EXPECT_EQ(out, "key1");  // exactly length bytes, nothing read past them
  const unsigned char nul[] = {'k', 0, 'y'};
  EXPECT_EQ(getreadableidhsm(0, nul, 3, out), 2037);
}

TEST_F(SessionStore, ShutdownClosesThroughTheCloserAndFreesEvenWhenItFails) {
  static std::vector<int> closed;
  closed.clear();
  setsessioncloser([](int n) {
    closed.push_back(n);
    return 25010;  // an HSM close that fails
  });
  getSessionId();
  getSessionId();
  getSessionId();
  freesession(1);
  sessiontables(2)->environment = 3;
  freeSessions();
  setsessioncloser(nullptr);
  EXPECT_EQ(closed, (std::vector<int>{0, 2}));
  EXPECT_EQ(checksessionvalidity(0), 2009);
  EXPECT_EQ(checksessionvalidity(2), 2009);
  EXPECT_EQ(getSessionId(), 0);  // numbering starts again
  EXPECT_EQ(sessiontables(0)->environment, 0);
  EXPECT_EQ(getSessionId(), 1);
  EXPECT_EQ(getSessionId(), 2);
  EXPECT_EQ(sessiontables(2)->environment, 0);
}

}  // namespace
}  // namespace zmr
