// Many threads encrypt and decrypt at once on one merchant session, sharing
// the algorithms fetched once per process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "support/pki.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;

TEST(TransactionDataConcurrency, ThreadsRunTheSchemeAtOnce) {
  int session = zmrtest::openStoreSession();
  EvpPkeyPtr merchantkey = zmrtest::testKey(2048, 50);
  EvpPkeyPtr serverkey = zmrtest::testKey(2048, 51);
  EVP_PKEY_up_ref(merchantkey.get());
  zmrtest::sessionState(session)->authkey.reset(merchantkey.get());
  const std::string modulus = tx::modulusHex(serverkey.get());

  // The client messages (slow RSA on the test side) are made before the
  // threads start.
  constexpr int kThreads = 6, kRounds = 8;
  struct Work {
    tx::Envelope client;
    std::string clientkey;
  };
  std::vector<std::vector<Work>> work(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      Work w;
      std::string plain = "t=" + std::to_string(t) + "&r=" + std::to_string(r);
      w.client = tx::clientRequest(merchantkey.get(), plain, "initAuth", std::nullopt, "", &w.clientkey);
      work[t].push_back(w);
    }
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const Work& w = work[t][r];
        std::string expected = "t=" + std::to_string(t) + "&r=" + std::to_string(r);
        std::string answer;
        SecretString plain, key, reply;
        if (decrypttransactiondata(session, w.client.encKey, w.client.encData, w.client.encAuth, "initAuth",
                                   std::nullopt, plain, key) != 0 ||
            plain.view() != expected || key.view() != tx::b64(w.clientkey))
          ++failures;
        if (encrypt_response(session, expected, key.value, answer) != 0) ++failures;
        EncryptedRequest request;
        if (encrypttransactiondata(session, expected, modulus, request) != 0) ++failures;
        tx::Envelope fake = tx::serverResponse(w.clientkey, expected);  // any 32 bytes serve as a key
        if (decrypttransactionresponse(session, key.value, fake.encData, fake.encAuth, reply) != 0 ||
            reply.view() != expected)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  freeSessions();
}

}  // namespace
}  // namespace zmr
