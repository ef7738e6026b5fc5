#include <expat.h>
#include <openssl/crypto.h>

#include "services/services.h"

namespace zmr {

namespace {

#if defined(__clang__)
constexpr const char* kCompiler = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompiler = "gcc " __VERSION__;
#else
constexpr const char* kCompiler = "unknown";
#endif

void item(std::string& out, const char* key, const std::string& value) {
  out += '[';
  out += key;
  out += '=';
  out += value;
  out += ']';
}

}  // namespace

// Names the libraries actually loaded (OpenSSL, Expat) and the compiler
// that built this library. Needs no session and leaves the recent error.
int getversioninfo(std::string& out) {
  out.clear();
  XML_Expat_Version expat = XML_ExpatVersionInfo();
  item(out, "zelmorServerType", "C");
  item(out, "zelmorServerVersion", ZMR_VERSION_TEXT);
  item(out, "platform", "LINUX");
  item(out, "arch", "64");
  item(out, "opensslversion", OpenSSL_version(OPENSSL_VERSION));
  item(out, "expatversion",
       std::to_string(expat.major) + "." + std::to_string(expat.minor) + "." + std::to_string(expat.micro));
  item(out, "compiler", kCompiler);
  return 0;
}

}  // namespace zmr
