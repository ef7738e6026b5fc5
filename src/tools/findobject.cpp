#include <vector>

#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

// Reads the identifier and length octets at pos, bounded by end. On success
// pos is moved to the content and contentlength set.
bool readheader(const unsigned char*& pos, const unsigned char* end, unsigned char& tag, size_t& contentlength) {
  if (pos >= end) return false;
  tag = *pos++;
  if ((tag & 0x1f) == 0x1f) {  // high tag number: continuation octets
    do {
      if (pos >= end) return false;
    } while ((*pos++ & 0x80) != 0);
  }
  if (pos >= end) return false;
  unsigned char first = *pos++;
  if (first < 0x80) {
    contentlength = first;
  } else {
    size_t count = first & 0x7f;
    // 0x80 is the indefinite form, which DER does not allow.
    if (count == 0 || count > sizeof(size_t) || static_cast<size_t>(end - pos) < count) return false;
    contentlength = 0;
    for (size_t i = 0; i < count; ++i) contentlength = (contentlength << 8) | *pos++;
  }
  return contentlength <= static_cast<size_t>(end - pos);
}

}  // namespace

const unsigned char* findObject(unsigned char tag, const unsigned char* der, size_t length) {
  if (der == nullptr) return nullptr;
  const unsigned char* pos = der;
  // Ends of the SEQUENCEs the walk is inside, innermost last; an element
  // must end within its container.
  std::vector<const unsigned char*> ends{der + length};
  while (true) {
    while (ends.size() > 1 && pos == ends.back()) ends.pop_back();
    if (pos >= ends.back()) return nullptr;
    const unsigned char* element = pos;
    unsigned char t;
    size_t n;
    if (!readheader(pos, ends.back(), t, n)) return nullptr;
    if (t == tag) return element;
    if (t == 0x30) {
      ends.push_back(pos + n);
    } else {
      pos += n;
    }
  }
}

}  // namespace zmr
