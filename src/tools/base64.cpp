#include "tools/base64.h"

#include <climits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZMR_BASE64_AVX2 1
#endif

#include "misc/status.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, 64 for '=', 65 for skipped blanks, 255 bad.
struct DecodeTable {
  unsigned char v[256];
  constexpr DecodeTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = 255;
    for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    v[static_cast<unsigned char>('=')] = 64;
    v[static_cast<unsigned char>(' ')] = 65;
    v[static_cast<unsigned char>('\t')] = 65;
    v[static_cast<unsigned char>('\r')] = 65;
    v[static_cast<unsigned char>('\n')] = 65;
  }
};
constexpr DecodeTable kDecode;

#ifdef ZMR_BASE64_AVX2
// Long texts decode 32 characters at a time where the processor allows it
// (the nibble-table method): a block holding anything but the 64 alphabet
// characters is left to the byte-wise decoder, which alone judges blanks,
// padding and errors.
bool hasavx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// Decodes whole blocks from p while every character is of the alphabet;
// writes 24 bytes per block and returns the characters taken (a multiple
// of 32).
__attribute__((target("avx2"))) size_t decodeblocks(const unsigned char* p, size_t n, unsigned char* o) {
  const __m256i lutlo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                                         0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                         0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i luthi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                                         0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i lutroll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                                           -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i slash = _mm256_set1_epi8(0x2F);
  const __m256i pack1 = _mm256_set1_epi32(0x01400140);
  const __m256i pack2 = _mm256_set1_epi32(0x00011000);
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9,
                                         8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  size_t at = 0;
  for (; n - at >= 32; at += 32, o += 24) {
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(in, 4), nibble);
    const __m256i lo = _mm256_and_si256(in, nibble);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(lutlo, lo), _mm256_shuffle_epi8(luthi, hi))) break;
    const __m256i roll = _mm256_shuffle_epi8(lutroll, _mm256_add_epi8(_mm256_cmpeq_epi8(in, slash), hi));
    const __m256i values = _mm256_add_epi8(in, roll);
    const __m256i merged = _mm256_madd_epi16(_mm256_maddubs_epi16(values, pack1), pack2);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(merged, order), lanes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(bytes, 1));
  }
  return at;
}

// Encodes 24 bytes at a time into 32 characters while 28 can be read (the
// method of Muła and Lemire: arithmetic only, no lookup by the bytes, which
// may be secrets); returns the bytes taken (a multiple of 24).
__attribute__((target("avx2"))) size_t encodeblocks(const unsigned char* p, size_t n, char* o) {
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0, 2, 1, 4, 3, 5, 4, 7,
                                          6, 8, 7, 10, 9, 11, 10);
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0, 65, 71, -4,
                                           -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  size_t at = 0;
  for (; n - at >= 28; at += 24, o += 32) {
    const __m256i in = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at + 12)), 1);
    const __m256i v = _mm256_shuffle_epi8(in, spread);
    // The four sextets of each three bytes, one to a byte.
    const __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00)),
                                          _mm256_set1_epi32(0x04000040));
    const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0)),
                                          _mm256_set1_epi32(0x01000010));
    const __m256i sextets = _mm256_or_si256(hi, lo);
    // Each sextet's range (A-Z, a-z, 0-9, +, /) picks what is added to it.
    __m256i range = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
    range = _mm256_sub_epi8(range, _mm256_cmpgt_epi8(sextets, _mm256_set1_epi8(25)));
    const __m256i text = _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, range));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), text);
  }
  return at;
}
#endif

// Both containers are sized once and written in place: no copy of the
// bytes is left in a block of another.
template <typename String>
int encodeinto(int session, const unsigned char* data, size_t length, String& out) {
  out.clear();
  if (length > static_cast<size_t>(INT_MAX) || (data == nullptr && length != 0)) return kBadArgument;
  if (length == 0) {
    setlasterror(session, "base64_encodebase64: Unable to base64 encode data.\n");
    return kBase64Encode;
  }
  out.resize(base64_encodedlength(length));
  base64_encodeto(data, length, out.data());
  return kOk;
}

template <typename Bytes>
bool decodeinto(std::string_view text, Bytes& out) {
  out.resize(base64_decodedroom(text));
  size_t produced = 0;
  if (!base64_decodeto(text, out.data(), produced)) return false;
  out.resize(produced);
  return true;
}

template <typename Bytes>
int decodechecked(int session, std::string_view text, Bytes& out) {
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    out.clear();
    return kBadArgument;
  }
  if (!decodeinto(text, out) || out.empty()) {
    out.clear();
    return base64decodefailure(session);
  }
  return kOk;
}

}  // namespace

std::string base64_encode(const unsigned char* data, size_t length) {
  std::string out(base64_encodedlength(length), '\0');
  base64_encodeto(data, length, out.data());
  return out;
}

