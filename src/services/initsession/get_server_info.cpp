#include "misc/status.h"
#include "misc/version.h"
#include "net/http_lib.h"
#include "services/initsession/initsessionops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {

int add_url_key_value(std::string& buffer, std::optional<std::string_view> key, std::optional<std::string_view> value) {
  if (!key || !value) return kNoPair;
  std::string k, v;
  http_urlencode(*key, k);
  http_urlencode(*value, v);
  if (!buffer.empty()) buffer += '&';
  buffer.append(k).append("=").append(v);
  return kOk;
}

int readauthcertfields(const Session& s, std::string_view prefix, std::string& issuer, std::string& serial,
                       std::string* commonname) {
  const int session = s.number;
  const Where at{prefix};
  X509* cert = nullptr;
  if (int rc = getauthcert(s, &cert); rc != kOk) return fail(rc, at, "The auth certificate could noe be found.\n");
  if (int rc = getissuername(session, cert, issuer); rc != kOk)
    return fail(rc, at, "An error occured retrieving the issuer name from the auth certificate. \n");
  if (int rc = getserialnumber(session, cert, serial); rc != kOk)
    return fail(rc, at, "An error occured retrieving the serial number from the auth certificate. \n");
  if (commonname != nullptr) {
    if (int rc = getcommonname(session, cert, *commonname); rc != kOk)
      return fail(rc, at, "An error occured retrieving the common name from the auth certificate. \n");
  }
  return kOk;
}

int get_server_info(const Session& s, std::string& out) {
  const int session = s.number;
  out.clear();
  std::string issuer, serial, commonname;
  if (int rc = readauthcertfields(s, "gettag_getserverinfo: ", issuer, serial, &commonname); rc != kOk) return rc;

  std::string form;
  add_url_key_value(form, "zelmorServerType", "C");
  add_url_key_value(form, "zelmorServerVersion", kVersion);
  add_url_key_value(form, "platform", "LINUX");
  add_url_key_value(form, "arch", "64");
  add_url_key_value(form, "certIssuer", issuer);
  add_url_key_value(form, "certSerial", serial);
  add_url_key_value(form, "certCommonName", commonname);
  std::string encoded;
  if (int rc = encodebase64(session, form, encoded); rc != kOk) {
    setlasterror(session, "gettag_getserverinfo: An error occured trying to base64 encode the server info.\n");
    return rc;
  }
  std::string value;
  http_urlencode(encoded, value);
  out = "serverInfo=" + value;
  return kOk;
}

}  // namespace zmr
