#include "store/loaders/configuration.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "misc/ossl.h"
#include "misc/status.h"
#include "store/loaders/trustanchors.h"
#include "store/sessionstore.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

// A file line carries at most what the arguments can: key, "=", value, CR.
constexpr size_t kMaxLine = kMaxPropertyText + 1 + kMaxPropertyText + 1;

constexpr const char* kCipherList = "!ADH:!AECDH:!aNULL:!eNULL:!EXP:!LOW:!SHA1:kEDH:AESGCM:AESCCM:AES:3DES:@STRENGTH";

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

int insertpair(Session& s, std::string_view key, std::string_view value, int index) {
  if (index > 2 * (kMaxProperties - 1)) return kPropsTooMany;
  if (index < 0 || index % 2 != 0) return kBadArgument;
  size_t slot = static_cast<size_t>(index / 2);
  if (slot > s.properties.size()) return kBadArgument;
  // Line ends are cut before the length check, so that a value of full
  // length still fits on a CR LF line.
  if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
  if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
  if (key.size() > kMaxPropertyText) return kPropsKeyTooLong;
  if (value.size() > kMaxPropertyText) return kPropsValueTooLong;
  if (key.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos) return kPropsLine;
  try {
    Property pair{WipedString(key), WipedString(value)};
    if (slot == s.properties.size()) {
      s.properties.push_back(std::move(pair));
    } else {
      // A value may be a credential: wipe the old pair where it stands (a
      // short text lives in the table's own block), and let its heap
      // blocks go with the swapped-out pair.
      Property& stored = s.properties[slot];
      for (WipedString* text : {&stored.first, &stored.second}) OPENSSL_cleanse(text->data(), text->capacity());
      std::swap(stored, pair);
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

int insertline(Session& s, std::string_view line, int index) {
  if (index > 2 * (kMaxProperties - 1)) return kPropsTooMany;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return kPropsLine;
  return insertpair(s, line.substr(0, eq), line.substr(eq + 1), index);
}

// Reads one line (with its line feed, if any) of at most kMaxLine bytes
// before the line feed. false at end of file; *toolong when the line does not
// fit, the rest of it left unread.
bool readline(FILE* file, WipedString& line, bool* toolong) {
  line.clear();
  *toolong = false;
  int c;
  while ((c = std::getc(file)) != EOF) {
    line.push_back(static_cast<char>(c));
    if (c == '\n') return true;
    if (line.size() > kMaxLine) {
      *toolong = true;
      return true;
    }
  }
  return !line.empty();
}

int toolongcode(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq > kMaxPropertyText) return kPropsKeyTooLong;
  return kPropsValueTooLong;
}

bool searchabledirectory(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return ::access(path.c_str(), R_OK | X_OK) == 0;
}

int makecontext(const std::string& truststore, const STACK_OF(X509) * anchors, SslCtxPtr& out) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return kTlsContext;
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx.get(), kCipherList) != 1)
    return kTlsContext;
  // A peer that closes without close_notify reads as end of data; the HTTP
  // client then judges truncation by the announced length.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (SSL_CTX_load_verify_locations(ctx.get(), nullptr, truststore.c_str()) != 1) return kTruststore;
  if (int rc = addtrustanchors(SSL_CTX_get_cert_store(ctx.get()), anchors); rc != kOk) return rc;
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_verify_depth(ctx.get(), 10);
  out = std::move(ctx);
  return kOk;
}

int maketruststore(const std::string& dir, const STACK_OF(X509) * anchors, X509StorePtr& out) {
  X509StorePtr store(X509_STORE_new());
  if (!store) return kOutOfMemory;
  if (X509_STORE_load_path(store.get(), dir.c_str()) != 1) return kTruststore;
  if (int rc = addtrustanchors(store.get(), anchors); rc != kOk) return rc;
  out = std::move(store);
  return kOk;
}

