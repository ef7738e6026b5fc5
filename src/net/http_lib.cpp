// The exchange itself: connect, optional proxy tunnel, TLS, request, reply.
//
// Sockets are non-blocking and every wait is a poll on the one descriptor
// bounded by the exchange's deadline. TLS runs over a small socket BIO of
// our own that sends with MSG_NOSIGNAL: a server that closes early must not
// raise SIGPIPE in the host process. Nothing here takes a lock; OpenSSL 3
// runs handshakes on separate SSL objects in parallel, and the shared
// SSL_CTX is only read.
#include "net/http_lib.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "misc/ossl.h"
#include "misc/status.h"
#include "misc/version.h"
#include "net/netio.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

struct SockIo {
  int fd = -1;
  bool eof = false;
};

int biowrite(BIO* b, const char* data, int len) {
  auto* io = static_cast<SockIo*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n = ::send(io->fd, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int bioread(BIO* b, char* out, int len) {
  auto* io = static_cast<SockIo*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n = ::recv(io->fd, out, static_cast<size_t>(len), 0);
  if (n == 0) io->eof = true;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
  return static_cast<int>(n);
}

long bioctrl(BIO* b, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DUP:
      return 1;
    case BIO_CTRL_EOF:
      return static_cast<SockIo*>(BIO_get_data(b))->eof ? 1 : 0;
    default:
      return 0;
  }
}

int biocreate(BIO* b) {
  BIO_set_init(b, 0);
  return 1;
}

int biodestroy(BIO*) { return 1; }  // the descriptor belongs to the exchange

// Made once and kept for the life of the process (the host shares OpenSSL;
// nothing of it is torn down). A failed attempt is not kept: the next call
// tries again.
std::atomic<BIO_METHOD*> socketmethod{nullptr};
std::mutex socketmethodmaking;

// A fixed type number of our own rather than one from BIO_get_new_index:
// OpenSSL makes that function's lock once per process and keeps a failure
// to make it for good. OpenSSL's own types stay far below this number and
// the numbers it hands out start above it; nothing looks the type up.
constexpr int kSocketBioIndex = BIO_TYPE_START - 1;

BIO_METHOD* makesockmethod() {
  BIO_METHOD* m = BIO_meth_new(kSocketBioIndex | BIO_TYPE_SOURCE_SINK, "zmr socket");
  if (m != nullptr && (BIO_meth_set_write(m, biowrite) != 1 || BIO_meth_set_read(m, bioread) != 1 ||
                       BIO_meth_set_ctrl(m, bioctrl) != 1 || BIO_meth_set_create(m, biocreate) != 1 ||
                       BIO_meth_set_destroy(m, biodestroy) != 1)) {
    BIO_meth_free(m);
    m = nullptr;
  }
  return m;
}

BIO_METHOD* sockmethod() {
  BIO_METHOD* m = socketmethod.load(std::memory_order_acquire);
  if (m != nullptr) return m;
  std::lock_guard<std::mutex> lock(socketmethodmaking);
  m = socketmethod.load(std::memory_order_acquire);
  if (m == nullptr) {
    m = makesockmethod();
    if (m != nullptr) {
      socketmethod.store(m, std::memory_order_release);
    } else {
      ERR_clear_error();
    }
  }
  return m;
}

struct Conn {
  UniqueFd fd;
  SockIo io;
  SslPtr ssl;
};

// Waits for what the TLS layer asked for; 0 to go on, else the code.
int waittls(Conn& c, int err, int64_t deadline, int failcode) {
  short events;
  if (err == SSL_ERROR_WANT_READ) {
    events = POLLIN;
  } else if (err == SSL_ERROR_WANT_WRITE) {
    events = POLLOUT;
  } else {
    return failcode;
  }
  switch (waitfd(c.fd.fd, events, deadline)) {
    case WaitResult::ready:
      return 0;
    case WaitResult::timeout:
      return kHttpTimeout;
    default:
      return kHttpConnection;
  }
}

int sendall(Conn& c, std::string_view data, int64_t deadline) {
  size_t done = 0;
  while (done < data.size()) {
    // No time left is a time-out, never an unlimited send.
    if (remainingms(deadline) <= 0) return kHttpTimeout;
    if (c.ssl) {
      size_t n = 0;
      ERR_clear_error();
      int rc = SSL_write_ex(c.ssl.get(), data.data() + done, data.size() - done, &n);
      if (rc == 1) {
        done += n;
        continue;
      }
      int w = waittls(c, SSL_get_error(c.ssl.get(), rc), deadline, kHttpConnection);
      if (w != 0) return w;
    } else {
      ssize_t n = ::send(c.fd.fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kHttpConnection;
      WaitResult w = waitfd(c.fd.fd, POLLOUT, deadline);
      if (w == WaitResult::timeout) return kHttpTimeout;
      if (w == WaitResult::error) return kHttpConnection;
    }
  }
  return 0;
}

// Reads what is there, waiting up to the deadline. got 0 means the peer
// closed. Data already decrypted inside TLS is taken before any wait.
int recvsome(Conn& c, char* buf, size_t cap, size_t& got, int64_t deadline, int failcode) {
  got = 0;
  while (true) {
    if (c.ssl) {
      ERR_clear_error();
      int rc = SSL_read_ex(c.ssl.get(), buf, cap, &got);
      if (rc == 1) return 0;
      int err = SSL_get_error(c.ssl.get(), rc);
      if (err == SSL_ERROR_ZERO_RETURN) {
        got = 0;
        return 0;
      }
      int w = waittls(c, err, deadline, failcode);
      if (w == kHttpConnection) w = failcode;
      if (w != 0) return w;
    } else {
      ssize_t n = ::recv(c.fd.fd, buf, cap, 0);
      if (n >= 0) {
        got = static_cast<size_t>(n);
        return 0;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return failcode;
      WaitResult w = waitfd(c.fd.fd, POLLIN, deadline);
      if (w == WaitResult::timeout) return kHttpTimeout;
      if (w == WaitResult::error) return failcode;
    }
  }
}

int opentunnel(Conn& c, const HttpExchange& x, int64_t deadline) {
  SecretString text;  // may hold the proxy credentials
  const std::string port = std::to_string(x.port);
  text.value.reserve(64 + x.host.size() + x.proxycredentials.size());
  text.value.append("CONNECT ").append(x.host).append(":").append(port).append(" HTTP/1.1\r\n");
  if (!x.proxycredentials.empty())
    text.value.append("Proxy-Authorization: Basic ").append(x.proxycredentials).append("\r\n");
  text.value.append("\r\n");
  int rc = sendall(c, text.value, deadline);
  if (rc != kOk) return rc;
  std::string reply;
  char buf[4096];
  while (reply.size() < 4095 && reply.find("\r\n\r\n") == std::string::npos) {
    size_t got = 0;
    rc = recvsome(c, buf, 4095 - reply.size(), got, deadline, kHttpProxyRead);
    if (rc != kOk) return rc;
    if (got == 0) break;
    reply.append(buf, got);
  }
  int status = http_statuscode(reply);
  if (status == 407) return kHttpProxyAuth;
  if (status != 200) return kHttpProxyBadReply;
  return 0;
}

bool isipliteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

int handshake(Conn& c, SSL_CTX* ctx, std::string_view host, int64_t deadline) {
  BIO_METHOD* method = sockmethod();
  if (method == nullptr) return kHttpInternal;
  c.ssl.reset(SSL_new(ctx));
  if (!c.ssl) return kHttpInternal;
  SSL* ssl = c.ssl.get();
  // The expected name belongs to this connection only; the context is
  // shared by every thread of the session.
  std::string name(host);
  if (isipliteral(name)) {
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) != 1) return kHttpInit;
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_MULTI_LABEL_WILDCARDS);
    if (SSL_set1_host(ssl, name.c_str()) != 1) return kHttpInit;
    if (SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) return kHttpInit;
  }
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return kHttpInternal;
  BIO_set_data(bio, &c.io);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl, bio, bio);
  while (true) {
    if (remainingms(deadline) <= 0) return kHttpTimeout;
    ERR_clear_error();
    int rc = SSL_connect(ssl);
    if (rc == 1) break;
    // A system-call error is a failed handshake, not a reason to retry.
    int w = waittls(c, SSL_get_error(ssl, rc), deadline, kHttpHandshake);
    if (w == kHttpConnection) w = kHttpHandshake;
    if (w != 0) return w;
  }
  if (SSL_get_verify_result(ssl) != X509_V_OK) return kHttpHandshake;
  return 0;
}

