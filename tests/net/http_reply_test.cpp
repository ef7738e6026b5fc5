#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/http_lib.h"

namespace zmr {
namespace {

// Feeds the chunks; at the end (unless complete) the server closes.
struct Outcome {
  int code;
  std::string reply;
};
Outcome run(const std::vector<std::string>& chunks) {
  HttpReplyReader r;
  for (const std::string& c : chunks) {
    int rc = http_replyfeed(r, c);
    if (rc == 1) return {kHttpOk, r.data};
    if (rc != 0) return {rc, ""};
  }
  int rc = http_replyclose(r);
  return {rc, rc == kHttpOk ? r.data : ""};
}

TEST(HttpReply, CompletionTable) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    int code;
    std::string reply;
  } cases[] = {
      {"length reached", {ok + "Content-Length: 5\r\n\r\nhello"}, kHttpOk, ok + "Content-Length: 5\r\n\r\nhello"},
      {"lower case", {ok + "content-length: 2\r\n\r\nhi"}, kHttpOk, ok + "content-length: 2\r\n\r\nhi"},
      {"capitals count too", {ok + "CONTENT-LENGTH: 2\r\n\r\nhi"}, kHttpOk, ok + "CONTENT-LENGTH: 2\r\n\r\nhi"},
      {"header split across reads",
       {ok + "X: 1\r\nConte", "nt-Length: 3\r", "\n\r", "\nab", "c"},
       kHttpOk,
       ok + "X: 1\r\nContent-Length: 3\r\n\r\nabc"},
      {"bytes past the length are not the reply", {ok + "Content-Length: 1\r\n\r\nab"}, kHttpOk,
       ok + "Content-Length: 1\r\n\r\na"},
      {"zero length", {ok + "Content-Length: 0\r\n\r\n"}, kHttpOk, ok + "Content-Length: 0\r\n\r\n"},
      {"close delimited", {ok + "\r\nbody", " more"}, kHttpOk, ok + "\r\nbody more"},
      {"length only in the body is no length", {ok + "\r\nContent-Length: 1\r\n\r\nxyz"}, kHttpOk,
       ok + "\r\nContent-Length: 1\r\n\r\nxyz"},
      {"unparsable length waits for the close", {ok + "Content-Length: 5x\r\n\r\nab"}, kHttpOk,
       ok + "Content-Length: 5x\r\n\r\nab"},
      {"closed before the announced length", {ok + "Content-Length: 10\r\n\r\nabc"}, kHttpConnection, ""},
      {"nothing received", {}, kHttpConnection, ""},
      {"proxy authentication", {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"}, kHttpProxyAuth, ""},
      {"407 split over reads", {"HTTP/1.1 40", "7 Auth\r\n\r\n"}, kHttpProxyAuth, ""},
      {"407 only in a header is not a status", {ok + "X: 407 \r\nContent-Length: 0\r\n\r\n"}, kHttpOk,
       ok + "X: 407 \r\nContent-Length: 0\r\n\r\n"},
      {"announced body above the ceiling", {ok + "Content-Length: 2097152\r\n\r\n"}, kHttpConnection, ""},
      {"absurd length", {ok + "Content-Length: 99999999999999999999999\r\n\r\n"}, kHttpConnection, ""},
      {"endless header", {ok + std::string(kHttpMaxHeader, 'x')}, kHttpConnection, ""},
  };
  for (const Case& c : cases) {
    Outcome o = run(c.chunks);
    EXPECT_EQ(o.code, c.code) << c.what;
    EXPECT_EQ(o.reply, c.reply) << c.what;
  }
}

TEST(HttpReply, BodyCeiling) {
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  std::string body(kHttpMaxBody, 'a');
  Outcome exact = run({head, body});
  EXPECT_EQ(exact.code, kHttpOk);
  EXPECT_EQ(exact.reply.size(), head.size() + kHttpMaxBody);
  EXPECT_EQ(run({head, body, "b"}).code, kHttpConnection);
  std::string announced = "HTTP/1.1 200 OK\r\nContent-Length: 2097151\r\n\r\n";
  EXPECT_EQ(run({announced, body}).code, kHttpOk);
}

TEST(HttpReply, StatusCode) {
  EXPECT_EQ(http_statuscode("HTTP/1.1 200 OK\r\n"), 200);
  EXPECT_EQ(http_statuscode("HTTP/1.0 407\r\n"), 407);
  EXPECT_EQ(http_statuscode("HTTP/1.1 2000 OK\r\n"), -1);
  EXPECT_EQ(http_statuscode("XTTP/1.1 200 OK\r\n"), -1);
  EXPECT_EQ(http_statuscode("HTTP/1.1 20"), -1);
  EXPECT_EQ(http_statuscode(""), -1);
}

}  // namespace
}  // namespace zmr
