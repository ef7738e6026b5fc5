// Central-verifier decryption from many threads: the first calls on one
// session load the key once, sessions importing the same key into SoftHSM2
// at once make one object, and one session's loading never holds up
// another session or a loaded one.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "hsm/hsmclient.h"
#include "hsm/hsmtest.h"
#include "store/setup.h"
#include "services/verifying/decrypting.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"
#include "support/pki.h"
#include "support/softhsm.h"
#include "support/tempdir.h"
#include "support/verifiers.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr const char* kPassword = "central secret";
constexpr const char* kPin = "1234";
constexpr int kThreads = 16;

// The key as an encrypted PKCS#8 file and one ciphertext for it.
struct Files {
  std::string keyfile, cipher;
};
Files makeFiles(EVP_PKEY* key, const std::string& plain) {
  std::string dir = zmrtest::makeTempDir("verifier-threads");
  BioPtr bio(BIO_new_file((dir + "/key.pem").c_str(), "w"));
  EXPECT_TRUE(bio && PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
  bio.reset();
  zmrtest::writeFile(dir + "/plain", plain);
  EXPECT_EQ(0, zmrtest::runCommand("openssl pkcs8 -topk8 -in " + dir + "/key.pem -outform DER -out " + dir +
                                       "/key.der -passout 'pass:" + kPassword + "'",
                                   nullptr));
  EXPECT_EQ(0, zmrtest::runCommand("openssl pkeyutl -encrypt -inkey " + dir + "/key.pem -in " + dir +
                                       "/plain -out " + dir + "/cipher",
                                   nullptr));
  return {dir + "/key.der", zmrtest::toBase64(zmrtest::readFile(dir + "/cipher"))};
}

int openSession() {
  return zmrtest::openStoreSession();
}

// kThreads first calls at once, spread over the sessions; the number that
// succeeded with plain.
int firstCallsAtOnce(const std::vector<int>& sessions, const Files& f, const std::string& plain) {
  std::atomic<int> ready{0}, good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    int session = sessions[static_cast<size_t>(i) % sessions.size()];
    threads.emplace_back([&, session] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      SecretString out;
      if (assymetricdecrypt(session, f.keyfile.c_str(), kPassword, f.cipher, out) == 0 && out.view() == zmrtest::toBase64(plain))
        good.fetch_add(1);
    });
  }
  for (std::thread& t : threads) t.join();
  return good.load();
}

TEST(CentralVerifierThreads, FirstCallsOnOneSessionLoadOnce) {
  ASSERT_EQ(0, initstructures());
  EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  Files f = makeFiles(key.get(), "many");
  int session = openSession();
  EXPECT_EQ(kThreads, firstCallsAtOnce({session}, f, "many"));
  freeSessions();
}

TEST(CentralVerifierThreads, LoadingDelaysNoOtherSession) {
  ASSERT_EQ(0, initstructures());
  EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  Files f = makeFiles(key.get(), "apart");
  int loaded = openSession();
  int loading = openSession();
  int other = openSession();
  SecretString out;
  ASSERT_EQ(0, assymetricdecrypt(loaded, f.keyfile.c_str(), kPassword, f.cipher, out));

  // While one session's key is being loaded (its loader holds the
  // session's own mutex), another session loads and a loaded one decrypts.
  std::unique_lock<std::mutex> busy(zmrtest::sessionState(loading)->verifierkeyloading);
  for (int session : {other, loaded}) {
    auto call = std::async(std::launch::async, [&, session] {
      SecretString text;
      return assymetricdecrypt(session, f.keyfile.c_str(), kPassword, f.cipher, text);
    });
    ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(60)));
    EXPECT_EQ(0, call.get());
  }
  auto waiting = std::async(std::launch::async, [&] {
    SecretString text;
    return assymetricdecrypt(loading, f.keyfile.c_str(), kPassword, f.cipher, text);
  });
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(100)));
  busy.unlock();
  EXPECT_EQ(0, waiting.get());
  freeSessions();
}

TEST(CentralVerifierThreads, FirstCallsInSoftHsmImportOneObject) {
  ASSERT_EQ(0, initstructures());
  zmrtest::SoftHsm hsm;
  uint64_t slot = 0;
  ASSERT_TRUE(zmrtest::makeSoftHsm("verifier-threads", hsm));
  ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", kPin, &slot)) << hsm.log;
  EvpPkeyPtr signkey = zmrtest::testKey(2048, 0);
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", kPin, signkey.get(), "signkey", "01")) << hsm.log;
  ASSERT_EQ(0, hsm_loaddriver(zmrtest::kSoftHsmModule));
  ASSERT_EQ(0, hsm_initialize());
  // Two merchant sessions on the token load the same key at once.
  int session = openSession();
  int other = openSession();
  ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(session), "signkey", static_cast<int32_t>(slot), kPin));
  ASSERT_EQ(0, hsm_opensession(*zmrtest::sessionState(other), "signkey", static_cast<int32_t>(slot), kPin));

  EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  Files f = makeFiles(key.get(), "in the module");
  EXPECT_EQ(kThreads, firstCallsAtOnce({session, other}, f, "in the module"));

  CK_FUNCTION_LIST* p11 = hsmtest::moduleFunctions(zmrtest::kSoftHsmModule);
  ASSERT_NE(nullptr, p11);
  uint64_t h = 0;
  gethsm_sessioncontext(*zmrtest::sessionState(session), &h);
  EXPECT_EQ(1u, hsmtest::privateKeyObjects(p11, h, kVerifierKeyLabel));

  EXPECT_EQ(0, hsm_closesession(*zmrtest::sessionState(other)));
  EXPECT_EQ(0, hsm_closesession(*zmrtest::sessionState(session)));
  freeSessions();
  EXPECT_EQ(0, hsm_finalize());
}

}  // namespace
}  // namespace zmr