int exchange(const HttpExchange& x, std::string& reply) {
  if (x.host.empty() || x.port < 0 || x.method.empty() || x.path.empty()) return kHttpBadArguments;
  // Nothing the caller passes may split the request line or add headers.
  if (hasunsafebyte(x.host) || hasunsafebyte(x.method) || hasunsafebyte(x.path) || hasunsafebyte(x.proxyhost) ||
      hasunsafebyte(x.proxycredentials))
    return kHttpBadArguments;
  bool tls = x.ctx != nullptr;
  bool proxy = !x.proxyhost.empty() && x.proxyport > 0;
  std::string hostport = std::string(x.host) + ":" + std::to_string(x.port);

  SecretString head;  // may hold the proxy credentials
  WipedString& h = head.value;
  h.reserve(256 + x.method.size() + 2 * hostport.size() + x.path.size() + x.headers.size() + x.proxycredentials.size() +
            (x.body ? x.body->size() : 0));
  h.append(x.method).append(" ");
  if (proxy && !tls) {
    h.append("http://").append(hostport).append(x.path).append(" HTTP/1.1\r\n");
    if (!x.proxycredentials.empty()) h.append("Proxy-Authorization: Basic ").append(x.proxycredentials).append("\r\n");
  } else {
    h.append(x.path).append(" HTTP/1.1\r\nhost: ").append(hostport).append("\r\n");
  }
  if (x.body) h.append("Content-Length: ").append(std::to_string(x.body->size())).append("\r\n");
  if (proxy && !tls) h.append("Host: ").append(hostport).append("\r\n");
  h.append(x.headers);
  if (!x.headers.empty() && x.headers.back() != '\n') h.append("\r\n");
  h.append("\r\n");

  int64_t limit = x.timeoutms > 0 ? x.timeoutms : int64_t{kHttpDefaultTimeoutSeconds} * 1000;
  int64_t deadline = deadlineafter(limit);
  Conn c;
  ConnectResult cr = connecttcp(proxy ? x.proxyhost : x.host, proxy ? x.proxyport : x.port, deadline, c.fd);
  if (cr == ConnectResult::timeout) return kHttpTimeout;
  if (cr != ConnectResult::ok) return proxy && tls ? kHttpProxyConnect : kHttpConnect;
  c.io.fd = c.fd.fd;

  int rc;
  if (proxy && tls && (rc = opentunnel(c, x, deadline)) != 0) return rc;
  if (tls && (rc = handshake(c, x.ctx, x.host, deadline)) != 0) return rc;
  // Head and body leave in one write: a second small write would wait for
  // the peer's delayed acknowledgement.
  if (x.body) h.append(*x.body);
  if ((rc = sendall(c, h, deadline)) != 0) return rc;
  head.wipe();

  HttpReplyReader reader;
  char buf[4096];
  while (true) {
    size_t got = 0;
    rc = recvsome(c, buf, sizeof buf - 1, got, deadline, kHttpConnection);
    if (rc != kOk) return rc;
    if (got == 0) {
      rc = http_replyclose(reader);
      if (rc != kHttpOk) return rc;
      break;
    }
    rc = http_replyfeed(reader, std::string_view(buf, got));
    if (rc == 1) break;
    if (rc != kOk) return rc;
  }
  reply = std::move(reader.data);
  return kHttpOk;
}

