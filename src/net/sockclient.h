// A plain TCP client: sends one prepared request and reads the answer until
// the server closes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zmr {

// Largest answer accepted is one byte less than this.
inline constexpr size_t kSockAnswerBuffer = 10000;

// Resolves server (getaddrinfo), connects, sends request and reads until the
// server closes, all within timeoutms (0 or less: 60 s). 0 and the answer,
// or 1001 resolve, 1002 socket, 1004 connect, 1005 send, 1007 answer of
// 9999 bytes or more, 1008 receive, 1009 close, each with its line.
int communicate(int session, std::string_view request, std::string& answer, std::string_view server, uint16_t port,
                int64_t timeoutms = 0);

}  // namespace zmr
