#include "standin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "store/loaders/configuration.h"
#include "tempdir.h"
#include "tools/base64.h"
#include "misc/stringoperations.h"

namespace zmrtest {
namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr int kDrainCapMs = 10000;

// Waits until fd is ready; false at stop or after timeoutms (-1: none).
bool waitfor(int fd, short events, int stopfd, int timeoutms = -1) {
  struct pollfd p[2] = {{fd, events, 0}, {stopfd, POLLIN, 0}};
  while (true) {
    int rc = ::poll(p, 2, timeoutms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0 || (p[1].revents & POLLIN) != 0) return false;
    return true;
  }
}

// Sleeps, but wakes at stop. false when stopped.
bool pause(int stopfd, long long ms) {
  struct pollfd p = {stopfd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(ms)) == 0;
}

// One connection, plain or TLS, over a non-blocking socket.
struct Io {
  int fd = -1;
  int stopfd = -1;
  SSL* ssl = nullptr;

  bool waittls(int err) {
    if (err == SSL_ERROR_WANT_READ) return waitfor(fd, POLLIN, stopfd);
    if (err == SSL_ERROR_WANT_WRITE) return waitfor(fd, POLLOUT, stopfd);
    return false;
  }
  // > 0 bytes, 0 closed, -1 error or stop.
  long readsome(char* buf, size_t cap, int timeoutms = -1) {
    while (true) {
      if (ssl != nullptr) {
        size_t got = 0;
        ERR_clear_error();
        int rc = SSL_read_ex(ssl, buf, cap, &got);
        if (rc == 1) return static_cast<long>(got);
        int err = SSL_get_error(ssl, rc);
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err == SSL_ERROR_WANT_READ) {
          if (!waitfor(fd, POLLIN, stopfd, timeoutms)) return -1;
          continue;
        }
        if (!waittls(err)) return -1;
      } else {
        ssize_t n = ::recv(fd, buf, cap, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EAGAIN && errno != EINTR) return -1;
        if (!waitfor(fd, POLLIN, stopfd, timeoutms)) return -1;
      }
    }
  }
  bool writeall(std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
      if (ssl != nullptr) {
        size_t n = 0;
        ERR_clear_error();
        int rc = SSL_write_ex(ssl, data.data() + done, data.size() - done, &n);
        if (rc == 1) {
          done += n;
        } else if (!waittls(SSL_get_error(ssl, rc))) {
          return false;
        }
      } else {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
          done += static_cast<size_t>(n);
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !waitfor(fd, POLLOUT, stopfd)) {
          return false;
        }
      }
    }
    return true;
  }
  // Reads and discards until the peer closes, stop, or the cap.
  void drain(int capms = kDrainCapMs) {
    char buf[4096];
    while (readsome(buf, sizeof buf, capms) > 0) {
    }
  }
  // Ends our side: close_notify for TLS, FIN for the socket.
  void finish() {
    if (ssl != nullptr) SSL_shutdown(ssl);
    ::shutdown(fd, SHUT_WR);
  }
};

