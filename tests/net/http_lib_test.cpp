#include "net/http_lib.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

#include "support/standin.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "tools/systemtools.h"

namespace zmr {
namespace {

using zmrtest::Behaviour;
using zmrtest::HttpRequest;
using zmrtest::HttpResponse;
using zmrtest::ProxyStandin;
using zmrtest::StandinServer;

constexpr const char* kForm = "application/x-www-form-urlencoded; charset=iso-8859-1";

// A port nobody listens on.
int deadport() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

HttpResponse echo(const HttpRequest& r) {
  HttpResponse out;
  out.body = "got=" + r.body;
  return out;
}

std::string recent() {
  const std::string* e = peeklasterror();
  return e == nullptr ? "" : *e;
}

class HttpClient : public ::testing::Test {
 protected:
  void SetUp() override {
    bed = std::make_unique<zmrtest::TlsTestbed>(zmrtest::makeTlsTestbed("http"));
    session = bed->openSession();
    ASSERT_GE(session, 0);
    state = zmrtest::sessionState(session);
    ASSERT_EQ(getsdmsslcontext(*state, &client), 0);
  }
  void TearDown() override {
    state.reset();
    freesession(session);
  }
  void property(const std::string& k, const std::string& v) { state->properties.emplace_back(k, v); }
  void viaproxy(int port, const std::string& prefix = "sdm") {
    property(prefix + "httpproxyserver", "127.0.0.1");
    property(prefix + "httpproxyport", std::to_string(port));
  }
  std::unique_ptr<StandinServer> server(bool tls) {
    auto s = tls ? std::make_unique<StandinServer>(bed->good()) : std::make_unique<StandinServer>();
    s->handle("/x", echo);
    return s;
  }
  SSL_CTX* ctx(bool tls) { return tls ? client : nullptr; }
  int post(SSL_CTX* c, int port, std::string& reply, int timeout = 10, std::string_view body = "a=1") {
    return http_post(*state, c, "127.0.0.1", port, "/x", body, kForm, reply, timeout, "sdm");
  }

