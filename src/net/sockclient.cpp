#include "net/sockclient.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "misc/status.h"
#include "net/http_lib.h"
#include "net/netio.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"sockclient_communicate: ", true};

}  // namespace

int communicate(int, std::string_view request, std::string& answer, std::string_view server, uint16_t port,
                int64_t timeoutms) {
  answer.clear();
  int64_t deadline = deadlineafter(timeoutms > 0 ? timeoutms : http_effectivetimeoutms(0));
  UniqueFd fd;
  switch (connecttcp(server, port, deadline, fd)) {
    case ConnectResult::ok:
      break;
    case ConnectResult::resolve:
      return fail(kSockResolve, kAt,
                  "Could not resolve the servers DNS name to IP-address. Check DNS setup and/or hostfiles.");
    case ConnectResult::socket:
      return fail(kSockSocket, kAt, "Could not create a local socket. File descriptor limitations may be exhausted.");
    default:
      return fail(kSockConnect, kAt, "Could not establish a TCP connection with the server. Check proxysettings.");
  }

  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(fd.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
        waitfd(fd.fd, POLLOUT, deadline) != WaitResult::ready)
      return fail(kSockSend, kAt,
                  "Could not send data to server. This might happen when clients network load is high.");
  }

  std::string received;
  char buf[kSockAnswerBuffer];
  while (true) {
    ssize_t n = ::recv(fd.fd, buf, sizeof buf, 0);
    if (n == 0) break;
    if (n > 0) {
      received.append(buf, static_cast<size_t>(n));
      if (received.size() >= kSockAnswerBuffer - 1)
        return fail(kSockTooLarge, kAt,
                    "The received message from the server is to large to fit in the internal receivebuffer.");
      continue;
    }
    if ((errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
        waitfd(fd.fd, POLLIN, deadline) != WaitResult::ready)
      return fail(kSockReceive, kAt, "A socket error occured from the server side.");
  }
  if (fd.reset() != 0) return fail(kSockClose, kAt, "An error occured trying to close the socket filedescriptor.");
  answer = std::move(received);
  return 0;
}

}  // namespace zmr