std::optional<std::string> headerof(const Headers& headers, std::string_view name) {
  for (const auto& [k, v] : headers) {
    if (zmr::iequals(k, name)) return v;
  }
  return std::nullopt;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Parses the head (request line and headers, without the blank line).
bool parsehead(std::string_view head, HttpRequest& r) {
  r.head = std::string(head);
  size_t eol = head.find("\r\n");
  std::string_view line = head.substr(0, eol);
  size_t a = line.find(' ');
  size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
  if (b == std::string_view::npos) return false;
  r.method = std::string(line.substr(0, a));
  r.target = std::string(line.substr(a + 1, b - a - 1));
  r.version = std::string(line.substr(b + 1));
  r.path = r.target.substr(0, r.target.find('?'));
  while (eol != std::string_view::npos) {
    size_t start = eol + 2;
    eol = head.find("\r\n", start);
    std::string_view h = head.substr(start, eol == std::string_view::npos ? eol : eol - start);
    if (h.empty()) continue;
    size_t colon = h.find(':');
    if (colon == std::string_view::npos) return false;
    r.headers.emplace_back(std::string(h.substr(0, colon)), std::string(trim(h.substr(colon + 1))));
  }
  return true;
}

// Reads one request head and its body. rest receives bytes read past the
// head that are not body (none for well-behaved clients).
bool readrequest(Io& io, HttpRequest& r, bool readbody, std::string* rest = nullptr) {
  std::string data;
  char buf[4096];
  size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxHead) return false;
    long n = io.readsome(buf, sizeof buf);
    if (n <= 0) return false;
    data.append(buf, static_cast<size_t>(n));
  }
  if (!parsehead(std::string_view(data).substr(0, end + 2), r)) return false;
  std::string after = data.substr(end + 4);
  if (!readbody) {
    if (rest != nullptr) *rest = std::move(after);
    return true;
  }
  size_t length = 0;
  if (auto cl = r.header("Content-Length")) length = std::stoul(*cl);
  while (after.size() < length) {
    long n = io.readsome(buf, sizeof buf);
    if (n <= 0) return false;
    after.append(buf, static_cast<size_t>(n));
  }
  r.body = after.substr(0, length);
  return true;
}

std::string render(const HttpResponse& r, bool withlength) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
  for (const auto& [k, v] : r.headers) out += k + ": " + v + "\r\n";
  if (withlength) out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  out += "\r\n";
  return out;
}