  std::unique_ptr<zmrtest::TlsTestbed> bed;
  int session = -1;
  SessionRef state;
  SSL_CTX* client = nullptr;
};

TEST_F(HttpClient, RepliesDirectAndThroughProxy) {
  for (bool tls : {false, true}) {
    for (bool proxied : {false, true}) {
      for (Behaviour b : {Behaviour::normal, Behaviour::closeDelimited, Behaviour::slow}) {
        SCOPED_TRACE(testing::Message() << "tls=" << tls << " proxy=" << proxied << " behaviour=" << int(b));
        auto s = server(tls);
        s->setBehaviour(b);
        s->setSlowPause(std::chrono::milliseconds(2));
        ProxyStandin proxy;
        state->properties.clear();
        if (proxied) viaproxy(proxy.port());
        std::string reply;
        int64_t start = monotonicmillis();
        ASSERT_EQ(post(ctx(tls), s->port(), reply), 0) << recent();
        // The normal server keeps the connection open: the length ends it.
        EXPECT_LT(monotonicmillis() - start, 8000);
        EXPECT_EQ(reply.substr(0, 17), "HTTP/1.1 200 OK\r\n");
        EXPECT_EQ(reply.substr(reply.size() - 11), "\r\n\r\ngot=a=1");

        auto seen = s->requests();
        ASSERT_EQ(seen.size(), 1u);
        const HttpRequest& r = seen[0];
        std::string hostport = "127.0.0.1:" + std::to_string(s->port());
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.target, "/x");
        EXPECT_EQ(r.version, "HTTP/1.1");
        EXPECT_EQ(r.header("host"), hostport);
        EXPECT_EQ(r.header("Content-Type"), kForm);
        EXPECT_EQ(r.header("Content-Length"), "3");
        EXPECT_EQ(r.header("Connection"), "close");
        EXPECT_EQ(r.header("Cache-Control"), "no-cache");
        EXPECT_EQ(r.header("User-Agent"), "verudeviva/5.2.2");
        EXPECT_EQ(r.body, "a=1");
        std::vector<std::string> lines = proxy.requestLines();
        if (!proxied) {
          EXPECT_TRUE(lines.empty());
          EXPECT_EQ(r.head.substr(0, r.head.find("\r\n") + 8), "POST /x HTTP/1.1\r\nhost: ");
        } else if (tls) {
          EXPECT_EQ(lines, std::vector<std::string>{"CONNECT " + hostport + " HTTP/1.1"});
        } else {
          EXPECT_EQ(lines, std::vector<std::string>{"POST http://" + hostport + "/x HTTP/1.1"});
        }
      }
    }
  }
}

struct Failure {
  const char* what;
  bool tls;
  Behaviour behaviour;
  enum Server { good, unknownCa, wrongHost, foreignCiphers, none } kind;
  enum Via { direct, proxy, authproxy, refusingproxy, deadproxy, stallingproxy, resettingproxy } via;
  int code;
};

TEST_F(HttpClient, FailureTable) {
  const Failure cases[] = {
      {"plain stall", false, Behaviour::stall, Failure::good, Failure::direct, 35014},
      {"tls stall", true, Behaviour::stall, Failure::good, Failure::direct, 35014},
      {"tls stall in handshake", true, Behaviour::stallHandshake, Failure::good, Failure::direct, 35014},
      {"tls stall through proxy", true, Behaviour::stall, Failure::good, Failure::proxy, 35014},
      {"plain truncated", false, Behaviour::truncated, Failure::good, Failure::direct, 35011},
      {"tls truncated", true, Behaviour::truncated, Failure::good, Failure::direct, 35011},
      {"plain reset", false, Behaviour::reset, Failure::good, Failure::direct, 35011},
      {"tls reset", true, Behaviour::reset, Failure::good, Failure::direct, 35011},
      {"unknown CA", true, Behaviour::normal, Failure::unknownCa, Failure::direct, 35006},
      {"unknown CA through proxy", true, Behaviour::normal, Failure::unknownCa, Failure::proxy, 35006},
      {"wrong host name", true, Behaviour::normal, Failure::wrongHost, Failure::direct, 35006},
      {"suites outside the list", true, Behaviour::normal, Failure::foreignCiphers, Failure::direct, 35006},
      {"nobody listening", false, Behaviour::normal, Failure::none, Failure::direct, 35005},
      {"tls nobody listening", true, Behaviour::normal, Failure::none, Failure::direct, 35005},
      {"tls proxy wants credentials", true, Behaviour::normal, Failure::good, Failure::authproxy, 35012},
      {"plain proxy wants credentials", false, Behaviour::normal, Failure::good, Failure::authproxy, 35012},
      {"tls proxy refuses", true, Behaviour::normal, Failure::good, Failure::refusingproxy, 35004},
      {"tls proxy not listening", true, Behaviour::normal, Failure::good, Failure::deadproxy, 35002},
      {"plain proxy not listening", false, Behaviour::normal, Failure::good, Failure::deadproxy, 35005},
      {"tls proxy never answers CONNECT", true, Behaviour::normal, Failure::good, Failure::stallingproxy, 35014},
      {"tls proxy resets on CONNECT", true, Behaviour::normal, Failure::good, Failure::resettingproxy, 35003},
  };
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<StandinServer> s;
    switch (c.kind) {
      case Failure::good: s = server(c.tls); break;
      case Failure::unknownCa: s = std::make_unique<StandinServer>(bed->unknownCa()); break;
      case Failure::wrongHost: s = std::make_unique<StandinServer>(bed->wrongHost()); break;
      case Failure::foreignCiphers: s = std::make_unique<StandinServer>(bed->foreignCiphers()); break;
      case Failure::none: break;
    }
    if (s) s->setBehaviour(c.behaviour);
    int port = s ? s->port() : deadport();
    ProxyStandin proxy;
    StandinServer fakeproxy;  // a server that is no proxy at all
    state->properties.clear();
    switch (c.via) {
      case Failure::direct: break;
      case Failure::proxy: viaproxy(proxy.port()); break;
      case Failure::authproxy: proxy.requireCredentials("u:p"); viaproxy(proxy.port()); break;
      case Failure::refusingproxy: proxy.setRefusal(403); viaproxy(proxy.port()); break;
      case Failure::deadproxy: viaproxy(deadport()); break;
      case Failure::stallingproxy: fakeproxy.setBehaviour(Behaviour::stall); viaproxy(fakeproxy.port()); break;
      case Failure::resettingproxy: fakeproxy.setBehaviour(Behaviour::reset); viaproxy(fakeproxy.port()); break;
    }
    std::string reply = "stale";
    // Only the time-outs wait for the limit; the others get room to spare.
    bool timeout = c.code == 35014;
    int64_t start = monotonicmillis();
    EXPECT_EQ(post(ctx(c.tls), port, reply, timeout ? 1 : 10), c.code);
    if (timeout) {
      EXPECT_LT(monotonicmillis() - start, 2500);
    }
    EXPECT_EQ(reply, "");
    EXPECT_EQ(recent(), std::string("http_post: ") + http_get_error(c.code) + "\n");
  }
}

