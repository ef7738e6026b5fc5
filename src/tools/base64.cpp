#include "tools/base64.h"

#include <climits>

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
  while (p < end) {
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
