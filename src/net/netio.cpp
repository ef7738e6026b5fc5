#include "net/netio.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "tools/systemtools.h"

namespace zmr {

int UniqueFd::reset() {
  int rc = 0;
  if (fd >= 0) rc = ::close(fd);
  fd = -1;
  return rc;
}

int64_t deadlineafter(int64_t ms) { return monotonicmillis() + ms; }

int64_t remainingms(int64_t deadline) {
  int64_t left = deadline - monotonicmillis();
  return left > 0 ? left : 0;
}

WaitResult waitfd(int fd, short events, int64_t deadline) {
  while (true) {
    int64_t left = remainingms(deadline);
    if (left <= 0) return WaitResult::timeout;
    struct pollfd p = {fd, events, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left > 1000000000 ? 1000000000 : left));
    if (rc > 0) return WaitResult::ready;
    if (rc == 0) continue;  // loop re-checks the clock
    if (errno != EINTR) return WaitResult::error;
  }
}

namespace {

struct AddrInfoFree {
  void operator()(struct addrinfo* a) const { freeaddrinfo(a); }
};

}  // namespace

ConnectResult connecttcp(std::string_view host, int port, int64_t deadline, UniqueFd& out) {
  out.reset();
  if (host.empty() || port < 0 || port > 65535) return ConnectResult::resolve;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  std::string name(host);
  std::string service = std::to_string(port);
  if (getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
    return ConnectResult::resolve;
  std::unique_ptr<struct addrinfo, AddrInfoFree> list(found);
  ConnectResult result = ConnectResult::socket;
  for (struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.fd < 0) continue;
    int rc = ::connect(fd.fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
      result = ConnectResult::refused;
      continue;
    }
    if (rc != 0) {
      WaitResult w = waitfd(fd.fd, POLLOUT, deadline);
      if (w == WaitResult::timeout) return ConnectResult::timeout;
      int err = 0;
      socklen_t len = sizeof err;
      if (w == WaitResult::error || getsockopt(fd.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        result = ConnectResult::refused;
        continue;
      }
    }
    // Requests are written whole; nothing gains from Nagle's delay.
    int one = 1;
    setsockopt(fd.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    out.fd = fd.fd;
    fd.fd = -1;
    return ConnectResult::ok;
  }
  return result;
}

bool hasunsafebyte(std::string_view text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace zmr
