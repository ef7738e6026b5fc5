// Proxy credentials pass through wiped storage only: no heap block that the
// exchange's thread releases holds them, neither as the property's value
// nor as the Proxy-Authorization text, for plain HTTP through the proxy and
// for a CONNECT tunnel; nor does freeing the session release them unwiped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "allocfail/failingalloc.h"
#include "net/http_lib.h"
#include "store/configuration.h"
#include "store/sessionstore.h"
#include "support/standin.h"
#include "support/storesession.h"

namespace {

const std::string kCredentials = "merchant:secret";
const std::string kBasic = "bWVyY2hhbnQ6c2VjcmV0";  // base64 of kCredentials
std::atomic<int> unwiped{0};
std::atomic<int> seen{0};  // blocks looked at: the watch works

void scan(const void* block, size_t size) {
  seen.fetch_add(1);
  for (const std::string* secret : {&kCredentials, &kBasic})
    if (memmem(block, size, secret->data(), secret->size()) != nullptr) unwiped.fetch_add(1);
}

struct Watch {
  Watch() {
    unwiped = 0;
    allocfail::onrelease(scan);
  }
  ~Watch() { allocfail::onrelease(nullptr); }
};

TEST(SecretsInReleasedBlocks, ProxyCredentialsAreWipedBeforeTheirBlocksGo) {
  if (!allocfail::watchingreleases()) GTEST_SKIP() << "releases are not seen in this build";
  zmrtest::TlsTestbed bed = zmrtest::makeTlsTestbed("secrets-proxy");
  int session = bed.openSession();
  ASSERT_GE(session, 0);
  zmr::SessionRef state = zmrtest::sessionState(session);
  SSL_CTX* client = nullptr;
  ASSERT_EQ(zmr::getsdmsslcontext(*state, &client), 0);
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tunnel" : "plain HTTP");
    zmrtest::ProxyStandin proxy;
    proxy.requireCredentials(kCredentials);
    auto server = tls ? std::make_unique<zmrtest::StandinServer>(bed.good()) : std::make_unique<zmrtest::StandinServer>();
    server->handle("/x", [](const zmrtest::HttpRequest& r) {
      zmrtest::HttpResponse out;
      out.body = "got=" + r.body;
      return out;
    });
    state->properties.clear();
    state->properties.emplace_back("sdmhttpproxyserver", "127.0.0.1");
    state->properties.emplace_back("sdmhttpproxyport", std::to_string(proxy.port()));
    state->properties.emplace_back("sdmhttpproxycredentials", kCredentials);
    std::string reply;
    int rc;
    {
      Watch watch;
      rc = zmr::http_post(*state, tls ? client : nullptr, "127.0.0.1", server->port(), "/x", "a=1",
                          "application/x-www-form-urlencoded", reply, 10, "sdm");
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(proxy.authorizations(), std::vector<std::string>{"Basic " + kBasic});
    EXPECT_EQ(unwiped.load(), 0) << "released blocks held the credentials";
    EXPECT_GT(seen.exchange(0), 0);
  }
  Watch watch;
  state.reset();
  zmr::freesession(session);
  EXPECT_EQ(unwiped.load(), 0) << "freeing the session released the credentials unwiped";
}

}  // namespace
