#include "net/httptools.h"

#include "misc/status.h"
#include "net/netio.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

inline constexpr size_t kMaxName = 999;

constexpr Where kAtPost{"httptools_getvahttppostrequestheader: ", true};
constexpr Where kAtGet{"httptools_gettaghttpgetrequestheader: ", true};
constexpr Where kAtServer{"httptools_getserverfromgetrequestheader: ", true};
constexpr Where kAtPort{"httptools_getportfromgetrequestheader: ", true};

// The Host line's text after "Host: " up to (not including) its line feed,
// and whether a line feed ends it.
bool hostline(std::string_view request, std::string_view& line, bool& terminated) {
  size_t at = request.find("Host: ");
  if (at == std::string_view::npos) return false;
  std::string_view rest = request.substr(at + 6);
  size_t lf = rest.find('\n');
  terminated = lf != std::string_view::npos;
  line = rest.substr(0, lf);
  return true;
}

}  // namespace

int getvahttppostrequestheader(int, std::string_view body, std::string& request) {
  request.clear();
  std::string text =
      "POST / HTTP/1.0\r\nContent-Type: application/ocsp-request\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\nCache-Control: no-cache\r\n\r\n";
  if (text.size() + body.size() > kRequestBuffer) return fail(kTruncated, kAtPost, "Truncation occured");
  request = std::move(text);
  request.append(body);
  return kOk;
}

int gettaghttpgetrequestheader(int, std::string_view url, SecretString& request, int proxy,
                               std::string_view credentials) {
  request.wipe();
  if (url.size() >= 9001)
    return fail(kHeaderRequestSize, kAtGet,
                "The dynamically built http request is too large to fit in internal buffer");
  // A URL or credentials with line breaks would smuggle headers in.
  if (hasunsafebyte(url) || hasunsafebyte(credentials))
    return fail(kHeaderUrl, kAtGet, "The requested url is not valid");
  size_t slashes = url.find("//");
  size_t slash = slashes == std::string_view::npos ? slashes : url.find('/', slashes + 2);
  if (slash == std::string_view::npos) return fail(kHeaderUrl, kAtGet, "The requested url is not valid");
  std::string_view server = url.substr(slashes + 2, slash - slashes - 2);
  std::string_view path = url.substr(slash);
  if (server.size() > kMaxName)
    return fail(kHeaderServerSize, kAtGet, "The requested servername is to large for internal buffers");
  if (path.size() > kMaxName)
    return fail(kHeaderParamSize, kAtGet, "The requested GET parameter is too large for internal buffers");
  SecretString built;
  WipedString& text = built.value;
  text.append("GET ").append(proxy != 0 ? url : path).append(" HTTP/1.0");
  if (proxy != 0 && !credentials.empty()) text.append("\r\nProxy-Authorization: Basic ").append(credentials);
  text.append("\r\nHost: ").append(server);
  if (server.find(':') == std::string_view::npos) text.append(":80");
  text.append("\r\nPragma: no-cache\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n\r\n");
  if (text.size() >= kRequestBuffer) return fail(kTruncated, kAtGet, "Truncation occured");
  std::swap(request.value, text);
  return kOk;
}

int getserverfromgetrequestheader(int, std::string_view request, std::string& server) {
  server.clear();
  std::string_view line;
  bool terminated = false;
  if (!hostline(request, line, terminated))
    return fail(kHeaderUrl, kAtServer, "Did not find host entry in http GET header");
  // Only the Host line itself is searched for the port separator.
  size_t colon = line.find(':');
  if (colon == std::string_view::npos && !terminated)
    return fail(kHeaderUrl, kAtServer, "The host entry in the http GET header lacks end of line");
  std::string_view name = line.substr(0, colon);
  if (name.size() > kMaxName)
    return fail(kHeaderServerSize, kAtServer, "The servername is too large to fit in internal buffers");
  server = std::string(name);
  return kOk;
}

int getportfromgetrequestheader(int, std::string_view request, std::string& port) {
  port.clear();
  std::string_view line;
  bool terminated = false;
  if (!hostline(request, line, terminated))
    return fail(kHeaderUrl, kAtPort, "Did not find host entry in http GET header");
  size_t colon = line.find(':');
  if (colon == std::string_view::npos)
    return fail(kHeaderUrl, kAtPort, "Did not find the port in the http GET headers host entry");
  if (!terminated) return fail(kHeaderUrl, kAtPort, "The host entry in the http GET header lacks end of line");
  std::string_view text = line.substr(colon + 1);
  if (text.size() > kMaxName)
    return fail(kHeaderServerSize, kAtPort, "The host entrys portnumber is too large to fit in internal buffers");
  port = std::string(text);
  return kOk;
}

}  // namespace zmr
