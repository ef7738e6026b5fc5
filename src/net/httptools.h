// Fixed HTTP/1.0 request texts (an OCSP POST, a tag-server GET) and the
// readers of the Host line of a GET request. All results fit the 10000-byte
// request buffer that the TCP client was made for.
#pragma once

#include <string>
#include <string_view>

#include "misc/secret.h"

namespace zmr {

inline constexpr size_t kRequestBuffer = 10000;

// "POST / HTTP/1.0" with the OCSP headers, then the body bytes. 0, or 33004
// when the whole request does not fit.
int getvahttppostrequestheader(int session, std::string_view body, std::string& request);
// GET of url (the whole url with proxy set, else its path), Host line with
// ":80" when the server names no port. The request may carry the proxy
// credentials: it is built and handed out in wiped storage. 0,
// 10001..10004 or 33004.
int gettaghttpgetrequestheader(int session, std::string_view url, SecretString& request, int proxy,
                               std::string_view credentials);
// The server and the port text of the request's "Host: " line, as they
// stand (a port text keeps the CR of a CR LF line end). 0, 10001 or 10002.
int getserverfromgetrequestheader(int session, std::string_view request, std::string& server);
int getportfromgetrequestheader(int session, std::string_view request, std::string& port);

}  // namespace zmr
