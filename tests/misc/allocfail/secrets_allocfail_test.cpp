// Secrets pass through wiped storage only: no heap block that the calling
// thread releases during a call still holds them. Proxy credentials (the
// property's value and the Proxy-Authorization text, for plain HTTP
// through the proxy and for a CONNECT tunnel, and when the session is
// freed), a client's decrypted message and its base key, the base keys kept
// as info items (at their removal and at the thread's end), the services
// host's answer, triple-DES plaintext and random bytes. The results handed
// out are released by the test after the watch.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "allocfail/failingalloc.h"
#include "net/http_lib.h"
#include "store/sessionstore.h"
#include "support/apitest.h"
#include "support/merchant.h"
#include "support/servicesstandin.h"
#include "support/standin.h"
#include "support/storesession.h"
#include "support/txclient.h"
#include "support/txscheme.h"
#include "support/verifiers.h"

namespace {

// The contents of the blocks released while a Watch lives, kept in a
// static arena (the hook must not allocate); blocks beyond it are counted.
constexpr size_t kArena = 64 << 20;
char arena[kArena];
std::atomic<size_t> used{0};
std::atomic<size_t> seen{0}, lost{0};

void keep(const void* block, size_t size) {
  seen.fetch_add(1);
  size_t at = used.fetch_add(size + 1);
  if (at + size + 1 > kArena) {
    lost.fetch_add(1);
    return;
  }
  std::memcpy(arena + at, block, size);
  arena[at + size] = 0;
}

void startwatching() {
  used = 0;
  seen = 0;
  lost = 0;
  allocfail::onrelease(keep);
}

struct Watch {
  Watch() { startwatching(); }
  ~Watch() { allocfail::onrelease(nullptr); }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
};

// "" when no released block held the secret (and the watch saw blocks).
std::string released(const std::string& name, const std::string& secret) {
  if (seen == 0) return "the watch saw no released block";
  if (lost != 0) return "the arena was too small";
  size_t size = std::min(used.load(), kArena);
  return memmem(arena, size, secret.data(), secret.size()) == nullptr ? "" : name + " in a released block";
}

class SecretsInReleasedBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!allocfail::watchingreleases()) GTEST_SKIP() << "releases are not seen in this build";
  }
};

TEST_F(SecretsInReleasedBlocks, ProxyCredentials) {
  const std::string credentials = "merchant:secret", basic = zmrtest::toBase64(credentials);
  zmrtest::TlsTestbed bed = zmrtest::makeTlsTestbed("secrets-proxy");
  int session = bed.openSession();
  ASSERT_GE(session, 0);
  zmr::SessionRef state = zmrtest::sessionState(session);
  SSL_CTX* client = nullptr;
  ASSERT_EQ(zmr::getsdmsslcontext(*state, &client), 0);
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tunnel" : "plain HTTP");
    zmrtest::ProxyStandin proxy;
    proxy.requireCredentials(credentials);
    auto server = tls ? std::make_unique<zmrtest::StandinServer>(bed.good()) : std::make_unique<zmrtest::StandinServer>();
    server->handle("/x", [](const zmrtest::HttpRequest& r) {
      zmrtest::HttpResponse out;
      out.body = "got=" + r.body;
      return out;
    });
    state->properties.clear();
    state->properties.emplace_back("sdmhttpproxyserver", "127.0.0.1");
    state->properties.emplace_back("sdmhttpproxyport", std::to_string(proxy.port()));
    state->properties.emplace_back("sdmhttpproxycredentials", credentials);
    std::string reply;
    int rc;
    {
      Watch watch;
      rc = zmr::http_post(*state, tls ? client : nullptr, "127.0.0.1", server->port(), "/x", "a=1",
                          "application/x-www-form-urlencoded", reply, 10, "sdm");
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(proxy.authorizations(), std::vector<std::string>{"Basic " + basic});
    EXPECT_EQ(released("the credentials", credentials), "");
    EXPECT_EQ(released("the Proxy-Authorization text", basic), "");
  }
  {
    Watch watch;
    state.reset();
    zmr::freesession(session);
  }
  EXPECT_EQ(released("the credentials, when the session was freed,", credentials), "");
}