// Port text to a number; anything but a decimal in 1..65535 gives 0, which
// the caller treats as "no proxy".
int portnumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n <= 65535 ? n : 0;
}

bool safeheadervalue(std::string_view text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

std::string requestheaders(std::optional<std::string_view> body, std::string_view contenttype) {
  std::string h;
  if (body) h.append("Content-Type: ").append(contenttype).append("\r\n");
  h.append("Connection: close\r\nCache-Control: no-cache\r\nUser-Agent: ")
      .append(kUserAgent)
      .append("/")
      .append(kVersion)
      .append("\r\n");
  return h;
}

// The session's proxy for a connection name, falling back to the
// unprefixed keys when the prefixed ones do not name both host and port.
int sessionproxy(const Session& s, std::string_view prefix, std::string& host, int& port, SecretString& credentials) {
  int rc = get_proxy_info_internal(s, prefix, host, port, credentials);
  if (rc != kOk) return rc;
  if (host.empty() || port == 0) {
    host.clear();
    port = 0;
    credentials.wipe();
    rc = get_proxy_info_internal(s, "", host, port, credentials);
  }
  return rc;
}

int posted(int session, const char* prefix, int rc) {
  if (rc == kHttpOk) return kOk;
  std::string line = std::string(prefix) + ": " + http_get_error(rc) + "\n";
  setlasterror(session, line);
  return rc;
}

// Runs x through the session's proxy for the connection name; failures of
// the exchange add "<linename>: <text>".
int proxied(const Session& s, HttpExchange& x, std::string_view prefix, const char* linename, std::string& reply) {
  std::string proxyhost;
  SecretString credentials;
  int rc = sessionproxy(s, prefix, proxyhost, x.proxyport, credentials);
  if (rc != kOk) return rc;
  x.proxyhost = proxyhost;
  x.proxycredentials = credentials.value;
  return posted(s.number, linename, http_communicate(x, reply));
}

}  // namespace

