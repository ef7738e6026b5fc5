#include "store/setup.h"
#include "misc/status.h"
#include "misc/version.h"
#include "net/http_lib.h"
#include "services/initsession/initsessionops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"
#include "tools/systemtools.h"

namespace zmr {
namespace {

constexpr Where kAt{"initsession::create_server_info: "};

struct CertFields {
  std::string issuer, serial, commonname;
};

// Reads the three fields under "certtools"; the guard releases it on every
// path.
int readcertfields(const Session& s, CertFields& f, const char*& failure) {
  const int session = s.number;
  NamedLock lock(session, "certtools");
  if (!lock.ok()) {
    failure = "Failed to aquire mutex.\n";
    return lock.code;
  }
  X509* cert = nullptr;
  if (int rc = getauthcert(s, &cert); rc != kOk) {
    failure = "Error fetching auth certificate.";
    return rc;
  }
  if (int rc = getissuername(session, cert, f.issuer); rc != kOk) {
    failure = "Error extracting issuer from certificate.";
    return rc;
  }
  if (int rc = getserialnumber(session, cert, f.serial); rc != kOk) {
    failure = "Error extracting serial number from certificate.";
    return rc;
  }
  if (int rc = getcommonname(session, cert, f.commonname); rc != kOk) {
    failure = "Error extracting commonname from certificate.";
    return rc;
  }
  return kOk;
}

}  // namespace

int create_server_info(const Session& s, std::string& serverinfo) {
  const int session = s.number;
  serverinfo.clear();
  stringmap map = createstringmapwithvalues("zelmorServerType", "C");
  if (addelement(map, "zelmorServerVersion", kVersion) != kOk)
    return fail(kOutOfMemory, kAt, "Error adding server version to server info.");
  if (addelement(map, "platform", "LINUX") != kOk)
    return fail(kOutOfMemory, kAt, "Error adding platform information to server info.");
  if (addelement(map, "arch", "64") != kOk)
    return fail(kOutOfMemory, kAt, "Error adding arch information to server info.");
  if (addelement(map, "timestamp", std::to_string(static_cast<uint64_t>(getcurrenttimemillis()))) != kOk)
    return fail(kOutOfMemory, kAt, "Error adding timestamp to server info.");

  CertFields f;
  const char* failure = nullptr;
  if (int rc = readcertfields(s, f, failure); rc != kOk) return fail(rc, kAt, failure);
  if (addelement(map, "certIssuer", f.issuer) != kOk)
    return fail(kOutOfMemory, kAt, "Error adding certIssuer to server info.");
  if (addelement(map, "certSerial", f.serial) != kOk)
    return fail(kOutOfMemory, kAt, "Error adding certSerial to server info.");
  if (addelement(map, "certCommonName", f.commonname) != kOk)
    return fail(kOutOfMemory, kAt, "Error adding certCommonName to server info.");

  std::string form;
  if (int rc = tourlencodedstring(&map, form); rc != kOk)
    return fail(rc, kAt, "Error extracting url encoded server info.");
  if (int rc = encodebase64(session, form, serverinfo); rc != kOk)
    return fail(rc, kAt, "Error base64 encoding serverinfo string.");
  return kOk;
}

}  // namespace zmr
