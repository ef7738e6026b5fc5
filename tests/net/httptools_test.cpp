#include "net/httptools.h"

#include <gtest/gtest.h>

#include <string>

#include "store/threadstore.h"

namespace zmr {
namespace {

std::string takeerror() {
  std::optional<std::string> e;
  getlasterror(0, e);
  return e.value_or("");
}

TEST(HttpTools, OcspPost) {
  std::string body(100, '\x30');
  body[7] = '\0';  // DER may hold any byte
  std::string request;
  ASSERT_EQ(getvahttppostrequestheader(0, body, request), 0);
  const std::string head =
      "POST / HTTP/1.0\r\nContent-Type: application/ocsp-request\r\nContent-Length: 100\r\n"
      "Connection: close\r\nCache-Control: no-cache\r\n\r\n";
  EXPECT_EQ(request, head + body);

  std::string fits(kRequestBuffer - head.size() - 1, 'x');  // its length has four digits, not three
  EXPECT_EQ(getvahttppostrequestheader(0, fits, request), 0);
  EXPECT_EQ(request.size(), kRequestBuffer);
  takeerror();
  EXPECT_EQ(getvahttppostrequestheader(0, fits + "x", request), 33004);
  EXPECT_EQ(request, "");
  EXPECT_EQ(takeerror(), "httptools_getvahttppostrequestheader: Truncation occured\n");
}

TEST(HttpTools, TagGetTable) {
  const std::string tail =
      "\r\nPragma: no-cache\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n\r\n";
  struct Case {
    std::string url;
    int proxy;
    std::string credentials;
    int code;
    std::string request;  // or the error line
  } cases[] = {
      {"http://srv/tags/x.gif", 0, "", 0, "GET /tags/x.gif HTTP/1.0\r\nHost: srv:80" + tail},
      {"http://srv/tags/x.gif", 1, "", 0, "GET http://srv/tags/x.gif HTTP/1.0\r\nHost: srv:80" + tail},
      {"http://srv:8080/t", 1, "dTpw", 0,
       "GET http://srv:8080/t HTTP/1.0\r\nProxy-Authorization: Basic dTpw\r\nHost: srv:8080" + tail},
      {"http://srv:8080/t", 0, "dTpw", 0, "GET /t HTTP/1.0\r\nHost: srv:8080" + tail},
      {"srv/x", 0, "", 10001, "httptools_gettaghttpgetrequestheader: The requested url is not valid\n"},
      {"http://srv", 0, "", 10001, "httptools_gettaghttpgetrequestheader: The requested url is not valid\n"},
      {"http://srv/x\r\nX-Injected: 1", 0, "", 10001,
       "httptools_gettaghttpgetrequestheader: The requested url is not valid\n"},
      {"http://" + std::string(1000, 's') + "/x", 0, "", 10002,
       "httptools_gettaghttpgetrequestheader: The requested servername is to large for internal buffers\n"},
      {"http://" + std::string(999, 's') + "/x", 0, "", 0,
       "GET /x HTTP/1.0\r\nHost: " + std::string(999, 's') + ":80" + tail},
      {"http://srv/" + std::string(999, 'p'), 0, "", 10003,
       "httptools_gettaghttpgetrequestheader: The requested GET parameter is too large for internal buffers\n"},
      {"http://srv/" + std::string(9000, 'p'), 0, "", 10004,
       "httptools_gettaghttpgetrequestheader: The dynamically built http request is too large to fit in internal "
       "buffer\n"},
      {"http://srv/x", 1, std::string(9990, 'c'), 33004,
       "httptools_gettaghttpgetrequestheader: Truncation occured\n"},
  };
  for (const Case& c : cases) {
    takeerror();
    SecretString request("stale");
    EXPECT_EQ(gettaghttpgetrequestheader(0, c.url, request, c.proxy, c.credentials), c.code) << c.url.substr(0, 40);
    if (c.code == 0) {
      EXPECT_EQ(request.view(), c.request);
    } else {
      EXPECT_EQ(request.view(), "");
      EXPECT_EQ(takeerror(), c.request);
    }
  }
}

TEST(HttpTools, HostLineReaders) {
  struct Case {
    std::string text;
    int servercode;
    std::string server;
    int portcode;
    std::string port;
  } cases[] = {
      {"GET / HTTP/1.0\r\nHost: srv:8443\r\n\r\n", 0, "srv", 0, "8443\r"},
      {"GET / HTTP/1.0\r\nHost: srv\r\n\r\n", 0, "srv\r", 10001,
       "httptools_getportfromgetrequestheader: Did not find the port in the http GET headers host entry\n"},
      // A colon on a later line is not this line's port.
      {"GET / HTTP/1.0\r\nHost: srv\r\nPragma: no-cache\r\n\r\n", 0, "srv\r", 10001,
       "httptools_getportfromgetrequestheader: Did not find the port in the http GET headers host entry\n"},
      {"Host: srv:1", 0, "srv", 10001,
       "httptools_getportfromgetrequestheader: The host entry in the http GET header lacks end of line\n"},
      {"Host: srv", 10001,
       "httptools_getserverfromgetrequestheader: The host entry in the http GET header lacks end of line\n", 10001,
       "httptools_getportfromgetrequestheader: Did not find the port in the http GET headers host entry\n"},
      {"GET / HTTP/1.0\r\n\r\n", 10001,
       "httptools_getserverfromgetrequestheader: Did not find host entry in http GET header\n", 10001,
       "httptools_getportfromgetrequestheader: Did not find host entry in http GET header\n"},
      {"Host: " + std::string(1000, 's') + ":" + std::string(1000, '9') + "\n", 10002,
       "httptools_getserverfromgetrequestheader: The servername is too large to fit in internal buffers\n", 10002,
       "httptools_getportfromgetrequestheader: The host entrys portnumber is too large to fit in internal "
       "buffers\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    takeerror();
    std::string out = "stale";
    EXPECT_EQ(getserverfromgetrequestheader(0, c.text, out), c.servercode);
    if (c.servercode == 0) {
      EXPECT_EQ(out, c.server);
    } else {
      EXPECT_EQ(takeerror(), c.server);
    }
    out = "stale";
    EXPECT_EQ(getportfromgetrequestheader(0, c.text, out), c.portcode);
    if (c.portcode == 0) {
      EXPECT_EQ(out, c.port);
    } else {
      EXPECT_EQ(takeerror(), c.port);
    }
  }
}

}  // namespace
}  // namespace zmr
