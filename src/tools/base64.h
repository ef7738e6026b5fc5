// Base64 as every certificate, signature, key and encrypted field travels.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "misc/secret.h"

namespace zmr {

// One line of standard base64 with "=" padding, no line break.
// 21001 for empty input, 33002 for more than INT_MAX bytes. The wiped forms
// write secrets straight into wiped storage.
int encodebase64(int session, const unsigned char* data, size_t length, std::string& out);
int encodebase64(int session, const unsigned char* data, size_t length, WipedString& out);
inline int encodebase64(int session, std::string_view data, std::string& out) {
  return encodebase64(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
}
inline int encodebase64(int session, std::string_view data, WipedString& out) {
  return encodebase64(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
}

// Strict, whole decoding: line breaks and blanks anywhere are skipped; an
// invalid character, misplaced padding or an incomplete final group fails
// with 21002, as does text that decodes to nothing. On failure out is empty.
int decodebase64(int session, std::string_view text, std::vector<unsigned char>& out);
int decodebase64(int session, std::string_view text, WipedBytes& out);

// The pure codec, without the recent-error line. false on invalid input.
std::string base64_encode(const unsigned char* data, size_t length);
bool base64_decode(std::string_view text, std::vector<unsigned char>& out);

// The codec on buffers: base64_encodeto writes base64_encodedlength(length)
// characters; base64_decodeto needs room for base64_decodedroom(text)
// bytes and sets produced.
inline size_t base64_encodedlength(size_t length) { return (length + 2) / 3 * 4; }
inline size_t base64_decodedroom(std::string_view text) { return text.size() / 4 * 3 + 3; }
void base64_encodeto(const unsigned char* data, size_t length, char* out);
bool base64_decodeto(std::string_view text, unsigned char* out, size_t& produced);

// The codec over a text in pieces (cut anywhere), for texts whose bytes
// need not be kept whole: each piece needs room for
// base64_decodedroom(piece) bytes, the end for 2. Together they accept and
// give exactly what base64_decodeto does for the whole text.
struct Base64Decoding {
  unsigned group = 0;
  int have = 0;
  int padding = 0;
};
bool base64_decodepiece(Base64Decoding& state, std::string_view piece, unsigned char* out, size_t& produced);
bool base64_decodeend(const Base64Decoding& state, unsigned char* out, size_t& produced);

// The recent-error line of text that decodebase64 refuses; 21002.
int base64decodefailure(int session);

}  // namespace zmr
