// Socket plumbing shared by the network clients: name resolution, a
// connect bounded by a deadline, and waits with poll (any descriptor
// number works). Deadlines are monotonicmillis() values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zmr {

struct UniqueFd {
  int fd = -1;
  UniqueFd() = default;
  explicit UniqueFd(int f) : fd(f) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  // Closes now; the result of close (0 or -1).
  int reset();
};

int64_t deadlineafter(int64_t ms);
// Milliseconds left, 0 when the deadline has passed.
int64_t remainingms(int64_t deadline);

enum class WaitResult { ready, timeout, error };
// Waits until fd is ready for events (POLLIN / POLLOUT) or the deadline.
// A hang-up or socket error counts as ready: the next read or write
// reports it.
WaitResult waitfd(int fd, short events, int64_t deadline);

enum class ConnectResult { ok, resolve, socket, refused, timeout };
// Resolves host (getaddrinfo) and connects to the first address that
// accepts before the deadline. The socket is non-blocking afterwards.
ConnectResult connecttcp(std::string_view host, int port, int64_t deadline, UniqueFd& out);

// True when text holds a byte that must never reach a request line or a
// header (control characters, space, DEL).
bool hasunsafebyte(std::string_view text);

}  // namespace zmr