int openlistener(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("stand-in: socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 256) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("stand-in: bind/listen");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

int connectloopback(const std::string& host, int port) {
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Copies bytes both ways until both sides have closed (or stop).
void relay(int a, int b, int stopfd) {
  bool open[2] = {true, true};  // a->b, b->a
  int fds[2] = {a, b};
  char buf[16384];
  while (open[0] || open[1]) {
    struct pollfd p[3] = {{a, static_cast<short>(open[0] ? POLLIN : 0), 0},
                          {b, static_cast<short>(open[1] ? POLLIN : 0), 0},
                          {stopfd, POLLIN, 0}};
    int rc = ::poll(p, 3, kDrainCapMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0 || (p[2].revents & POLLIN) != 0) return;
    for (int i = 0; i < 2; ++i) {
      if (!open[i] || p[i].revents == 0) continue;
      ssize_t n = ::recv(fds[i], buf, sizeof buf, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        open[i] = false;
        ::shutdown(fds[1 - i], SHUT_WR);
        if (n < 0) return;
        continue;
      }
      Io out{fds[1 - i], stopfd, nullptr};
      if (!out.writeall(std::string_view(buf, static_cast<size_t>(n)))) return;
    }
  }
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const { return headerof(headers, name); }

Listener::Listener(Serve serve) : serve_(std::move(serve)) {
  listenfd_ = openlistener(port_);
  if (::pipe2(stoppipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(listenfd_);
    throw std::runtime_error("stand-in: pipe");
  }
  acceptor_ = std::thread([this] { acceptloop(); });
}

Listener::~Listener() { stop(); }

void Listener::acceptloop() {
  while (true) {
    if (!waitfor(listenfd_, POLLIN, stoppipe_[0])) return;
    int fd = ::accept4(listenfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(mutex_);
    // Join what has finished, so that long runs do not pile up threads.
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
    workers_.push_back(Worker{std::thread([this, fd, done] {
                                serve_(fd, stoppipe_[0]);
                                ::close(fd);
                                done->store(true);
                              }),
                              done});
  }
}

void Listener::stop() {
  if (stopped_.exchange(true)) return;
  char c = 1;
  if (::write(stoppipe_[1], &c, 1) != 1) std::abort();
  acceptor_.join();
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (Worker& w : workers) w.thread.join();
  ::close(listenfd_);
  ::close(stoppipe_[0]);
  ::close(stoppipe_[1]);
}

StandinServer::StandinServer() {
  listener_ = std::make_unique<Listener>([this](int fd, int stopfd) { serve(fd, stopfd); });
}

StandinServer::StandinServer(const TlsServerOptions& tls) {
  ctx_.reset(SSL_CTX_new(TLS_server_method()));
  if (!ctx_ || SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx_.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate(ctx_.get(), tls.cert) != 1 || SSL_CTX_use_PrivateKey(ctx_.get(), tls.key) != 1 ||
      (!tls.ciphers.empty() && SSL_CTX_set_cipher_list(ctx_.get(), tls.ciphers.c_str()) != 1))
    throw std::runtime_error("stand-in: TLS server context");
  // Clients of the library never resume: no session cache, no tickets.
  SSL_CTX_set_session_cache_mode(ctx_.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx_.get(), SSL_OP_NO_TICKET);
  for (X509* c : tls.chain) {
    if (SSL_CTX_add1_chain_cert(ctx_.get(), c) != 1) throw std::runtime_error("stand-in: chain");
  }
  listener_ = std::make_unique<Listener>([this](int fd, int stopfd) { serve(fd, stopfd); });
}

StandinServer::~StandinServer() { stop(); }

void StandinServer::stop() { listener_->stop(); }

std::string StandinServer::url(std::string_view path) const {
  return std::string(tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port()) + std::string(path);
}

void StandinServer::handle(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.emplace_back(path, std::move(handler));
}

std::vector<HttpRequest> StandinServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

HttpResponse StandinServer::dispatch(const HttpRequest& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [path, h] : handlers_) {
      if (path == request.path) handler = h;
    }
    if (!handler) {
      for (const auto& [path, h] : handlers_) {
        if (path == "*") handler = h;
      }
    }
  }
  if (!handler) {
    HttpResponse r;
    r.status = 404;
    r.reason = "Not Found";
    return r;
  }
  return handler(request);
}

void StandinServer::serve(int fd, int stopfd) {
  connections_.fetch_add(1);
  Behaviour b = behaviour_.load();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failnext_ > 0) {
      --failnext_;
      b = failbehaviour_;
    }
  }
  Io io{fd, stopfd, nullptr};
  if (b == Behaviour::stallHandshake) {
    io.drain(-1);
    return;
  }
  zmr::SslPtr ssl;
  if (ctx_) {
    ssl.reset(SSL_new(ctx_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return;
    io.ssl = ssl.get();
    while (true) {
      ERR_clear_error();
      int rc = SSL_accept(ssl.get());
      if (rc == 1) break;
      if (!io.waittls(SSL_get_error(ssl.get(), rc))) {
        ERR_clear_error();
        return;
      }
    }
  }
  HttpRequest request;
  if (!readrequest(io, request, true)) return;
  if (keeprequests_.load()) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  if (b == Behaviour::stall) {
    io.drain(-1);
    return;
  }
  if (b == Behaviour::reset) {
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    return;  // the close that follows sends RST
  }
  HttpResponse response = dispatch(request);
  std::string text;
  size_t cut = std::string::npos;
  if (response.raw) {
    text = *response.raw;
  } else {
    text = render(response, b != Behaviour::closeDelimited) + response.body;
    if (b == Behaviour::truncated) cut = text.size() - response.body.size() + response.body.size() / 2;
  }
  if (b == Behaviour::slow) {
    for (size_t i = 0; i < text.size(); i += 7) {
      if (!io.writeall(std::string_view(text).substr(i, 7))) return;
      if (!pause(stopfd, slowpause_.load())) return;
    }
  } else if (!io.writeall(std::string_view(text).substr(0, cut))) {
    return;
  }
  if (b == Behaviour::closeDelimited || b == Behaviour::truncated) io.finish();
  // Let the client close first: it must not need our close to finish a
  // reply with a length, and our close never races its last read.
  io.drain();
}

ProxyStandin::ProxyStandin() {
  listener_ = std::make_unique<Listener>([this](int fd, int stopfd) { serve(fd, stopfd); });
}

ProxyStandin::~ProxyStandin() { stop(); }

void ProxyStandin::stop() { listener_->stop(); }

void ProxyStandin::requireCredentials(const std::string& userpass) {
  std::lock_guard<std::mutex> lock(mutex_);
  expected_ = zmr::base64_encode(reinterpret_cast<const unsigned char*>(userpass.data()), userpass.size());
}

std::vector<std::string> ProxyStandin::requestLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> ProxyStandin::authorizations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return auths_;
}

void ProxyStandin::serve(int fd, int stopfd) {
  Io io{fd, stopfd, nullptr};
  HttpRequest r;
  std::string rest;
  if (!readrequest(io, r, false, &rest)) return;
  std::string auth = r.header("Proxy-Authorization").value_or("");
  std::string expected;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(r.head.substr(0, r.head.find("\r\n")));
    auths_.push_back(auth);
    expected = expected_;
  }
  auto answer = [&](const std::string& status) {
    io.writeall("HTTP/1.1 " + status + "\r\nContent-Length: 0\r\n\r\n");
    io.finish();
    io.drain();
  };
  if (int refusal = refusal_.load(); refusal != 0) return answer(std::to_string(refusal) + " Refused");
  if (!expected.empty() && auth != "Basic " + expected)
    return answer("407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"standin\"");

  std::string authority;
  std::string forward;
  if (r.method == "CONNECT") {
    authority = r.target;
  } else if (r.target.rfind("http://", 0) == 0) {
    size_t slash = r.target.find('/', 7);
    authority = r.target.substr(7, slash == std::string::npos ? slash : slash - 7);
    std::string path = slash == std::string::npos ? "/" : r.target.substr(slash);
    forward = r.method + " " + path + " " + r.version + "\r\n";
    for (const auto& [k, v] : r.headers) {
      if (!zmr::iequals(k, "Proxy-Authorization")) forward += k + ": " + v + "\r\n";
    }
    forward += "\r\n" + rest;
  } else {
    return answer("400 Bad Request");
  }
  size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return answer("400 Bad Request");
  if (long long ms = stall_.load(); ms > 0 && !pause(stopfd, ms)) return;
  int upstream = connectloopback(authority.substr(0, colon), std::atoi(authority.c_str() + colon + 1));
  if (upstream < 0) return answer("502 Bad Gateway");
  Io up{upstream, stopfd, nullptr};
  bool ok = r.method == "CONNECT" ? io.writeall("HTTP/1.1 200 Connection established\r\n\r\n") && up.writeall(rest)
                                  : up.writeall(forward);
  if (ok) relay(fd, upstream, stopfd);
  ::close(upstream);
}

TlsServerOptions TlsTestbed::good() const {
  return TlsServerOptions{pki.server.get(), pki.server.key.get(), {pki.ca.get()}, ""};
}

TlsServerOptions TlsTestbed::unknownCa() const {
  return TlsServerOptions{foreign.get(), foreign.key.get(), {}, ""};
}

TlsServerOptions TlsTestbed::wrongHost() const {
  return TlsServerOptions{wronghost.get(), wronghost.key.get(), {pki.ca.get()}, ""};
}

TlsServerOptions TlsTestbed::foreignCiphers() const {
  TlsServerOptions o = good();
  o.ciphers = "ECDHE-RSA-CHACHA20-POLY1305";
  return o;
}

int TlsTestbed::openSession() const {
  zmr::PendingSession session;
  if (session.open() != 0 ||
      zmr::loadproperties(session.state(), "127.0.0.1", truststore.c_str(), nullptr, nullptr, nullptr, nullptr) != 0)
    return -1;
  session.publish();
  return session.number();
}

TlsTestbed makeTlsTestbed(const std::string& name, int environment) {
  TlsTestbed t;
  t.pki = makePki(environment);
  t.truststore = makeTempDir(name);
  if (t.truststore.empty() || !writeTrustStore(t.truststore, t.pki.caCerts()))
    throw std::runtime_error("stand-in: trust store");
  TestCert otherroot = makeCert(rootSpec("Stranger Root CA"));
  t.foreign = makeCert(serverSpec(), &otherroot);
  t.wronghost = makeCert(serverSpec(true), &t.pki.ca);
  return t;
}

}  // namespace zmrtest
