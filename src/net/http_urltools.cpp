// URL encoding, decoding and splitting, and the lookup of one form field.
#include <cstring>

#include "net/http_lib.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

bool unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '*' || c == '_';
}

int hexvalue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename Text>
int urldecode(std::string_view text, Text& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      int hi = (i + 1 < text.size()) ? hexvalue(static_cast<unsigned char>(text[i + 1])) : -1;
      int lo = (i + 2 < text.size()) ? hexvalue(static_cast<unsigned char>(text[i + 2])) : -1;
      // A NUL, decoded or raw, would cut the text short for every C reader
      // after us.
      if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
        out.clear();
        return 1;
      }
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '\0') {
      out.clear();
      return 1;
    } else {
      out.push_back(c);
    }
  }
  return 0;
}

}  // namespace

int http_urlencode(std::string_view text, std::string& out) {
  static const char digits[] = "0123456789ABCDEF";
  // Written into a buffer of the largest size and cut: signatures and
  // ciphertexts of whole answers go through here.
  out.resize(text.size() * 3);
  char* p = out.data();
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (unreserved(c)) {
      *p++ = ch;
    } else if (c == ' ') {
      *p++ = '+';
    } else {
      p[0] = '%';
      p[1] = digits[c >> 4];
      p[2] = digits[c & 15];
      p += 3;
    }
  }
  out.resize(static_cast<size_t>(p - out.data()));
  return 0;
}

int http_urldecode(std::string_view text, std::string& out) { return urldecode(text, out); }
int http_urldecode(std::string_view text, WipedString& out) { return urldecode(text, out); }

void http_parse_url(std::string_view url, std::string& host, int& port, std::string& path) {
  host.clear();
  path.clear();
  port = 0;
  std::string_view rest = url;
  size_t sep = url.find("://");
  if (sep != std::string_view::npos) {
    std::string_view scheme = url.substr(0, sep + 1);
    if (iequals(scheme, "https:")) {
      port = 443;
    } else if (iequals(scheme, "http:")) {
      port = 80;
    }
    rest = url.substr(sep + 3);
  }
  size_t end = rest.find_first_of(":/");
  host = std::string(rest.substr(0, end));
  if (end == std::string_view::npos) {
    path = "/";
    return;
  }
  if (rest[end] == ':') {
    size_t slash = rest.find('/', end + 1);
    std::string_view digits = rest.substr(end + 1, slash == std::string_view::npos ? slash : slash - end - 1);
    // A port that is not a number in range is refused by the exchange
    // rather than read as some other port.
    int value = digits.empty() ? -1 : 0;
    for (char c : digits) {
      if (c < '0' || c > '9' || value > 65535) {
        value = -1;
        break;
      }
      value = value * 10 + (c - '0');
    }
    port = value > 65535 ? -1 : value;
    end = slash;
  }
  path = end == std::string_view::npos ? std::string("/") : std::string(rest.substr(end));
}

std::optional<std::string> http_find_value(std::string_view key, std::string_view form) {
  if (form.empty()) return std::nullopt;
  std::string pattern = std::string(key) + "=";
  size_t pos = 0;
  while (true) {
    if (form.size() - pos >= pattern.size() && iequals(form.substr(pos, pattern.size()), pattern)) break;
    size_t amp = form.find('&', pos);
    if (amp == std::string_view::npos || amp + 1 >= form.size()) return std::nullopt;
    pos = amp + 1;
  }
  size_t start = pos + pattern.size();
  size_t stop = form.find_first_of(std::string_view("\0&\r\n\f", 5), start);
  std::string value;
  if (http_urldecode(form.substr(start, stop == std::string_view::npos ? stop : stop - start), value) != 0)
    return std::nullopt;
  return value;
}

}  // namespace zmr