TEST_F(HttpClient, BadArgumentsNeverReachTheWire) {
  auto s = server(false);
  struct Case {
    std::string host;
    int port;
    std::string path;
    std::string type;
  } cases[] = {
      {"", s->port(), "/x", kForm},
      {"127.0.0.1", -1, "/x", kForm},
      {"127.0.0.1", s->port(), "", kForm},
      {"127.0.0.1", s->port(), "/x HTTP/1.1\r\nX-Injected: 1\r\n", kForm},
      {"127.0.0.1\r\nX: 1", s->port(), "/x", kForm},
      {"127.0.0.1", s->port(), "/x", "text/plain\r\nX-Injected: 1"},
  };
  for (const Case& c : cases) {
    std::string reply;
    EXPECT_EQ(http_post(*state, nullptr, c.host, c.port, c.path, "b", c.type, reply, 1, "sdm"), 35001) << c.path;
    EXPECT_EQ(recent(), "http_post: Null server and resource arguments\n");
  }
  std::string reply;
  EXPECT_EQ(http_post_url(*state, nullptr, "http://127.0.0.1:12x/x", "b", kForm, reply, 1, "sdm"), 35001);
  EXPECT_EQ(http_post_url(*state, nullptr, "/nohost", "b", kForm, reply, 1, "sdm"), 35001);
  EXPECT_EQ(s->connections(), 0);
}

TEST_F(HttpClient, ClearsTheRecentError) {
  std::string reply;
  auto s = server(false);
  setlasterror(session, "earlier line\n");
  EXPECT_EQ(http_post_url(*state, nullptr, s->url("/x"), "b", kForm, reply, 10, "sdm"), 0);
  EXPECT_EQ(recent(), "");
}

TEST_F(HttpClient, LengthHeaderInAnyCaseEndsTheReply) {
  // The server keeps the connection open: only the length can end the reply.
  for (const char* name : {"Content-Length", "content-length", "CONTENT-LENGTH", "cOnTeNt-LeNgTh"}) {
    StandinServer s;
    s.handle("/x", [name](const HttpRequest&) {
      HttpResponse r;
      r.raw = std::string("HTTP/1.1 200 OK\r\n") + name + ": 5\r\n\r\nhello";
      return r;
    });
    std::string reply;
    EXPECT_EQ(post(nullptr, s.port(), reply), 0) << name;
    EXPECT_EQ(reply, std::string("HTTP/1.1 200 OK\r\n") + name + ": 5\r\n\r\nhello");
  }
}

TEST_F(HttpClient, BodyCeilingOverTls) {
  for (size_t extra : {0, 1}) {
    StandinServer s(bed->good());
    s.setBehaviour(Behaviour::closeDelimited);
    s.handle("/x", [extra](const HttpRequest&) {
      HttpResponse r;
      r.body = std::string(kHttpMaxBody + extra, 'z');
      return r;
    });
    std::string reply;
    int rc = post(client, s.port(), reply, 30);
    if (extra == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(reply.size() - (reply.find("\r\n\r\n") + 4), kHttpMaxBody);
    } else {
      EXPECT_EQ(rc, 35011);
      EXPECT_EQ(recent(), "http_post: Connection error\n");
    }
  }
}

