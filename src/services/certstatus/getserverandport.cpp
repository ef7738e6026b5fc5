#include "misc/status.h"
#include "services/certstatus/certstatusops.h"
#include "store/threadstore.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

// 1..65535 written in decimal, else 0; an empty text names no port.
int portof(std::string_view text, int fallback) {
  if (text.empty()) return fallback;
  if (text.size() > 5) return 0;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= 65535 ? value : 0;
}

}  // namespace

int getserverandport(int, std::string_view url, VaAddress& out) {
  out = VaAddress{};
  size_t sep = url.find("://");
  if (sep == std::string_view::npos)
    return fail(kOcspAia,
                "getcertstatus::getserverandport: An error occured trying to find the application protocol (http vs "
                "https) int the aia location\n");
  std::string scheme = tolower_ascii(url.substr(0, sep));
  int defaultport = 0;
  if (scheme == "https") {
    defaultport = 443;
  } else if (scheme == "http") {
    defaultport = 80;
  } else {
    return fail(kOcspAia,
                "getcertstatus::getserverandport: The application protcol in the aia location is neither http nor "
                "https.\n");
  }

  std::string_view rest = url.substr(sep + 3);
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view host = authority;
  std::string_view port;
  bool hasport = false;
  if (!authority.empty() && authority.front() == '[') {
    // An IPv6 literal: the port, if any, follows the bracket.
    size_t close = authority.find(']');
    if (close == std::string_view::npos || (close + 1 < authority.size() && authority[close + 1] != ':'))
      return fail(kOcspAia, "getcertstatus::getserverandport: The aia location does not name a va server.\n");
    host = authority.substr(1, close - 1);
    hasport = close + 1 < authority.size();
    if (hasport) port = authority.substr(close + 2);
  } else if (size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    hasport = true;
  }
  if (host.empty())
    return fail(kOcspAia, "getcertstatus::getserverandport: The aia location does not name a va server.\n");
  out.host = std::string(host);
  out.path = slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
  out.port = hasport ? portof(port, defaultport) : defaultport;
  return kOk;
}

}  // namespace zmr
