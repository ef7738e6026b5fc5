// The one sender towards the mobile gateway ("RAVUD"): its utility
// endpoint (word lists) and its merchant front end (mobile transactions,
// status, SMS).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/sessionstore.h"

namespace zmr {

// One form field: the name goes out as it stands, the value URL-encoded.
struct mgmfeparameter {
  std::string name;
  std::optional<std::string> value;
};

// Posts "serverversion=<version>&name=value..." to the session's gateway
// endpoint (environments 1 and 2: the mgmfedns / mgmfeutildns property when
// set; otherwise the build's address, misc/centralservers.h) over TLS
// (proxy keys with the prefix "ravud") and checks the reply's statusCode.
// 0 and the reply body; the body is also handed out with 36006 (no
// statusCode) and 36007 (statusCode not "0", kept as the info item
// "mobileerr"). Other codes: the context and environment accessors', 36001
// (environment without gateway), 1 (a field without value), the HTTP
// client's, 36004 (no or bad reply), 36005 (empty body).
// timeoutms: 0 or less gives the client's default limit; under one second
// gives one second.
int mgmfeutil_send(const Session& s, const std::vector<mgmfeparameter>& pairs, std::string& body, int64_t timeoutms);
int ravud_send(const Session& s, const std::vector<mgmfeparameter>& pairs, std::string& body, int64_t timeoutms);

// The gateway's raw HTTP reply as the sender judges it: the body (after
// the header block of a 200 status line) and its statusCode, with the
// codes and lines of the senders above (36004-36007; the info item
// "mobileerr" for a statusCode other than "0").
int mgmfe_readreply(int session, std::string_view reply, std::string& body);

// The HTTP time limit in seconds a gateway limit in milliseconds becomes.
int mgmfe_timeoutseconds(int64_t timeoutms);

}  // namespace zmr