int configure(Session& s, const char* webaddress, const char* truststore, const char* grantedpolicies,
              const char* httpproxyserver, const char* httpproxyport, const char* path) {
  if (path != nullptr) {
    // The file's stream buffer holds credentials too: our own, wiped
    // after the stream is closed.
    SecretBytes buffer(BUFSIZ);
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "r"));
    if (!file) return kPropsOpen;
    if (std::setvbuf(file.get(), reinterpret_cast<char*>(buffer.bytes.data()), _IOFBF, buffer.bytes.size()) != 0)
      return kOutOfMemory;
    int rc = readproperties(s, file.get());
    if (std::fclose(file.release()) != 0) return kPropsClose;
    if (rc != kOk) return rc;
  } else {
    const std::pair<const char*, const char*> given[] = {
        {"webaddress", webaddress},           {"truststore", truststore},       {"grantedpolicies", grantedpolicies},
        {"httpproxyserver", httpproxyserver}, {"httpproxyport", httpproxyport},
    };
    for (const auto& [key, value] : given) {
      if (value == nullptr) continue;
      int rc = insertpair(s, key, value, static_cast<int>(2 * s.properties.size()));
      if (rc != kOk) return rc;
    }
  }

  std::string dir;
  int rc = getproperty(s, "truststore", dir);
  if (rc != kOk) return rc;
  // OpenSSL would take a missing directory silently and fail every
  // handshake later; refuse it now.
  if (!searchabledirectory(dir)) return kTruststore;

  // The certificates are shared by the six stores, each read through once.
  X509StackPtr anchors;
  rc = readtrustanchors(dir, anchors);
  if (rc != kOk) return rc;
  SslCtxPtr* contexts[] = {&s.ravud_ssl_context, &s.va_ssl_context, &s.tagserver_ssl_context, &s.services_ssl_context,
                           &s.sdm_ssl_context};
  for (SslCtxPtr* ctx : contexts) {
    rc = makecontext(dir, anchors.get(), *ctx);
    if (rc != kOk) return rc;
  }
  return maketruststore(dir, anchors.get(), s.truststore);
}

}  // namespace

int readproperties(Session& s, FILE* file) {
  try {
    WipedString line;  // values may be credentials
    line.reserve(kMaxLine + 2);
    bool toolong = false;
    while (readline(file, line, &toolong)) {
      if (toolong) return toolongcode(line);
      int rc = insertline(s, line, static_cast<int>(2 * s.properties.size()));
      if (rc != kOk) return rc;
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  // A read that failed (a directory opens, then refuses every read) is no
  // end of file: the file cannot be read.
  if (std::ferror(file) != 0) return kPropsOpen;
  return kOk;
}

int insertproperty(Session& s, const char* line, const char* key, const char* value, int index) {
  if (line != nullptr) return insertline(s, line, index);
  if (key == nullptr || value == nullptr) return kBadArgument;
  return insertpair(s, key, value, index);
}

namespace {

// The value of the first pair whose key equals key regardless of case.
template <typename Text>
int copyproperty(const Session& s, const char* key, Text& out) {
  if (key == nullptr) return kNoText;
  for (const auto& [k, v] : s.properties) {
    if (iequals(k, key)) {
      try {
        out.assign(v.data(), v.size());
      } catch (const std::bad_alloc&) {
        return kOutOfMemory;
      }
      return kOk;
    }
  }
  return kPropertyAbsent;
}

}  // namespace

int getproperty(const Session& s, const char* key, std::string& out) { return copyproperty(s, key, out); }

int getproperty(const Session& s, const char* key, SecretString& out) {
  out.wipe();
  return copyproperty(s, key, out.value);
}

int loadproperties(Session& s, const char* webaddress, const char* truststore, const char* grantedpolicies,
                   const char* httpproxyserver, const char* httpproxyport, const char* path) {
  if (path == nullptr && webaddress == nullptr) return kOk;
  int rc = configure(s, webaddress, truststore, grantedpolicies, httpproxyserver, httpproxyport, path);
  if (rc != kOk) ERR_clear_error();
  return rc;
}

}  // namespace zmr
