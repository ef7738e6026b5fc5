#include "tools/derelement.h"

#include <openssl/asn1.h>

#include <climits>

namespace zmr {

bool readderelement(std::string_view& in, DerElement& out) {
  if (in.size() > static_cast<size_t>(LONG_MAX)) return false;
  const auto* start = reinterpret_cast<const unsigned char*>(in.data());
  const unsigned char* p = start;
  long length = 0;
  int tag = 0, xclass = 0;
  int ret = ASN1_get_object(&p, &length, &tag, &xclass, static_cast<long>(in.size()));
  // 0x80: malformed or longer than the buffer; bit 0: indefinite length.
  if ((ret & 0x80) != 0 || (ret & 0x01) != 0) return false;
  size_t header = static_cast<size_t>(p - start);
  out.tag = tag;
  out.xclass = xclass;
  out.constructed = (ret & V_ASN1_CONSTRUCTED) != 0;
  out.content = in.substr(header, static_cast<size_t>(length));
  out.whole = in.substr(0, header + static_cast<size_t>(length));
  in.remove_prefix(out.whole.size());
  return true;
}

std::optional<std::string> writederelement(int tag, int xclass, bool constructed, std::string_view content) {
  if (content.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
  int length = static_cast<int>(content.size());
  int total = ASN1_object_size(constructed ? 1 : 0, length, tag);
  if (total < length) return std::nullopt;
  std::string out(static_cast<size_t>(total), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  ASN1_put_object(&p, constructed ? 1 : 0, length, tag, xclass);
  out.replace(static_cast<size_t>(total - length), content.size(), content);
  return out;
}

}  // namespace zmr
