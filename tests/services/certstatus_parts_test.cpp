// The readers under certificate status, on their own: the responder's
// address from an AIA URL and the reply parser's view of header blocks the
// stand-ins do not send.
#include "certstatustest.h"
#include "store/sessionstore.h"
#include "support/recenterror.h"
#include "support/storesession.h"

using namespace certstatustest;

namespace {

TEST(GetServerAndPort, SplitsHostPortAndPath) {
  struct Case {
    const char* url;
    int code;
    const char* host;
    int port;
    const char* path;
  } cases[] = {
      {"http://va.example", 0, "va.example", 80, "/"},
      {"https://va.example", 0, "va.example", 443, "/"},
      {"HtTpS://va.example/ocsp", 0, "va.example", 443, "/ocsp"},
      {"http://va.example:8080", 0, "va.example", 8080, "/"},
      {"http://va.example:8080/a/b?c=d", 0, "va.example", 8080, "/a/b?c=d"},
      {"http://va.example:/x", 0, "va.example", 80, "/x"},
      {"http://[::1]:8443/x", 0, "::1", 8443, "/x"},
      {"https://[::1]", 0, "::1", 443, "/"},
      {"http://va.example:0", 0, "va.example", 0, "/"},
      {"http://va.example:65535", 0, "va.example", 65535, "/"},
      {"http://va.example:65536", 0, "va.example", 0, "/"},
      {"http://va.example:123456/", 0, "va.example", 0, "/"},
      {"http://va.example:-1/", 0, "va.example", 0, "/"},
      {"http://va.example:80x/", 0, "va.example", 0, "/"},
      {"va.example", 13002, "", 0, ""},
      {"ftp://va.example", 13002, "", 0, ""},
      {"https:/va.example", 13002, "", 0, ""},
      {"http://", 13002, "", 0, ""},
      {"http://:80/", 13002, "", 0, ""},
      {"http://[::1/", 13002, "", 0, ""},
      {"http://[::1]x/", 13002, "", 0, ""},
  };
  int s = zmrtest::openStoreSession();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    zmr::VaAddress a;
    a.host = "stale";
    EXPECT_EQ(c.code, zmr::getserverandport(s, c.url, a));
    EXPECT_EQ(c.host, a.host);
    EXPECT_EQ(c.port, a.port);
    EXPECT_EQ(c.path, a.path);
    EXPECT_EQ(c.code != 0, !zmrtest::peekRecentError().empty());
    takeError();
  }
  zmr::freesession(s);
}

// Header blocks with Content-Length where the client's reader would not
// deliver them as such: the parser alone decides.
TEST(GetOcspResponse, ReadsTheHeaderBlockOnly) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  std::string der = zmrtest::makeOcspResponseDer(zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get()));
  std::string length = std::to_string(der.size());
  struct Case {
    const char* name;
    std::string reply;
    int code;
  } cases[] = {
      {"exact", "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + der, 0},
      {"any case, blanks", "HTTP/1.0 200 Fine\r\ncOnTeNt-LeNgTh:\t " + length + " \r\n\r\n" + der, 0},
      {"more bytes than announced", "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + der + "junk", 0},
      {"fewer bytes than announced",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(der.size() + 1) + "\r\n\r\n" + der, 13008},
      {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n" + der, 13008},
      {"status text only", "HTTP/1.1 20 OK 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + der, 13003},
      {"length in the status line", "HTTP/1.1 200 Content-Length: 5\r\n\r\nabcde", 13005},
      {"sign in the length", "HTTP/1.1 200 OK\r\nContent-Length: +" + length + "\r\n\r\n" + der, 13024},
      {"X-Content-Length", "HTTP/1.1 200 OK\r\nX-Content-Length: " + length + "\r\n\r\n" + der, 13005},
      {"empty", "", 13003},
  };
  int s = zmrtest::openStoreSession();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zmr::OcspAnswer answer;
    EXPECT_EQ(c.code, zmr::getocspresponse(s, c.reply, answer));
    EXPECT_EQ(c.code == 0, answer.basic != nullptr);
    if (c.code == 0) {
      EXPECT_EQ(der, answer.fullder);
    }
    takeError();
  }
  zmr::freesession(s);
}

}  // namespace
