#include <climits>

#include "tools/base64.h"
#include "tools/certcache.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {

bool parsepkcs7(const unsigned char* der, size_t length, Pkcs7Ptr& out) {
  out.reset();
  if (der == nullptr || length == 0 || length > LONG_MAX) return false;
  const unsigned char* p = der;
  Pkcs7Ptr p7(d2ipkcs7(&p, static_cast<long>(length)));
  // Trailing bytes are not part of any signature: refuse them.
  if (!p7 || p != der + length) return false;
  out = std::move(p7);
  return true;
}

int decodepkcs7(int session, std::string_view pkcs7base64, Pkcs7Ptr& out, std::string_view decodeline, int parsecode,
                std::string_view parseline) {
  std::vector<unsigned char> der;
  int rc = decodebase64(session, pkcs7base64, der);
  if (rc != kOk) return fail(rc, decodeline);
  if (!parsepkcs7(der.data(), der.size(), out)) return fail(parsecode, parseline);
  return 0;
}

}  // namespace zmr
