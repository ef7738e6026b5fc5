// URL encoding, decoding and splitting, and the lookup of one form field.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define ZMR_URLENCODE_SSE2 1
#else
#define ZMR_URLENCODE_SSE2 0
#endif

#include "net/http_lib.h"
#include "misc/secret.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

constexpr bool unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '*' || c == '_';
}

// Per byte, what it becomes in a form: the character's one to three bytes
// in the low three, their count in the top one.
constexpr std::array<uint32_t, 256> kEscapes = [] {
  constexpr char digits[] = "0123456789ABCDEF";
  std::array<uint32_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    if (unreserved(static_cast<unsigned char>(c))) {
      t[c] = 1u << 24 | c;
    } else if (c == ' ') {
      t[c] = 1u << 24 | '+';
    } else {
      t[c] = 3u << 24 | static_cast<uint32_t>(static_cast<unsigned char>(digits[c & 15])) << 16 |
             static_cast<uint32_t>(static_cast<unsigned char>(digits[c >> 4])) << 8 | '%';
    }
  }
  return t;
}();

// Writes c's form at p, four bytes whatever its length (the room is there):
// past its end.
inline char* escape(char* p, unsigned char c) {
  const uint32_t e = kEscapes[c];
  const unsigned char bytes[4] = {static_cast<unsigned char>(e), static_cast<unsigned char>(e >> 8),
                                  static_cast<unsigned char>(e >> 16), 0};
  std::memcpy(p, bytes, sizeof bytes);
  return p + (e >> 24);
}

#if ZMR_URLENCODE_SSE2
// All ones in each byte of in[0..16) that is not kept as it is.
inline __m128i escapedbytes(__m128i v) {
  // x within [0, top], unsigned.
  auto atmost = [](__m128i x, char top) { return _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(top)), x); };
  const __m128i letter = atmost(_mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a')), 25);
  const __m128i digit = atmost(_mm_sub_epi8(v, _mm_set1_epi8('0')), 9);
  auto is = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i mark = _mm_or_si128(_mm_or_si128(is('.'), is('-')), _mm_or_si128(is('*'), is('_')));
  return _mm_andnot_si128(_mm_or_si128(_mm_or_si128(letter, digit), mark), _mm_set1_epi8(-1));
}

inline __m128i load16(const unsigned char* in) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)); }

// Bit k set when in[k] (of 16) is not kept as it is.
inline unsigned escapedmask(const unsigned char* in) {
  return static_cast<unsigned>(_mm_movemask_epi8(escapedbytes(load16(in))));
}

#endif

int hexvalue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes the decoder copies as they are, and bytes that end a form field's
// value.
constexpr std::array<bool, 256> kCopied = [] {
  std::array<bool, 256> t{};
  t.fill(true);
  t['+'] = t['%'] = t[0] = false;
  return t;
}();
constexpr std::array<bool, 256> kEndsValue = [] {
  std::array<bool, 256> t{};
  t[0] = t['&'] = t['\r'] = t['\n'] = t['\f'] = true;
  return t;
}();

template <typename Text>
int urldecode(std::string_view text, Text& out) {
  out.clear();
  out.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    size_t run = i;
    while (run < n && kCopied[static_cast<unsigned char>(text[run])]) ++run;
    out.append(text.data() + i, run - i);
    if (run == n) break;
    i = run;
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
      ++i;
    } else if (c == '%') {
      int hi = (i + 1 < n) ? hexvalue(static_cast<unsigned char>(text[i + 1])) : -1;
      int lo = (i + 2 < n) ? hexvalue(static_cast<unsigned char>(text[i + 2])) : -1;
      // A NUL, decoded or raw, would cut the text short for every C reader
      // after us.
      if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
        out.clear();
        return 1;
      }
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 3;
    } else {
      out.clear();
      return 1;
    }
  }
  return 0;
}

}  // namespace

int http_urlencode(std::string_view text, std::string& out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  // Signatures and ciphertexts of whole answers go through here: room for
  // the usual share of escapes (base64 has two letters in 64 that need
  // one), grown only when more come. A block or an escape may be written
  // past the text's end: the slack is cut at the end.
  constexpr size_t kSlack = 16;
  out.resize(n + n / 8 + kSlack);
  char* p = out.data();
  char* limit = p + out.size() - kSlack;
  // Room for at least need more bytes before the slack. Form values may be
  // secrets: the block left behind is wiped.
  auto room = [&](size_t need) {
    if (static_cast<size_t>(limit - p) >= need) return;
    const size_t used = static_cast<size_t>(p - out.data());
    std::string larger(std::max(out.size() * 2, used + need + kSlack), '\0');
    std::memcpy(larger.data(), out.data(), used);
    wipeblock(out.data(), out.size());
    out.swap(larger);
    p = out.data() + used;
    limit = out.data() + out.size() - kSlack;
  };
  size_t i = 0;
#if ZMR_URLENCODE_SSE2
  while (i + 16 <= n) {
    room(16 + 2);
    const unsigned bad = escapedmask(in + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), load16(in + i));
    if (bad == 0) {
      p += 16;
      i += 16;
      continue;
    }
    const unsigned kept = static_cast<unsigned>(__builtin_ctz(bad));
    p = escape(p + kept, in[i + kept]);
    i += kept + 1;
  }
#endif
  for (; i < n; ++i) {
    room(3);
    p = escape(p, in[i]);
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
  size_t stop = start;
  while (stop < form.size() && !kEndsValue[static_cast<unsigned char>(form[stop])]) ++stop;
  std::string value;
  if (http_urldecode(form.substr(start, stop - start), value) != 0) return std::nullopt;
  return value;
}

}  // namespace zmr
