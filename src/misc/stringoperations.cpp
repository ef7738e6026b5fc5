#include "misc/stringoperations.h"

#include <cstring>

#include "misc/status.h"

namespace zmr {

size_t strlcpy(char* dst, const char* src, size_t size) {
  size_t len = std::strlen(src);
  if (size != 0) {
    size_t n = len < size - 1 ? len : size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
  }
  return len;
}

size_t strlcat(char* dst, const char* src, size_t size) {
  size_t dlen = 0;
  while (dlen < size && dst[dlen] != '\0') ++dlen;
  size_t slen = std::strlen(src);
  if (dlen == size) return size + slen;
  size_t room = size - dlen - 1;
  size_t n = slen < room ? slen : room;
  std::memcpy(dst + dlen, src, n);
  dst[dlen + n] = '\0';
  return dlen + slen;
}

const char* strnstr(const char* text, const char* needle, int32_t limit) {
  size_t n = std::strlen(needle);
  if (limit < 0 || n > static_cast<size_t>(limit)) return nullptr;
  // Never look past the text's own terminator, whatever the limit says.
  size_t tlen = ::strnlen(text, static_cast<size_t>(limit));
  if (n > tlen) return nullptr;
  for (size_t i = 0; i + n <= tlen; ++i) {
    if (std::memcmp(text + i, needle, n) == 0) return text + i;
  }
  return nullptr;
}

int32_t strincmp(const char* a, const char* b, int32_t n) {
  if (n < 1) return 0;
  for (int32_t i = 0;; ++i) {
    unsigned char ca = asciilower(static_cast<unsigned char>(a[i]));
    unsigned char cb = asciilower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return static_cast<int32_t>(ca) - static_cast<int32_t>(cb);
    if (ca == '\0' || i + 1 >= n) return 0;
  }
}

int32_t stricmp(const char* a, const char* b) {
  size_t la = std::strlen(a), lb = std::strlen(b);
  size_t m = la > lb ? la : lb;
  // Compare the terminator too, so that a prefix never equals the longer text.
  size_t n = m + 1;
  if (n > INT32_MAX) n = INT32_MAX;
  return strincmp(a, b, static_cast<int32_t>(n));
}

int tolowercase(const char* text, std::string& out) {
  if (text == nullptr) return kNoText;
  out = tolower_ascii(text);
  return 0;
}

std::string tolower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(asciilower(static_cast<unsigned char>(c)));
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciilower(static_cast<unsigned char>(a[i])) != asciilower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace zmr
