#include "store/sessionstore.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "support/storesession.h"

namespace zmr {
namespace {

// Each test case runs in its own process, but close everything anyway so
// that the cases also hold when run together.
struct SessionStore : ::testing::Test {
  void TearDown() override {
    setsessionrelease(nullptr);
    freeSessions();
  }
};

// Opens a session with an empty state: its number.
int openEmpty() {
  PendingSession p;
  if (p.open() != 0) return -1;
  p.publish();
  return p.number();
}

SessionRef stateOf(int number) {
  SessionRef s;
  usesession(number, s);
  return s;
}

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
  for (int i = 0; i < kMaxSessions; ++i) ASSERT_EQ(openEmpty(), i);
  PendingSession extra;
  EXPECT_EQ(extra.open(), 2008);
  for (int i = 0; i < kMaxSessions; ++i) EXPECT_EQ(checksessionvalidity(i), 0);
  freesession(500);
  EXPECT_EQ(openEmpty(), 500);
}

TEST_F(SessionStore, OnlyPublishedNumbersAreOpen) {
  int closed = openEmpty();
  freesession(closed);
  PendingSession pending;  // reserved, still being opened
  ASSERT_EQ(pending.open(), 0);
  for (int n : {closed, pending.number(), -1, 1000, 12345}) {
    SessionRef s;
    EXPECT_EQ(checksessionvalidity(n), 2009) << n;
    EXPECT_EQ(usesession(n, s), 2009) << n;
    EXPECT_FALSE(s);
  }
  pending.publish();
  EXPECT_EQ(checksessionvalidity(pending.number()), 0);
}

TEST_F(SessionStore, AnOpeningThatIsNotPublishedGivesItsNumberBack) {
  int number;
  {
    PendingSession p;
    ASSERT_EQ(p.open(), 0);
    number = p.number();
    p.state().environment = 3;
  }
  EXPECT_EQ(checksessionvalidity(number), 2009);
  EXPECT_EQ(getSessionId(), number);  // free again
}

TEST_F(SessionStore, EmptyTablesGiveTheirOwnCodes) {
  Session s;
  EVP_PKEY* key;
  X509* cert;
  SSL_CTX* ctx;
  STACK_OF(X509)* stack;
  X509_STORE* store;
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
  EXPECT_EQ(gettruststore(s, &store), 2026);
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

TEST_F(SessionStore, MerchantKeySize) {
  Session s;
  s.authcert = selfSigned(1024);
  int64_t bits = 0;
  EXPECT_EQ(getmerchantkeysize(s, &bits), 0);
  EXPECT_EQ(bits, 1024);
}

TEST_F(SessionStore, TheVerifierKeyIsKeptOnce) {
  Session s;
  EvpPkeyPtr first(EVP_RSA_gen(1024)), second(EVP_RSA_gen(1024));
  EVP_PKEY* kept = first.get();
  EXPECT_EQ(setverifierkey(s, std::move(first)), 0);
  EXPECT_EQ(setverifierkey(s, std::move(second)), 33002);  // dropped: a holder may use the first
  EVP_PKEY* key = nullptr;
  EXPECT_EQ(getverifierkey(s, &key), 0);
  EXPECT_EQ(key, kept);
}

// A session closed while a call holds it is gone for every later call at
// once, and its number may serve a new session straight away; the old state
// lives on, whole, until its holder lets go.
TEST_F(SessionStore, ClosingWhileHeldKeepsTheStateForItsHolder) {
  int number = openEmpty();
  SessionRef held = stateOf(number);
  ASSERT_TRUE(held);
  held->environment = 2;
  held->signcert = selfSigned(1024);
  std::weak_ptr<Session> watch = held;

  freesession(number);
  SessionRef later;
  EXPECT_EQ(usesession(number, later), 2009);
  EXPECT_EQ(checksessionvalidity(number), 2009);

  int reopened = openEmpty();
  EXPECT_EQ(reopened, number);
  SessionRef fresh = stateOf(reopened);
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh.get(), held.get());
  EXPECT_EQ(fresh->environment, 0);

  X509* cert = nullptr;
  EXPECT_EQ(getsigncert(*held, &cert), 0);  // still the old session's, still valid
  EXPECT_EQ(X509_get_version(cert), 2);
  EXPECT_EQ(held->environment, 2);
  EXPECT_FALSE(watch.expired());
  held.reset();
  EXPECT_TRUE(watch.expired());
}

int releases = 0;
uint64_t releasedhandle = 0;

TEST_F(SessionStore, TheLastUserEndsTheHsmSession) {
  releases = 0;
  setsessionrelease([](Session& s) {
    ++releases;
    releasedhandle = s.hsm_sessioncontext.load();
    sethsm_sessioncontext(s, 0);
  });
  int number = openEmpty();
  SessionRef held = stateOf(number);
  setslotid(*held, 4);
  sethsm_sessioncontext(*held, 77);

  freesession(number);
  EXPECT_EQ(releases, 0);  // still in use
  int used = -1;
  Session other;
  EXPECT_EQ(slotalreadyopened(other, 4, &used), 0);
  EXPECT_EQ(used, 1);  // closed but in use: its slot stays logged in
  held.reset();
  EXPECT_EQ(releases, 1);
  EXPECT_EQ(releasedhandle, 77u);
  EXPECT_EQ(slotalreadyopened(other, 4, &used), 0);
  EXPECT_EQ(used, 0);

  // A state without an HSM session goes without a call.
  freesession(openEmpty());
  EXPECT_EQ(releases, 1);
}

TEST_F(SessionStore, SlotCountsOnlySessionsWithAnHsmSession) {
  zmrtest::StoreSession a, b;
  int used = -1;
  EXPECT_EQ(slotalreadyopened(a.state(), 0, &used), 0);
  EXPECT_EQ(used, 0);  // b has slot 0 but no HSM session
  setslotid(b.state(), 7);
  EXPECT_EQ(slotalreadyopened(a.state(), 7, &used), 0);
  EXPECT_EQ(used, 0);
  sethsm_sessioncontext(b.state(), 99);
  EXPECT_EQ(slotalreadyopened(a.state(), 7, &used), 0);
  EXPECT_EQ(used, 1);
  EXPECT_EQ(slotalreadyopened(b.state(), 7, &used), 0);
  EXPECT_EQ(used, 0);  // its own session does not count
  sethsm_sessioncontext(b.state(), 0);
  EXPECT_EQ(slotalreadyopened(a.state(), 7, &used), 0);
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
  openEmpty();
  openEmpty();
  openEmpty();
  freesession(1);
  // The state's release is seen through the release hook (which runs for a
  // state holding an HSM session): a reference handed out may outlive its
  // own count, but not the state behind it.
  static int released = 0;
  released = 0;
  setsessionrelease([](Session& state) {
    ++released;
    sethsm_sessioncontext(state, 0);
  });
  sethsm_sessioncontext(*stateOf(2), 77);
  freeSessions();
  setsessioncloser(nullptr);
  setsessionrelease(nullptr);
  EXPECT_EQ(closed, (std::vector<int>{0, 2}));
  EXPECT_EQ(checksessionvalidity(0), 2009);
  EXPECT_EQ(checksessionvalidity(2), 2009);
  EXPECT_EQ(released, 1) << "session 2's state was not freed";
  EXPECT_EQ(openEmpty(), 0);  // numbering starts again
  EXPECT_EQ(openEmpty(), 1);
  EXPECT_EQ(openEmpty(), 2);
  EXPECT_EQ(stateOf(2)->environment, 0);
}

}  // namespace
}  // namespace zmr
