#include "net/sockclient.h"

#include <gtest/gtest.h>

#include <string>

#include "store/threadstore.h"
#include "support/standin.h"
#include "tools/systemtools.h"

namespace zmr {
namespace {

using zmrtest::Behaviour;
using zmrtest::HttpRequest;
using zmrtest::HttpResponse;
using zmrtest::StandinServer;

const std::string kRequest = "GET /x HTTP/1.0\r\n\r\n";

std::string takeerror() {
  std::optional<std::string> e;
  getlasterror(0, e);
  return e.value_or("");
}

TEST(SockClient, AnswerSizes) {
  struct Case {
    size_t size;
    int code;
  } cases[] = {{0, 0}, {1, 0}, {9998, 0}, {9999, 1007}, {50000, 1007}};
  for (const Case& c : cases) {
    StandinServer s;
    s.setBehaviour(Behaviour::closeDelimited);
    std::string answer(c.size, 'a');
    for (size_t i = 0; i < answer.size(); i += 97) answer[i] = static_cast<char>('0' + i % 10);
    s.handle("/x", [&answer](const HttpRequest&) {
      HttpResponse r;
      r.raw = answer;
      return r;
    });
    takeerror();
    std::string got = "stale";
    EXPECT_EQ(communicate(0, kRequest, got, "127.0.0.1", static_cast<uint16_t>(s.port()), 2000), c.code) << c.size;
    EXPECT_EQ(got, c.code == 0 ? answer : "") << c.size;
    ASSERT_EQ(s.requests().size(), 1u);
    EXPECT_EQ(s.requests()[0].head, "GET /x HTTP/1.0\r\n");
    if (c.code == 1007) {
      EXPECT_EQ(takeerror(),
                "sockclient_communicate: The received message from the server is to large to fit in the internal "
                "receivebuffer.\n");
    }
  }
}

TEST(SockClient, FailuresEndWithinTheLimit) {
  StandinServer stalled;
  stalled.setBehaviour(Behaviour::stall);
  StandinServer resetting;
  resetting.setBehaviour(Behaviour::reset);
  StandinServer closed;
  int deadport = closed.port();
  closed.stop();
  struct Case {
    const char* what;
    std::string host;
    int port;
    int code;
    std::string line;
  } cases[] = {
      {"stall", "127.0.0.1", stalled.port(), 1008, "A socket error occured from the server side."},
      {"reset", "127.0.0.1", resetting.port(), 1008, "A socket error occured from the server side."},
      {"nobody listening", "127.0.0.1", deadport, 1004,
       "Could not establish a TCP connection with the server. Check proxysettings."},
      {"unknown name", "nonexistent.invalid", 80, 1001,
       "Could not resolve the servers DNS name to IP-address. Check DNS setup and/or hostfiles."},
  };
  for (const Case& c : cases) {
    takeerror();
    std::string got;
    int64_t start = monotonicmillis();
    EXPECT_EQ(communicate(0, kRequest, got, c.host, static_cast<uint16_t>(c.port), 500), c.code) << c.what;
    EXPECT_LT(monotonicmillis() - start, 2000) << c.what;
    EXPECT_EQ(takeerror(), "sockclient_communicate: " + c.line + "\n") << c.what;
  }
}

}  // namespace
}  // namespace zmr