bool base64_decode(std::string_view text, std::vector<unsigned char>& out) { return decodeinto(text, out); }

void base64_encodeto(const unsigned char* data, size_t length, char* o) {
  size_t i = 0;
#ifdef ZMR_BASE64_AVX2
  if (length >= 28 && hasavx2()) {
    i = encodeblocks(data, length, o);
    o += i / 3 * 4;
  }
#endif
  for (; i + 3 <= length; i += 3) {
    unsigned v = (unsigned(data[i]) << 16) | (unsigned(data[i + 1]) << 8) | data[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (size_t rest = length - i; rest != 0) {
    unsigned v = unsigned(data[i]) << 16;
    if (rest == 2) v |= unsigned(data[i + 1]) << 8;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
}

bool base64_decodepiece(Base64Decoding& state, std::string_view piece, unsigned char* const out, size_t& produced) {
  produced = 0;
  unsigned char* o = out;
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const unsigned char* const end = p + piece.size();
  unsigned group = state.group;
  int have = state.have;        // sextets in the current group
  int padding = state.padding;  // '=' seen; only blanks may follow the padded group
#ifdef ZMR_BASE64_AVX2
  const bool wide = hasavx2();
  const unsigned char* narrowuntil = p;  // a block that stopped the wide decoder is not tried again
#endif
  while (p < end) {
#ifdef ZMR_BASE64_AVX2
    if (wide && have == 0 && padding == 0 && p >= narrowuntil && end - p >= 32) {
      const size_t taken = decodeblocks(p, static_cast<size_t>(end - p), o);
      p += taken;
      o += taken / 4 * 3;
      narrowuntil = p + 32;
      continue;
    }
#endif
    // Fast path: four alphabet characters at a group boundary.
    if (have == 0 && end - p >= 4) {
      unsigned a = kDecode.v[p[0]], b = kDecode.v[p[1]], c = kDecode.v[p[2]], d = kDecode.v[p[3]];
      if ((a | b | c | d) < 64) {
        unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
        o[0] = static_cast<unsigned char>(v >> 16);
        o[1] = static_cast<unsigned char>(v >> 8);
        o[2] = static_cast<unsigned char>(v);
        o += 3;
        p += 4;
        continue;
      }
    }
    unsigned char v = kDecode.v[*p++];
    if (v == 65) continue;
    if (v == 255) return false;
    if (v == 64) {
      // Padding is legal only as the third or fourth character of a group.
      if (have + padding < 2) return false;
      if (++padding + have > 4) return false;
      continue;
    }
    if (padding != 0) return false;  // data after padding
    group = (group << 6) | v;
    if (++have == 4) {
      o[0] = static_cast<unsigned char>(group >> 16);
      o[1] = static_cast<unsigned char>(group >> 8);
      o[2] = static_cast<unsigned char>(group);
      o += 3;
      group = 0;
      have = 0;
    }
  }
  state = {group, have, padding};
  produced = static_cast<size_t>(o - out);
  return true;
}

bool base64_decodeend(const Base64Decoding& state, unsigned char* out, size_t& produced) {
  produced = 0;
  const unsigned group = state.group;
  if (state.padding != 0) {
    if (state.have + state.padding != 4) return false;
    // The bits that padding stands for must be zero, or two texts decode alike.
    if (state.have == 2) {
      if (group & 0xF) return false;
      out[0] = static_cast<unsigned char>(group >> 4);
      produced = 1;
    } else {
      if (group & 0x3) return false;
      out[0] = static_cast<unsigned char>(group >> 10);
      out[1] = static_cast<unsigned char>(group >> 2);
      produced = 2;
    }
    return true;
  }
  return state.have == 0;  // else an incomplete final group
}

bool base64_decodeto(std::string_view text, unsigned char* const out, size_t& produced) {
  Base64Decoding state;
  size_t body = 0, tail = 0;
  produced = 0;
  if (!base64_decodepiece(state, text, out, body) || !base64_decodeend(state, out + body, tail)) return false;
  produced = body + tail;
  return true;
}

int base64decodefailure(int session) {
  setlasterror(session, "base64_decodebase64: Unable to decode data. The data is not valid Base64.\n");
  return kBase64Decode;
}

int encodebase64(int session, const unsigned char* data, size_t length, std::string& out) {
  return encodeinto(session, data, length, out);
}
int encodebase64(int session, const unsigned char* data, size_t length, WipedString& out) {
  return encodeinto(session, data, length, out);
}

int decodebase64(int session, std::string_view text, std::vector<unsigned char>& out) {
  return decodechecked(session, text, out);
}
int decodebase64(int session, std::string_view text, WipedBytes& out) { return decodechecked(session, text, out); }

}  // namespace zmr
