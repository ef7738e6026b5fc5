#include "store/loaders/trustanchors.h"

#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "misc/status.h"
#include "tools/certcache.h"

namespace zmr {
namespace {

struct DirCloser {
  void operator()(DIR* d) const {
    if (d != nullptr) ::closedir(d);
  }
};

// The hash of a file name "<8 lower-case hex digits>.0", the first file the
// lookup reads for a hash; false for any other name.
bool firstfileof(std::string_view name, unsigned long& hash) {
  if (name.size() != 10 || name.substr(8) != ".0") return false;
  hash = 0;
  for (char c : name.substr(0, 8)) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    hash = hash << 4 | static_cast<unsigned long>(digit);
  }
  return true;
}

bool subjecthashis(X509* cert, unsigned long hash) {
  int ok = 0;
  unsigned long h = X509_NAME_hash_ex(X509_get_subject_name(cert), nullptr, nullptr, &ok);
  return ok == 1 && h == hash;
}

// The certificates of one file as the lookup reads it (X509_load_cert_file,
// PEM); false where the lookup's read fails (no file, no certificate, a
// certificate that does not decode), then certs may hold a part.
bool readfile(const std::string& path, std::vector<X509Ptr>& certs) {
  BioPtr in(BIO_new_file(path.c_str(), "r"));
  if (!in) return false;
  for (bool first = true;; first = false) {
    X509Ptr cert(PEM_read_bio_X509_AUX(in.get(), nullptr, nullptr, const_cast<char*>("")));
    if (!cert) return !first && ERR_GET_REASON(ERR_peek_last_error()) == PEM_R_NO_START_LINE;
    certs.push_back(std::move(cert));
  }
}

// What the lookup loads for hash: h.0, h.1, ... up to the first file that
// is not there; false when a file does not read whole, a certificate does
// not read soundly, or one has a subject of another hash (the lookup reads
// such a certificate only once a name of this hash was looked up, which
// only the lookup itself can keep to).
bool readhash(const std::string& dir, unsigned long hash, std::vector<X509Ptr>& certs) {
  for (int k = 0;; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "/%08lx.%d", hash, k);
    std::string path = dir + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return true;
    size_t first = certs.size();
    if (!readfile(path, certs)) return false;
    for (size_t i = first; i < certs.size(); ++i) {
      if (!soundlyread(certs[i].get()) || !subjecthashis(certs[i].get(), hash)) return false;
    }
  }
}

int readanchors(const std::string& dir, X509StackPtr& out) {
  X509StackPtr anchors(sk_X509_new_null());
  if (!anchors) return kTruststore;
  if (dir.find(':') != std::string::npos) {
    out = std::move(anchors);
    return kOk;
  }
  std::vector<unsigned long> hashes;
  {
    std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
    if (!d) return kTruststore;
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(d.get());
      if (e == nullptr) {
        if (errno != 0) return kTruststore;
        break;
      }
      unsigned long hash = 0;
      if (firstfileof(e->d_name, hash)) hashes.push_back(hash);
    }
  }
  std::sort(hashes.begin(), hashes.end());
  for (unsigned long hash : hashes) {
    std::vector<X509Ptr> certs;
    if (!readhash(dir, hash, certs)) continue;
    for (X509Ptr& cert : certs) {
      if (sk_X509_push(anchors.get(), cert.get()) <= 0) return kTruststore;
      cert.release();
    }
  }
  out = std::move(anchors);
  return kOk;
}

}  // namespace

int readtrustanchors(const std::string& dir, X509StackPtr& out) {
  // Whatever a file's read raised is no error of the opening.
  ERR_set_mark();
  int rc;
  try {
    rc = readanchors(dir, out);
  } catch (const std::bad_alloc&) {
    rc = kTruststore;
  }
  ERR_pop_to_mark();
  return rc;
}

int addtrustanchors(X509_STORE* store, const STACK_OF(X509) * anchors) {
  for (int i = 0; i < sk_X509_num(anchors); ++i) {
    if (X509_STORE_add_cert(store, sk_X509_value(anchors, i)) != 1) return kTruststore;
  }
  return kOk;
}

}  // namespace zmr
