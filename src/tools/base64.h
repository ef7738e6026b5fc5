// Base64 as every certificate, signature, key and encrypted field travels.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zmr {

// One line of standard base64 with "=" padding, no line break.
// 21001 for empty input, 33002 for more than INT_MAX bytes.
int encodebase64(int session, const unsigned char* data, size_t length, std::string& out);
inline int encodebase64(int session, std::string_view data, std::string& out) {
  return encodebase64(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
}

// Strict, whole decoding: line breaks and blanks anywhere are skipped; an
// invalid character, misplaced padding or an incomplete final group fails
// with 21002, as does text that decodes to nothing. On failure out is empty.
int decodebase64(int session, std::string_view text, std::vector<unsigned char>& out);

// The pure codec, without the recent-error line. false on invalid input.
std::string base64_encode(const unsigned char* data, size_t length);
bool base64_decode(std::string_view text, std::vector<unsigned char>& out);

}  // namespace zmr
