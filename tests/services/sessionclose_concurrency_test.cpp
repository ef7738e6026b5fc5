// One merchant session closed and opened again, over and over, while other
// threads sign with it, decrypt client messages, describe it and set up
// client sessions through a slow proxy. Every call either runs on the
// session it began on, whole, or finds it closed (2009); the reopened
// sessions alternate between two key files with different signing keys, so
// a signature made from a mix of two sessions would not verify.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/apitest.h"
#include "support/keyfiles.h"
#include "support/pki.h"
#include "support/sdmstandin.h"
#include "support/standin.h"
#include "support/txscheme.h"
#include "support/verifiers.h"

namespace {

constexpr int kReopenings = 12;

struct Outcome {
  std::mutex mutex;
  std::vector<std::string> faults;
  void fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (faults.size() < 20) faults.push_back(what);
  }
};

// Which key file the session had while a call ran: the generation is even
// while a session is open (key file generation / 2 % 2) and odd while the
// closer is between closing and reopening.
struct Generation {
  std::atomic<int> value{0};
  int now() const { return value.load(); }
};

TEST(SessionCloseConcurrency, CallsInFlightKeepTheirSessionWhole) {
  ASSERT_TRUE(zmrtest::devCentralKey(1)) << "the build has no development central keys (cmake/centralkeys.cmake)";
  zmrtest::ProxyStandin proxy;
  proxy.setStall(std::chrono::milliseconds(150));
  zmrtest::SdmSetup setup = zmrtest::makeSdmSetup(
      "sessionclose", 1,
      {{"sdmhttpproxyserver", "127.0.0.1"}, {"sdmhttpproxyport", std::to_string(proxy.port())}});
  const zmrtest::MerchantFiles& m = setup.merchant;

  // The second key file: the same authentication pair (client messages and
  // the stand-in's signature check hold for both), another signing key.
  zmrtest::TestPki other = m.pki;
  zmrtest::CertSpec sign = zmrtest::merchantSignSpec();
  sign.keyIndex = 15;
  other.merchantSign = zmrtest::makeCert(sign, &m.pki.ca);
  ASSERT_NE(EVP_PKEY_eq(other.merchantSign.key.get(), m.pki.merchantSign.key.get()), 1);
  const std::string otherkeyfile = m.dir + "/other.p12";
  ASSERT_TRUE(zmrtest::writeKeyFile(otherkeyfile, zmrtest::merchantKeyFile(other, m.password)));
  const std::string keyfiles[2] = {m.keyfile, otherkeyfile};
  X509* signers[2] = {m.pki.merchantSign.get(), other.merchantSign.get()};

  ASSERT_EQ(zmr_initialize(), 0);
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, keyfiles[0].c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();

  Generation generation;
  std::atomic<bool> done{false};
  std::atomic<int> ready{0};  // client set-up threads with their request options
  Outcome outcome;
  std::atomic<int> completed[4] = {};

  // A call's code: 0 always while the session stayed open throughout (no
  // close began), else 0 or 2009.
  auto judge = [&](const char* what, int rc, int before, int after) {
    bool stable = before == after && before % 2 == 0;
    if (rc == 0 || (!stable && rc == 2009)) return rc == 0;
    outcome.fault(std::string(what) + " returned " + std::to_string(rc) + (stable ? " on an open session" : "") +
                  ": " + zmrtest::recentError());
    return false;
  };

  std::vector<std::thread> threads;
  // Signing: the PKCS#7 verifies under the certificate it names, which is
  // the signing certificate of a session the call may have met.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      const std::string data = "order " + std::to_string(t);
      while (!done.load()) {
        int before = generation.now();
        char* out = nullptr;
        int rc = zmr_signdata(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &out);
        int after = generation.now();
        std::string pkcs7 = zmrtest::take(out);
        if (!judge("zmr_signdata", rc, before, after)) continue;
        int expected = before == after ? before / 2 % 2 : -1;
        bool verified = false;
        for (int k = 0; k < 2; ++k) {
          if ((expected < 0 || expected == k) && zmrtest::pkcs7VerifiesWith(pkcs7, data, signers[k])) verified = true;
        }
        if (!verified) outcome.fault("a signature that verifies under no signing certificate of its session");
        ++completed[0];
      }
    });
  }
  // Decryption of client messages with the authentication key.
  threads.emplace_back([&] {
    while (!done.load()) {
      const std::string plain = "clientChallenge=abc&n=" + std::to_string(completed[1].load());
      zmrtest::tx::Envelope e = zmrtest::tx::clientRequest(m.pki.merchantAuth.key.get(), plain, "initAuth", std::nullopt);
      int before = generation.now();
      char *data = nullptr, *basekey = nullptr;
      int rc = zmr_decrypttransactiondata(session, e.encKey.c_str(), e.encData.c_str(), e.encAuth.c_str(), "initAuth",
                                          nullptr, &data, &basekey);
      int after = generation.now();
      std::string got = zmrtest::take(data);
      zmrtest::take(basekey);
      if (!judge("zmr_decrypttransactiondata", rc, before, after)) continue;
      if (got != plain) outcome.fault("a client message decrypted to other text");
      ++completed[1];
    }
  });
  // Descriptions: the signing certificate of one of the two key files.
  threads.emplace_back([&] {
    const std::string certs[2] = {zmrtest::toBase64(zmrtest::toDer(signers[0])),
                                  zmrtest::toBase64(zmrtest::toDer(signers[1]))};
    while (!done.load()) {
      int before = generation.now();
      sessionstoreinfo* info = nullptr;
      int rc = zmr_getsessionstoreinfo(session, &info);
      int after = generation.now();
      if (judge("zmr_getsessionstoreinfo", rc, before, after)) {
        std::string cert = info->signcertificate != nullptr ? info->signcertificate : "";
        int expected = before == after ? before / 2 % 2 : -1;
        if (!((expected != 1 && cert == certs[0]) || (expected != 0 && cert == certs[1])))
          outcome.fault("a description with a signing certificate of another session (generation " +
                        std::to_string(before) + " to " + std::to_string(after) + ", certificate " +
                        (cert == certs[0] ? "of key file 0" : cert == certs[1] ? "of key file 1" : "of neither") +
                        ")");
        ++completed[2];
      }
      std::ignore = zmr_freesessionstoreinfo(session, info);
    }
  });
  // Client session set-up: each post waits at the proxy, long enough for
  // the session to be closed and reopened meanwhile.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (const auto& [k, v] : zmrtest::initSessionItems()) {
        if (zmr_setinfoitem(session, k.c_str(), v.c_str()) != 0) outcome.fault("setinfoitem failed");
      }
      ++ready;
      while (!done.load()) {
        int before = generation.now();
        char *cdmuri = nullptr, *tid = nullptr, *cid = nullptr;
        int rc = zmr_initsession(session, &cdmuri, &tid, &cid);
        int after = generation.now();
        std::string gottid = zmrtest::take(tid);
        zmrtest::take(cdmuri);
        zmrtest::take(cid);
        if (!judge("zmr_initsession", rc, before, after)) continue;
        if (gottid != zmrtest::SdmStandin::kTid) outcome.fault("initsession handed out another tid: " + gottid);
        ++completed[3];
      }
    });
  }

  // The closer: closing never waits for the calls in flight, and the number
  // is free again at once.
  while (ready.load() < 2) std::this_thread::yield();
  for (int round = 1; round <= kReopenings; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    generation.value.fetch_add(1);
    int rc = zmr_closesession(session);
    if (rc != 0) outcome.fault("zmr_closesession returned " + std::to_string(rc));
    int reopened = -1;
    rc = zmr_opensession(&reopened, keyfiles[round % 2].c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr);
    if (rc != 0 || reopened != session)
      outcome.fault("reopening gave " + std::to_string(rc) + " and number " + std::to_string(reopened));
    generation.value.fetch_add(1);
  }
  // Each kind of call has finished on a session that was closed under it.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  done.store(true);
  for (auto& t : threads) t.join();

  for (const std::string& f : outcome.faults) ADD_FAILURE() << f;
  for (int k = 0; k < 4; ++k) EXPECT_GT(completed[k].load(), 0) << "call kind " << k << " never completed";
  EXPECT_EQ(zmr_closesession(session), 0);
  EXPECT_EQ(zmr_finalize(), 0);
}

}  // namespace
