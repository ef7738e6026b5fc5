// An exchange through an HTTP proxy whose side of the connection is the
// input: the CONNECT answer of a TLS tunnel and what follows it (the server's
// handshake bytes) or, for plain HTTP, the proxy's reply to the forwarded
// request, read by the receive loop as it arrives in pieces. The first byte
// picks the mode (its two low bits not both 0: the tunnel) and the size of
// the pieces the proxy writes. Loopback only; the proxy ends every exchange.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "net/http_lib.h"

namespace {

struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      std::abort();
    port = ntohs(a.sin_port);
  }
};

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// The proxy: reads the request head, writes the input in pieces, closes
// its side and waits for the client to close (so that no reset cuts the
// reply short).
void proxy(int listener, std::string_view reply, size_t piece) {
  if (!readable(listener, 5000)) return;
  int c = ::accept(listener, nullptr, nullptr);
  if (c < 0) return;
  int one = 1;
  ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && readable(c, 5000)) {
    ssize_t n = ::recv(c, buf, sizeof buf, 0);
    if (n <= 0) break;
    head.append(buf, static_cast<size_t>(n));
  }
  for (size_t at = 0; at < reply.size(); at += piece) {
    size_t n = std::min(piece, reply.size() - at);
    if (::send(c, reply.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
  }
  ::shutdown(c, SHUT_WR);
  while (readable(c, 5000) && ::recv(c, buf, sizeof buf, 0) > 0) {
  }
  ::close(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static Listener listener;
  static SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) std::abort();
  bool tunnel = (data[0] & 3) != 0;
  size_t piece = 1 + (data[0] >> 2) * 37;
  std::string_view reply(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::thread side(proxy, listener.fd, reply, piece);

  zmr::HttpExchange x;
  x.ctx = tunnel ? ctx : nullptr;
  x.host = "central.example";
  x.port = 443;
  x.method = "POST";
  x.path = "/zelmor/";
  x.body = std::string_view("a=1");
  x.proxyhost = "127.0.0.1";
  x.proxyport = listener.port;
  x.proxycredentials = "dXNlcjpwYXNzd29yZA==";
  x.timeoutms = 4000;
  std::string got;
  int rc = zmr::http_communicate(x, got);
  side.join();
  if (rc < zmr::kHttpOk || rc > zmr::kHttpCleanup) std::abort();
  if (rc != zmr::kHttpOk && !got.empty()) std::abort();
  // Without a tunnel the reply is the proxy's own bytes, from the start.
  if (rc == zmr::kHttpOk && !tunnel && reply.substr(0, got.size()) != got) std::abort();
  return 0;
}