int http_init() { return sockmethod() != nullptr ? kOk : kHttpInit; }

int http_finalize() { return kOk; }

const char* http_get_error(int code) {
  switch (code) {
    case kHttpOk:
      return "200 OK";
    case kHttpBadArguments:
      return "Null server and resource arguments";
    case kHttpProxyConnect:
      return "Could not connect to proxy";
    case kHttpProxyRead:
      return "Error reading response from proxy";
    case kHttpProxyBadReply:
      return "Bad response from proxy";
    case kHttpConnect:
      return "Could not connect to server";
    case kHttpHandshake:
      return "Error during SSL handshake";
    case kHttpPeerCert:
      return "Could not retrieve SSL peer certificate";
    case kHttpPeerSubject:
      return "Could not retrieve SSL peer subject name";
    case kHttpPeerCn:
      return "Could not retrieve SSL peer common name";
    case kHttpPeerMismatch:
      return "Mismatch in SSL peer common and subject name";
    case kHttpConnection:
      return "Connection error";
    case kHttpProxyAuth:
      return "Bad proxy authentication credentials";
    case kHttpInternal:
      return "Internal error in http library";
    case kHttpTimeout:
      return "Connection timed out";
    case kHttpInit:
      return "Initialization error";
    case kHttpCleanup:
      return "Error cleaning up";
    default:
      return "Error code not implemented! Do it NOW!\n";
  }
}

int64_t http_effectivetimeoutms(int seconds) {
  return int64_t{seconds > 0 ? seconds : kHttpDefaultTimeoutSeconds} * 1000;
}

int http_communicate(const HttpExchange& x, std::string& reply) {
  reply.clear();
  int rc = exchange(x, reply);
  if (rc != kHttpOk) {
    reply.clear();
    ERR_clear_error();
  }
  return rc;
}

