#include <expat.h>
#include <openssl/crypto.h>

#include "misc/status.h"
#include "net/stringmap.h"
#include "services/items/itemsops.h"

namespace zmr {

namespace {

#if defined(__clang__)
constexpr const char* kCompiler = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompiler = "gcc " __VERSION__;
#else
constexpr const char* kCompiler = "unknown";
#endif

}  // namespace

// Names the libraries actually loaded (OpenSSL, Expat) and the compiler
// that built this library. Needs no session and leaves the recent error.
int getversioninfo(std::string& out) {
  out.clear();
  XML_Expat_Version expat = XML_ExpatVersionInfo();
  const std::string expatversion =
      std::to_string(expat.major) + "." + std::to_string(expat.minor) + "." + std::to_string(expat.micro);
  const std::pair<const char*, std::string_view> items[] = {
      {"zelmorServerType", "C"},
      {"zelmorServerVersion", ZMR_VERSION_TEXT},
      {"platform", "LINUX"},
      {"arch", "64"},
      {"opensslversion", OpenSSL_version(OPENSSL_VERSION)},
      {"expatversion", expatversion},
      {"compiler", kCompiler},
  };
  stringmap map;
  for (const auto& [key, value] : items) {
    if (int rc = addelement(map, key, value); rc != kOk) return rc;
  }
  return tologstring(&map, out);
}

}  // namespace zmr
