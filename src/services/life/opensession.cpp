#include <cctype>
#include <string>
#include <string_view>

#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "store/setup.h"
#include "services/life/lifeops.h"
#include "store/loaders/configuration.h"
#include "store/loaders/keyfile.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

bool isblank(char c) { return c == ' ' || c == '\t'; }

// The next element of a ","-separated list: blanks skipped, then up to the
// next blank, "," or the end. pos is left after the element.
std::string_view element(std::string_view text, size_t& pos) {
  while (pos < text.size() && isblank(text[pos])) ++pos;
  size_t start = pos;
  while (pos < text.size() && !isblank(text[pos]) && text[pos] != ',') ++pos;
  return text.substr(start, pos - start);
}

bool validhostname(std::string_view host) {
  if (host.empty() || !std::isalnum(static_cast<unsigned char>(host[0]))) return false;
  for (size_t i = 1; i < host.size(); ++i) {
    char c = host[i];
    if (c == '.') {
      if (host[i - 1] == '.') return false;
    } else if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') {
      return false;
    }
  }
  return host.back() != '.';
}

int validatewebaddress(const Session& s) {
  std::string value;
  if (int rc = getproperty(s, "webaddress", value); rc != kOk)
    return fail(rc, "The mandatory configuration parameter \"webaddress\" was not found\n");
  size_t pos = 0;
  std::string_view text(value);
  std::string_view host = element(text, pos);
  if (value.empty() || host.empty())
    return fail(kConfigEmpty, "The mandatory configuration parameter \"webaddress\" is present but empty\n");
  if (host.size() >= 9 && iequals(host.substr(0, 9), "localhost"))
    return fail(kConfigLocalhost,
                "The mandatory configuration parameter \"webaddress\" is set to \"localhost\". This is not "
                "allowed due to mandatory MITM checking.\n");
  if (!validhostname(host))
    return fail(kConfigHostname,
                "The mandatory configuration parameter \"webaddress\" does not contain a valid hostname\n");
  size_t comma = text.find(',', pos);
  if (comma == std::string_view::npos)
    return fail(kConfigForm,
                "The mandatory configuration parameter \"webaddress\" is not valid. IP address(es) for the "
                "hostname is missing.\n");
  while (comma != std::string_view::npos) {
    pos = comma + 1;
    std::string_view address = element(text, pos);
    if (address.empty())
      return fail(kConfigForm, "The mandatory configuration parameter \"webaddress\" contains empty IP address(es).\n");
    if (address == host)
      return fail(kConfigForm,
                  "The first element of configuration parameter \"webaddress\" is repeated in the same "
                  "parameter. This is not allowed due to mandatory man-in-the-middle checking.\n");
    comma = text.find(',', pos);
  }
  return 0;
}

int validateconfiguration(const Session& s) {
  if (int rc = validatewebaddress(s); rc != kOk) return rc;
  std::string value;
  if (int rc = getproperty(s, "truststore", value); rc != kOk)
    return fail(rc, "The mandatory configuration parameter \"truststore\" was not found\n");
  if (value.empty())
    return fail(kConfigEmpty, "The mandatory configuration parameter \"truststore\" is present but empty\n");
  if (int rc = getproperty(s, "grantedpolicies", value); rc != kOk)
    return fail(rc, "The mandatory configuration parameter \"grantedpolicies\" was not found\n");
  if (value.empty())
    return fail(kConfigEmpty, "The mandatory configuration parameter \"grantedpolicies\" is present but empty\n");
  if (value.find("ALL") != std::string::npos && value.size() > 3)
    return fail(kConfigForm,
                "The mandatory configuration parameter \"grantedpolicies\" is not valid. Insert only \"ALL\" "
                "or a commaseparated list of OIDs\n");
  return 0;
}

}  // namespace

int opensession(int& session, const char* keyfile, const char* password, const char* propertiesfile,
                const char* webaddress, const char* truststore, const char* grantedpolicies,
                const char* httpproxyserver, const char* httpproxyport, const char* pkcs11password, int32_t slot) {
  if (!isInitialized()) {
    setlasterror(-1, "opensession_opensession: The library is not initialized.\n");
    return kNotInitialized;
  }
  // Built where no other call can see it: every return before publish()
  // releases it (ending an HSM session opened on it) and its number.
  PendingSession pending;
  // The loaders report by code alone; the merchant also gets a line.
  int rc = pending.open();
  if (rc == kOk)
    rc = loadproperties(pending.state(), webaddress, truststore, grantedpolicies, httpproxyserver, httpproxyport,
                        propertiesfile);
  if (rc != kOk) {
    setlasterror(-1,
                 "opensession_opensession: The configuration could not be loaded (code " + std::to_string(rc) + ").\n");
    return rc;
  }
  Session& s = pending.state();
  if (rc = loadkeyfile(s, keyfile, password, pkcs11password != nullptr); rc != kOk) {
    setlasterror(
        -1, "opensession_opensession: The merchant key file could not be loaded (code " + std::to_string(rc) + ").\n");
    return rc;
  }
  if (pkcs11password != nullptr) {
    std::string label;
    rc = gethsm_signkeylabel(s, label);
    if (rc == kOk) {
      NamedLock lock(s.number, "hsm_client");
      rc = lock.ok() ? hsm_opensession(s, label, slot, pkcs11password) : lock.code;
    }
    if (rc != kOk) return rc;
  }
  if (propertiesfile != nullptr || webaddress != nullptr) {
    if (rc = validateconfiguration(s); rc != kOk) return rc;
  }
  pending.publish();
  session = s.number;
  return 0;
}

}  // namespace zmr