TEST_F(SecretsInReleasedBlocks, DecryptedMessagesPlaintextAndRandomBytes) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("secrets-results", 2);
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();

  const std::string plain = "clientChallenge=a client's secret text, 0123456789abcdef";
  std::string basekey;
  zmrtest::tx::Envelope e =
      zmrtest::tx::clientRequest(m.pki.merchantAuth.key.get(), plain, "initAuth", std::nullopt, "", &basekey);
  char *data = nullptr, *key = nullptr;
  int rc;
  {
    Watch watch;
    rc = zmr_decrypttransactiondata(session, e.encKey.c_str(), e.encData.c_str(), e.encAuth.c_str(), "initAuth",
                                    nullptr, &data, &key);
  }
  EXPECT_EQ(rc, 0) << zmrtest::recentError();
  EXPECT_EQ(zmrtest::take(data), plain);
  EXPECT_EQ(zmrtest::take(key), zmrtest::toBase64(basekey));
  EXPECT_EQ(released("the decrypted message", plain), "");
  EXPECT_EQ(released("the base key", basekey), "");
  EXPECT_EQ(released("the base key in base64", zmrtest::toBase64(basekey)), "");

  // Two-key triple DES under "0123456789abcdef", zero IV.
  const std::string desplain = "triple-DES plaintext, secret 0123456789";
  char* cipher = nullptr;
  ASSERT_EQ(symmetricencrypt(session, "MDEyMzQ1Njc4OWFiY2RlZg==", zmrtest::toBase64(desplain).c_str(), &cipher), 0);
  std::string ciphertext = zmrtest::take(cipher);
  char* decrypted = nullptr;
  {
    Watch watch;
    rc = symmetricdecrypt(session, "MDEyMzQ1Njc4OWFiY2RlZg==", ciphertext.c_str(), &decrypted);
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(zmrtest::fromBase64(zmrtest::take(decrypted)), desplain);
  EXPECT_EQ(released("the triple-DES plaintext", desplain), "");
  EXPECT_EQ(released("the triple-DES plaintext in base64", zmrtest::toBase64(desplain)), "");

  char* random = nullptr;
  {
    Watch watch;
    rc = zmr_getrandom(session, &random, 48);
  }
  EXPECT_EQ(rc, 0);
  std::string text = zmrtest::take(random), bytes = zmrtest::fromBase64(text);
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(released("the random bytes", bytes), "");
  EXPECT_EQ(released("the random bytes in base64", text), "");

  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
}

// The transaction's base key is the info item "key", pushed by
// initialisation and by verification: the store wipes it when the merchant
// removes the thread's items and when the thread ends with them stored.
TEST_F(SecretsInReleasedBlocks, BaseKeyItems) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("secrets-basekey", 1);
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  ASSERT_EQ(zmr_removeinfoitems(session), 0);
  zmrtest::TxClient client(m.pki, "merchant.example,127.0.0.1");
  // One transaction's init and verification (handleError: no validation
  // authority), each leaving its base key as an item.
  auto transaction = [&](std::vector<std::string>& keys) {
    zmrtest::MerchantItems items;
    if (items.apply(session) != 0) return false;
    zmrtest::TxRequest init = client.request("initAuth", client.authFields(zmrtest::Carrier::nczmr20));
    std::string answer;
    if (zmrtest::initTransaction(session, init, answer) != 0) return false;
    zmrtest::TxRequest verify = client.request("handleError", client.handleErrorFields(init, "77"));
    if (zmrtest::verifyTransaction(session, verify) != 0) return false;
    keys = {zmrtest::tx::b64(init.basekey), zmrtest::tx::b64(verify.basekey)};
    return true;
  };

  std::vector<std::string> keys;
  ASSERT_TRUE(transaction(keys)) << zmrtest::recentError();
  char* key = nullptr;
  {
    Watch watch;
    ASSERT_EQ(zmr_getinfoitem(session, "key", &key), 0);
  }
  EXPECT_EQ(released("the initialisation's base key, read with zmr_getinfoitem,", keys[0]), "");
  EXPECT_EQ(zmrtest::take(key), keys[0]);
  {
    Watch watch;
    EXPECT_EQ(zmr_removeinfoitems(session), 0);
  }
  EXPECT_EQ(released("the initialisation's base key, at zmr_removeinfoitems,", keys[0]), "");
  EXPECT_EQ(released("the verification's base key, at zmr_removeinfoitems,", keys[1]), "");

  std::vector<std::string> threadkeys;
  std::thread worker([&] {
    if (transaction(threadkeys)) startwatching();  // still on while the thread's store goes at its end
  });
  worker.join();
  allocfail::onrelease(nullptr);
  ASSERT_EQ(threadkeys.size(), 2u);
  EXPECT_EQ(released("the initialisation's base key, at the thread's end,", threadkeys[0]), "");
  EXPECT_EQ(released("the verification's base key, at the thread's end,", threadkeys[1]), "");

  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
}

// The services host's decrypted answer, a short and a long value among its
// items: no released block holds them while it is read and stored.
TEST_F(SecretsInReleasedBlocks, TransactionInformation) {
  zmrtest::ServicesSetup setup = zmrtest::makeServicesSetup("secrets-txinfo", 2);
  if (!setup.centralKey) GTEST_SKIP() << "the build has no development central keys";
  const std::string shortvalue = "Kq7Zp2Wm9X", longvalue = "Vr4Tn8Qa1Lx6Hc3Ye0Bj5Uw2Gd9Pz7Mk";
  setup.host->answer({.items = {{"refshort", shortvalue}, {"reflong", longvalue}}});
  ASSERT_EQ(zmr_initialize(), 0);
  const zmrtest::MerchantFiles& m = setup.merchant;
  int session = -1;
  ASSERT_EQ(zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr),
            0)
      << zmrtest::recentError();
  int rc;
  {
    Watch watch;
    rc = zmr_gettransactioninfo(session, "ref", "1.2.3", "");
  }
  ASSERT_EQ(rc, 0) << zmrtest::recentError();
  char* value = nullptr;
  ASSERT_EQ(zmr_getinfoitem(session, "long", &value), 0);
  EXPECT_EQ(zmrtest::take(value), longvalue);
  EXPECT_EQ(released("a short value of the answer", shortvalue), "");
  EXPECT_EQ(released("a long value of the answer", longvalue), "");
  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
}

}  // namespace