int get_proxy_info_internal(const Session& s, std::string_view prefix, std::string& host, int& port,
                            SecretString& credentials) {
  const int session = s.number;
  host.clear();
  port = 0;
  credentials.wipe();
  std::string p(prefix);
  std::string server, porttext;
  int rc = getproperty(s, (p + "httpproxyserver").c_str(), server);
  if (rc != kOk && rc != kPropertyAbsent) {
    setlasterror(session,
                 "httplib_getproxyinfo: An error occured trying to get the httpproxyserver parameter from "
                 "mercharnts session store.\n");
    return rc;
  }
  bool hasserver = rc == kOk;
  rc = getproperty(s, (p + "httpproxyport").c_str(), porttext);
  if (rc != kOk && rc != kPropertyAbsent) {
    setlasterror(session,
                 "httplib_getproxyinfo: An error occured trying to get the httpproxyport parameter from "
                 "mercharnts session store.\n");
    return rc;
  }
  if (hasserver && rc == kOk) {
    host = server;
    port = portnumber(porttext);
  }
  SecretString text;
  rc = getproperty(s, (p + "httpproxycredentials").c_str(), text);
  if (rc != kOk && rc != kPropertyAbsent) {
    setlasterror(session,
                 "httplib_getproxyinfo: An error occured trying to get the httpproxycredentials parameter from "
                 "mercharnts session store.\n");
    return rc;
  }
  // Empty credentials count as none: "Basic " with nothing is no login.
  if (rc == kOk && !text.value.empty()) {
    rc = encodebase64(session, text.value, credentials.value);
    if (rc != kOk) {
      credentials.wipe();
      setlasterror(session,
                   "httplib_getproxyinfo: An error occured trying to base64encode the httpproxycredentials "
                   "parameters.\n");
      return rc;
    }
  }
  return kOk;
}

int http_post(const Session& s, SSL_CTX* ctx, std::string_view host, int port, std::string_view path,
              std::optional<std::string_view> body, std::string_view contenttype, std::string& reply,
              int timeoutseconds, std::string_view proxyprefix) {
  const int session = s.number;
  reply.clear();
  std::optional<std::string> discarded;
  getlasterror(session, discarded);
  if (!safeheadervalue(contenttype)) return posted(session, "http_post", kHttpBadArguments);
  HttpExchange x;
  x.ctx = ctx;
  x.host = host;
  x.port = port;
  x.method = "POST";
  x.path = path;
  std::string headers = requestheaders(body, contenttype);
  x.headers = headers;
  x.body = body;
  x.timeoutms = http_effectivetimeoutms(timeoutseconds);
  return proxied(s, x, proxyprefix, "http_post", reply);
}

int http_post_url(const Session& s, SSL_CTX* ctx, std::string_view url, std::optional<std::string_view> body,
                  std::string_view contenttype, std::string& reply, int timeoutseconds, std::string_view proxyprefix) {
  std::string host, path;
  int port = 0;
  http_parse_url(url, host, port, path);
  return http_post(s, ctx, host, port, path, body, contenttype, reply, timeoutseconds, proxyprefix);
}

int http_get_url(const Session& s, SSL_CTX* ctx, std::string_view url, std::string& reply,
                 std::string_view proxyprefix) {
  reply.clear();
  std::optional<std::string> discarded;
  getlasterror(s.number, discarded);
  std::string host, path;
  HttpExchange x;
  x.ctx = ctx;
  http_parse_url(url, host, x.port, path);
  x.host = host;
  x.method = "GET";
  x.path = path;
  x.headers = "Accept: text/plain, text/html, */*\r\nPragma: no-cache\r\n";
  x.timeoutms = http_effectivetimeoutms(0);
  return proxied(s, x, proxyprefix, "http_get", reply);
}

}  // namespace zmr