TEST_F(HttpClient, ProxyKeysAndFallback) {
  ProxyStandin prefixed, plain;
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> properties;
    int proxy;  // 0 direct, 1 prefixed, 2 unprefixed
    std::string authorization;
  } cases[] = {
      {"nothing set", {}, 0, ""},
      {"prefixed pair",
       {{"sdmhttpproxyserver", "127.0.0.1"}, {"sdmhttpproxyport", std::to_string(prefixed.port())},
        {"SDMhttpproxycredentials", "user:pw"}},
       1,
       "Basic dXNlcjpwdw=="},
      {"prefixed server without port falls back, prefixed credentials dropped",
       {{"sdmhttpproxyserver", "127.0.0.1"}, {"sdmhttpproxycredentials", "user:pw"},
        {"httpproxyserver", "127.0.0.1"}, {"httpproxyport", std::to_string(plain.port())},
        {"httpproxycredentials", "u:p"}},
       2,
       "Basic dTpw"},
      {"prefixed server without port and nothing else goes direct",
       {{"sdmhttpproxyserver", "127.0.0.1"}, {"sdmhttpproxycredentials", "user:pw"}}, 0, ""},
      {"another prefix is not ours",
       {{"vahttpproxyserver", "127.0.0.1"}, {"vahttpproxyport", std::to_string(prefixed.port())}}, 0, ""},
      {"port that is no number",
       {{"sdmhttpproxyserver", "127.0.0.1"}, {"sdmhttpproxyport", "80x"}, {"httpproxyserver", "127.0.0.1"},
        {"httpproxyport", std::to_string(plain.port())}},
       2,
       ""},
      {"empty credentials are none",
       {{"httpproxyserver", "127.0.0.1"}, {"httpproxyport", std::to_string(plain.port())},
        {"httpproxycredentials", ""}},
       2,
       ""},
  };
  auto s = server(true);
  size_t seen[3] = {0, 0, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    state->properties.assign(c.properties.begin(), c.properties.end());
    std::string reply;
    ASSERT_EQ(post(client, s->port(), reply), 0) << recent();
    size_t now[3] = {s->requests().size(), prefixed.requestLines().size(), plain.requestLines().size()};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(now[i] - seen[i], i == 0 || i == c.proxy ? 1u : 0u) << i;
    if (c.proxy == 1) {
      EXPECT_EQ(prefixed.authorizations().back(), c.authorization);
    } else if (c.proxy == 2) {
      EXPECT_EQ(plain.authorizations().back(), c.authorization);
    }
    for (int i = 0; i < 3; ++i) seen[i] = now[i];
  }
}

TEST_F(HttpClient, CredentialsOpenAnAuthenticatingProxy) {
  for (bool tls : {false, true}) {
    ProxyStandin proxy;
    proxy.requireCredentials("merchant:secret");
    auto s = server(tls);
    state->properties.clear();
    viaproxy(proxy.port(), "ravud");
    property("ravudhttpproxycredentials", "merchant:secret");
    std::string reply;
    EXPECT_EQ(http_post(*state, ctx(tls), "127.0.0.1", s->port(), "/x", "a=1", kForm, reply, 10, "ravud"), 0)
        << recent();
    ASSERT_EQ(s->requests().size(), 1u);
    // The credentials are for the proxy only, never for the server.
    EXPECT_FALSE(s->requests()[0].header("Proxy-Authorization"));
    EXPECT_EQ(proxy.authorizations(), std::vector<std::string>{"Basic bWVyY2hhbnQ6c2VjcmV0"});
  }
}

TEST_F(HttpClient, GetAndPostWithoutBody) {
  auto s = server(false);
  s->handle("/g", [](const HttpRequest&) {
    HttpResponse r;
    r.body = "page";
    return r;
  });
  std::string reply;
  ASSERT_EQ(http_get_url(*state, nullptr, s->url("/g?q=1"), reply, "sdm"), 0);
  EXPECT_EQ(reply.substr(reply.size() - 4), "page");
  ASSERT_EQ(http_post(*state, nullptr, "127.0.0.1", s->port(), "/x", std::nullopt, kForm, reply, 10, "sdm"), 0);
  auto seen = s->requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/g?q=1");
  EXPECT_EQ(seen[0].header("Accept"), "text/plain, text/html, */*");
  EXPECT_EQ(seen[0].header("Pragma"), "no-cache");
  EXPECT_FALSE(seen[0].header("Content-Length"));
  EXPECT_FALSE(seen[1].header("Content-Type"));
  EXPECT_FALSE(seen[1].header("Content-Length"));

  StandinServer dead;
  dead.setBehaviour(Behaviour::reset);
  EXPECT_EQ(http_get_url(*state, nullptr, dead.url("/g"), reply, "sdm"), 35011);
  EXPECT_EQ(recent(), "http_get: Connection error\n");
}

TEST_F(HttpClient, WorksOnDescriptorsAbove1024) {
  struct rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
  rlim_t old = lim.rlim_cur;
  lim.rlim_cur = lim.rlim_max < 4096 ? lim.rlim_max : 4096;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  auto s = server(true);
  std::vector<int> filler;
  int fd;
  while ((fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 1100) filler.push_back(fd);
  if (fd >= 0) filler.push_back(fd);
  std::string reply;
  EXPECT_EQ(post(client, s->port(), reply), 0) << recent();
  for (int f : filler) ::close(f);
  lim.rlim_cur = old;
  setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace
}  // namespace zmr
