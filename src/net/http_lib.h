// The library's HTTP/1.1 client towards the central servers, and the form
// encoding tools.
//
// One request per connection: connect (directly or through an HTTP proxy,
// with a CONNECT tunnel for TLS), TLS handshake with host-name checking, one
// request, the whole reply. Everything runs on the caller's thread under one
// time limit; no lock is held while waiting on the network, so exchanges of
// different threads never wait for each other.
#pragma once

#include "misc/status.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "misc/secret.h"
#include "store/sessionstore.h"

namespace zmr {

// Exchange results. 35000 is success inside the client; http_post gives 0.

// A limit of 0 or less means this many seconds, never "no limit".
inline constexpr int kHttpDefaultTimeoutSeconds = 60;
// Largest reply body accepted (bytes).
inline constexpr size_t kHttpMaxBody = 0x1FFFFF;
// Largest header block accepted, status line included (bytes).
inline constexpr size_t kHttpMaxHeader = 64 * 1024;

inline constexpr const char* kUserAgent = "verudeviva";

// Start and stop, once per process at library start-up and shut-down. The
// client keeps no state between exchanges, so both only report success;
// exchanges work without them too.
int http_init();
int http_finalize();

// The fixed text of a code (outside 35000..35016 a fixed complaint).
const char* http_get_error(int code);

// The time limit an exchange given `seconds` really runs under, in
// milliseconds.
int64_t http_effectivetimeoutms(int seconds);

// Proxy settings of a session for a connection name ("va", "sdm",
// "services", "ravud"; empty for the unprefixed keys). host empty and port
// 0 when not both the server and the port key are set; credentials are the
// base64 of the credentials property, empty when absent or empty.
int get_proxy_info_internal(const Session& s, std::string_view prefix, std::string& host, int& port,
                            SecretString& credentials);

// POST body (none: no Content-Type, no Content-Length) to host:port/path.
// ctx null means plain HTTP; else the session's TLS context of that kind.
// reply receives the raw reply (status line, headers, blank line, body).
// Clears the thread's recent error first; 0, a proxy look-up code, or a
// 35xxx code with the line "http_post: <text>". The caller holds the state
// that ctx belongs to for the whole exchange.
int http_post(const Session& s, SSL_CTX* ctx, std::string_view host, int port, std::string_view path,
              std::optional<std::string_view> body, std::string_view contenttype, std::string& reply,
              int timeoutseconds, std::string_view proxyprefix);
// The same to the host, port and path of url.
int http_post_url(const Session& s, SSL_CTX* ctx, std::string_view url, std::optional<std::string_view> body,
                  std::string_view contenttype, std::string& reply, int timeoutseconds, std::string_view proxyprefix);
// GET of url under the default time limit; failures add "http_get: <text>".
int http_get_url(const Session& s, SSL_CTX* ctx, std::string_view url, std::string& reply,
                 std::string_view proxyprefix);

// One exchange, as the two above run it.
struct HttpExchange {
  SSL_CTX* ctx = nullptr;
  std::string_view host;
  int port = 0;
  std::string_view method;
  std::string_view path;
  std::string_view headers;  // caller's header lines, each ending in CR LF
  std::optional<std::string_view> body;
  std::string_view proxyhost;
  int proxyport = 0;
  std::string_view proxycredentials;  // base64 of user:password, or empty
  int64_t timeoutms = 0;              // 0 or less: the default limit
};
// 35000 and the raw reply, or a 35xxx code and an empty reply.
int http_communicate(const HttpExchange& exchange, std::string& reply);

// Gathers a reply as it arrives. The header block (up to the first
// CR LF CR LF, at most kHttpMaxHeader bytes) is collected across reads;
// Content-Length is read from it alone, whatever the case of its name.
struct HttpReplyReader {
  std::string data;
  size_t headerend = std::string::npos;  // offset of the body once known
  int64_t contentlength = -1;            // -1: not announced
  bool statusseen = false;
};
// The code of the status line "HTTP/x.y NNN ..." that starts reply, or -1.
int http_statuscode(std::string_view reply);
// Adds one chunk. 0: more to come; 1: the announced length has arrived
// (data is cut to it); 35011 too large; 35012 "407" status.
int http_replyfeed(HttpReplyReader& reader, std::string_view chunk);
// The server closed. 35000 with the reply, or 35011 when nothing came or
// fewer bytes than announced.
int http_replyclose(HttpReplyReader& reader);

// Form encoding. Letters, digits and . - * _ stay; space becomes "+"; every
// other byte "%" and two upper-case hexadecimal digits.
int http_urlencode(std::string_view text, std::string& out);  // 0
// "+" to space, "%XX" to the byte. 1 (out empty) for "%" not followed by
// two hexadecimal digits, and for "%00" or a NUL byte.
int http_urldecode(std::string_view text, std::string& out);
// The same into wiped storage, for secret texts.
int http_urldecode(std::string_view text, WipedString& out);
// Splits scheme://host:port/path. Port 443 for https, 80 for http, else 0
// unless given; path "/" when there is none.
void http_parse_url(std::string_view url, std::string& host, int& port, std::string& path);
// The URL-decoded value of the first field named key (without regard to
// case) at the start of the form or right after an "&".
std::optional<std::string> http_find_value(std::string_view key, std::string_view form);

}  // namespace zmr
