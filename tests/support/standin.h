// Loopback stand-ins for the central servers and for an HTTP proxy.
//
// A StandinServer listens on 127.0.0.1 at an ephemeral port, plain HTTP or
// real TLS (OpenSSL), and serves each connection on its own thread inside
// the test process: it reads one request, calls the handler registered for
// the request's path and answers it in the way the current Behaviour says.
// Handlers run on the connection threads, several at once: they must be
// thread-safe. ProxyStandin is an HTTP proxy that opens CONNECT tunnels and
// forwards plain requests given with an absolute "http://" URI, optionally
// demanding Basic credentials, or refusing everything.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "misc/ossl.h"
#include "pki.h"

namespace zmrtest {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string target;  // as on the request line
  std::string path;    // target without a query
  std::string version;
  Headers headers;     // in order, as received
  std::string body;    // by Content-Length
  std::string head;    // the request line and header lines, as received
  // First header of that name (case-insensitive), or nullopt.
  std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string reason = "OK";
  Headers headers;  // Content-Length is added by the server as the behaviour says
  std::string body;
  std::optional<std::string> raw;  // when set, sent exactly as it stands instead
};

using Handler = std::function<HttpResponse(const HttpRequest&)>;

// How the server answers. Switch it at any time; connections accepted
// afterwards follow the new value.
enum class Behaviour {
  normal,          // Content-Length, then wait for the client to close
  closeDelimited,  // no Content-Length; close after the body
  slow,            // Content-Length, sent in 7-byte pieces with pauses
  stall,           // read the request, never answer (until stop())
  stallHandshake,  // accept the TCP connection, never speak (TLS: no handshake)
  truncated,       // announce the whole body, send half, close
  reset,           // read the request, reset the connection
};

// Accepts connections on 127.0.0.1 (ephemeral port) and runs serve(fd,
// stopfd) for each on its own thread; stopfd becomes readable at stop().
// The shared engine of the two stand-ins below.
class Listener {
 public:
  using Serve = std::function<void(int fd, int stopfd)>;
  explicit Listener(Serve serve);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int port() const { return port_; }
  void stop();

 private:
  void acceptloop();
  Serve serve_;
  int listenfd_ = -1;
  int stoppipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers_;
  std::thread acceptor_;
};

struct TlsServerOptions {
  X509* cert = nullptr;        // borrowed; up-referenced by the server
  EVP_PKEY* key = nullptr;
  std::vector<X509*> chain;    // intermediate certificates to send
  std::string ciphers;         // TLS 1.2 cipher list offered; "" = OpenSSL default
};

class StandinServer {
 public:
  StandinServer();                                      // plain HTTP
  explicit StandinServer(const TlsServerOptions& tls);  // TLS 1.2
  ~StandinServer();
  StandinServer(const StandinServer&) = delete;
  StandinServer& operator=(const StandinServer&) = delete;

  int port() const { return listener_->port(); }
  bool tls() const { return static_cast<bool>(ctx_); }
  // "https://127.0.0.1:<port><path>" (or http://).
  std::string url(std::string_view path = "/") const;

  // Handler for an exact path; "*" catches every other path. Without a
  // match the answer is 404.
  void handle(const std::string& path, Handler handler);
  void setBehaviour(Behaviour b) { behaviour_.store(b); }
  // The next count connections behave as b, later ones as set above (a
  // failure that a retry gets past).
  void failNext(int count, Behaviour b) {
    std::lock_guard<std::mutex> lock(mutex_);
    failnext_ = count;
    failbehaviour_ = b;
  }
  void setSlowPause(std::chrono::milliseconds pause) { slowpause_.store(pause.count()); }

  // Requests read so far, in arrival order.
  std::vector<HttpRequest> requests() const;
  // Whether requests are kept for requests() (by default they are). A long
  // run turns it off, so that the stand-in does not grow with every call.
  void keepRequests(bool keep) { keeprequests_.store(keep); }
  int connections() const { return connections_.load(); }
  // Ends every connection (stalled ones too) and joins the threads.
  void stop();

 private:
  void serve(int fd, int stopfd);
  HttpResponse dispatch(const HttpRequest& request);

  zmr::SslCtxPtr ctx_;
  std::atomic<Behaviour> behaviour_{Behaviour::normal};
  std::atomic<long long> slowpause_{20};
  std::atomic<int> connections_{0};
  std::atomic<bool> keeprequests_{true};
  mutable std::mutex mutex_;
  int failnext_ = 0;  // under mutex_
  Behaviour failbehaviour_ = Behaviour::normal;
  std::vector<std::pair<std::string, Handler>> handlers_;
  std::vector<HttpRequest> requests_;
  std::unique_ptr<Listener> listener_;  // last: stopped first
};

class ProxyStandin {
 public:
  ProxyStandin();
  ~ProxyStandin();
  ProxyStandin(const ProxyStandin&) = delete;
  ProxyStandin& operator=(const ProxyStandin&) = delete;

  int port() const { return listener_->port(); }
  // Demand "Proxy-Authorization: Basic base64(userpass)"; otherwise 407.
  void requireCredentials(const std::string& userpass);
  // Answer every request with this status (e.g. 403); 0 serves normally.
  void setRefusal(int status) { refusal_.store(status); }
  // Hold every request this long before passing it on (a slow proxy); 0
  // passes at once. stop() ends the wait.
  void setStall(std::chrono::milliseconds pause) { stall_.store(pause.count()); }

  // The request line of every request seen ("CONNECT h:p HTTP/1.1",
  // "POST http://h:p/x HTTP/1.1"), and its Proxy-Authorization value ("" for
  // none), in arrival order.
  std::vector<std::string> requestLines() const;
  std::vector<std::string> authorizations() const;
  void stop();

 private:
  void serve(int fd, int stopfd);

  std::atomic<int> refusal_{0};
  std::atomic<long long> stall_{0};
  mutable std::mutex mutex_;
  std::string expected_;  // base64 of user:password, "" when not demanded
  std::vector<std::string> lines_;
  std::vector<std::string> auths_;
  std::unique_ptr<Listener> listener_;  // last: stopped first
};

// What TLS tests against the stand-ins need: a test PKI, its hashed trust
// store, and server identities for the good and the bad cases.
struct TlsTestbed {
  TestPki pki;
  std::string truststore;  // directory holding pki.root and pki.ca
  TestCert foreign;        // server certificate under a root not in the store
  TestCert wronghost;      // under pki.ca, but named "wrong.invalid" only
  TlsServerOptions good() const;           // pki.server, with pki.ca as chain
  TlsServerOptions unknownCa() const;
  TlsServerOptions wrongHost() const;
  TlsServerOptions foreignCiphers() const;  // good() offering only suites the client refuses
  // Opens a merchant session over the trust store with the library's own
  // loader (webaddress 127.0.0.1, so with its five TLS client contexts);
  // -1 on failure. Its state: zmrtest::sessionState (support/storesession.h).
  // Release it with zmr::freesession.
  int openSession() const;
};
// name is used for the trust-store directory under ZMR_TEST_TMPDIR.
TlsTestbed makeTlsTestbed(const std::string& name, int environment = 2);

}  // namespace zmrtest
