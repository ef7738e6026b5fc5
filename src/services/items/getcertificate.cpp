#include <openssl/pem.h>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/items/itemsops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

// Leaves the recent error as it is (it has no exported caller of its own).
int getcertificate(int session, int which, std::string& out) {
  out.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  X509* cert = nullptr;
  int rc = which != 0 ? getsigncert(*s, &cert) : getauthcert(*s, &cert);
  if (rc != kOk) {
    setlasterror(session, "getcertificate: Unable to retrieve auth certificate.\n");
    return rc;
  }
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
    setlasterror(session, "getcertificate: Unable to PEM encode X509 certificate.\n");
    return kCertPem;
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  out.assign(data, static_cast<size_t>(length));
  return 0;
}

}  // namespace zmr
