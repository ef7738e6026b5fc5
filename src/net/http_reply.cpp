// Assembling a reply from the chunks read off the connection.
#include "net/http_lib.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Content-Length of the first header line of that name: its value, -1 when
// absent or not a number, or -2 when larger than any body we accept.
int64_t contentlength(std::string_view block) {
  size_t pos = block.find("\r\n");
  while (pos != std::string_view::npos && pos + 2 < block.size()) {
    size_t start = pos + 2;
    size_t end = block.find("\r\n", start);
    std::string_view line = block.substr(start, end == std::string_view::npos ? end : end - start);
    pos = end;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || !iequals(line.substr(0, colon), "content-length")) continue;
    std::string_view value = trimmed(line.substr(colon + 1));
    if (value.empty()) return -1;
    int64_t n = 0;
    for (char c : value) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
      if (n > static_cast<int64_t>(kHttpMaxBody)) return -2;
    }
    return n;
  }
  return -1;
}

}  // namespace

int http_statuscode(std::string_view reply) {
  std::string_view line = reply.substr(0, reply.find("\r\n"));
  size_t sp = line.find(' ');
  if (line.substr(0, 5) != "HTTP/" || sp == std::string_view::npos || line.size() < sp + 4) return -1;
  if (line.size() > sp + 4 && line[sp + 4] != ' ') return -1;
  int code = 0;
  for (size_t i = sp + 1; i < sp + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

int http_replyfeed(HttpReplyReader& r, std::string_view chunk) {
  size_t before = r.data.size();
  r.data.append(chunk);
  if (!r.statusseen) {
    size_t eol = r.data.find("\r\n");
    if (eol != std::string::npos) {
      r.statusseen = true;
      if (http_statuscode(r.data) == 407) return kHttpProxyAuth;
    }
  }
  if (r.headerend == std::string::npos) {
    size_t from = before < 3 ? 0 : before - 3;
    size_t end = r.data.find("\r\n\r\n", from);
    if (end == std::string::npos) {
      if (r.data.size() > kHttpMaxHeader) return kHttpConnection;
      return 0;
    }
    if (end + 4 > kHttpMaxHeader) return kHttpConnection;
    r.headerend = end + 4;
    r.contentlength = contentlength(std::string_view(r.data).substr(0, end + 2));
    if (r.contentlength == -2) return kHttpConnection;
  }
  size_t body = r.data.size() - r.headerend;
  if (r.contentlength >= 0 && body >= static_cast<size_t>(r.contentlength)) {
    // One request per connection: whatever follows the announced body is
    // not part of this reply.
    r.data.resize(r.headerend + static_cast<size_t>(r.contentlength));
    return 1;
  }
  if (body > kHttpMaxBody) return kHttpConnection;
  return 0;
}

int http_replyclose(HttpReplyReader& r) {
  if (r.data.empty()) return kHttpConnection;
  if (r.contentlength >= 0 && r.data.size() - r.headerend < static_cast<size_t>(r.contentlength))
    return kHttpConnection;
  return kHttpOk;
}

}  // namespace zmr
