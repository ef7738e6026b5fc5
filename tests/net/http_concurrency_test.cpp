#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/http_lib.h"
#include "store/sessionstore.h"
#include "support/standin.h"
#include "support/storesession.h"
#include "tools/systemtools.h"

namespace zmr {
namespace {

using zmrtest::Behaviour;
using zmrtest::HttpRequest;
using zmrtest::HttpResponse;
using zmrtest::StandinServer;

class HttpConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    bed = std::make_unique<zmrtest::TlsTestbed>(zmrtest::makeTlsTestbed("httpconc"));
    session = bed->openSession();
    ASSERT_GE(session, 0);
    state = zmrtest::sessionState(session);
    ASSERT_EQ(getsdmsslcontext(*state, &client), 0);
  }
  void TearDown() override {
    state.reset();
    freesession(session);
  }
  int post(int port, std::string& reply, int timeout) {
    return http_post(*state, client, "127.0.0.1", port, "/x", "a=1", "text/plain", reply, timeout,
                     "sdm");
  }
  std::unique_ptr<zmrtest::TlsTestbed> bed;
  int session = -1;
  SessionRef state;
  SSL_CTX* client = nullptr;
};

HttpResponse ok(const HttpRequest& r) {
  HttpResponse out;
  out.body = "echo=" + r.body;
  return out;
}

// A server that never finishes its handshake (or never answers) must not
// hold up exchanges of other threads with a healthy server.
TEST_F(HttpConcurrency, StalledServerDoesNotDelayOthers) {
  for (Behaviour stall : {Behaviour::stallHandshake, Behaviour::stall}) {
    StandinServer stalled(bed->good());
    stalled.setBehaviour(stall);
    StandinServer healthy(bed->good());
    healthy.handle("/x", ok);

    std::atomic<bool> done{false};
    int stalledcode = 0;
    std::thread waiting([&] {
      std::string reply;
      stalledcode = post(stalled.port(), reply, 4);
      done.store(true);
    });
    while (stalled.connections() == 0) msleep(5);
    if (stall == Behaviour::stall) {
      while (stalled.requests().empty()) msleep(5);
    }
    for (int i = 0; i < 3; ++i) {
      std::string reply;
      ASSERT_EQ(post(healthy.port(), reply, 10), 0);
      EXPECT_NE(reply.find("echo=a=1"), std::string::npos);
    }
    EXPECT_FALSE(done.load()) << "the healthy exchanges waited for the stalled one";
    waiting.join();
    EXPECT_EQ(stalledcode, 35014);
  }
}

// Many threads share one session context; every exchange stands alone.
TEST_F(HttpConcurrency, ThreadsShareOneContext) {
  StandinServer healthy(bed->good());
  healthy.handle("/x", ok);
  constexpr int kThreads = 8, kEach = 6;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        std::string reply;
        if (post(healthy.port(), reply, 30) != 0 || reply.find("echo=a=1") == std::string::npos) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(healthy.requests().size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace zmr
