// Bounded copies, bounded search and ASCII case folding.
//
// Case folding is ASCII only and independent of the host's locale: the
// scheme's keys and header names are ASCII, and a merchant process may run
// under any locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zmr {

// BSD semantics: copies at most size-1 bytes, always terminates when size is
// not zero, returns strlen(src). A result >= size means the copy was cut.
size_t strlcpy(char* dst, const char* src, size_t size);
// BSD semantics: returns the length the joined text would have; a result
// >= size means it was cut (or dst held no NUL within size bytes).
size_t strlcat(char* dst, const char* src, size_t size);
// First occurrence of needle lying wholly within the first limit bytes.
const char* strnstr(const char* text, const char* needle, int32_t limit);
// Case-insensitive comparison of at most n bytes; 0 when equal.
int32_t strincmp(const char* a, const char* b, int32_t n);
// Whole-text case-insensitive comparison; 0 when equal.
int32_t stricmp(const char* a, const char* b);

inline unsigned char asciilower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}
// Lower-cased copy (ASCII only). Returns 27001 for a null text.
int tolowercase(const char* text, std::string& out);
std::string tolower_ascii(std::string_view text);
bool iequals(std::string_view a, std::string_view b);

}  // namespace zmr
