#include <cctype>
#include <string>
#include <string_view>

#include "hsm/hsmclient.h"
#include "misc/setup.h"
#include "services/life.h"
#include "store/configuration.h"
#include "store/keyfile.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/stringoperations.h"

namespace zmr {
namespace {

bool isblank(char c) { return c == ' ' || c == '\t'; }

// Frees a session whose opening failed, ending its HSM session first.
void discard(int session) {
  if (uint64_t handle = 0; gethsm_sessioncontext(session, &handle) == 0 && handle != 0) {
    NamedLock lock(session, "hsm_client");
    hsm_closesession(session);
  }
  NamedLock lock(session, "sessionstore");
  freesession(session);
}

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

int fail(int session, const char* message, int code) {
  setlasterror(session, message);
  return code;
}

int validatewebaddress(int session) {
  std::string value;
  if (int rc = getproperty(session, "webaddress", value); rc != 0)
    return fail(session, "The mandatory configuration parameter \"webaddress\" was not found\n", rc);
  size_t pos = 0;
  std::string_view text(value);
  std::string_view host = element(text, pos);
  if (value.empty() || host.empty())
    return fail(session, "The mandatory configuration parameter \"webaddress\" is present but empty\n", 28001);
  if (host.size() >= 9 && iequals(host.substr(0, 9), "localhost"))
    return fail(session,
                "The mandatory configuration parameter \"webaddress\" is set to \"localhost\". This is not "
                "allowed due to mandatory MITM checking.\n",
                28003);
  if (!validhostname(host))
    return fail(session, "The mandatory configuration parameter \"webaddress\" does not contain a valid hostname\n",
                28004);
  size_t comma = text.find(',', pos);
  if (comma == std::string_view::npos)
    return fail(session,
                "The mandatory configuration parameter \"webaddress\" is not valid. IP address(es) for the "
                "hostname is missing.\n",
                28002);
  while (comma != std::string_view::npos) {
    pos = comma + 1;
    std::string_view address = element(text, pos);
    if (address.empty())
      return fail(session, "The mandatory configuration parameter \"webaddress\" contains empty IP address(es).\n",
                  28002);
    if (address == host)
      return fail(session,
                  "The first element of configuration parameter \"webaddress\" is repeated in the same "
                  "parameter. This is not allowed due to mandatory man-in-the-middle checking.\n",
                  28002);
    comma = text.find(',', pos);
  }
  return 0;
}

int validateconfiguration(int session) {
  if (int rc = validatewebaddress(session); rc != 0) return rc;
  std::string value;
  if (int rc = getproperty(session, "truststore", value); rc != 0)
    return fail(session, "The mandatory configuration parameter \"truststore\" was not found\n", rc);
  if (value.empty())
    return fail(session, "The mandatory configuration parameter \"truststore\" is present but empty\n", 28001);
  if (int rc = getproperty(session, "grantedpolicies", value); rc != 0)
    return fail(session, "The mandatory configuration parameter \"grantedpolicies\" was not found\n", rc);
  if (value.empty())
    return fail(session, "The mandatory configuration parameter \"grantedpolicies\" is present but empty\n", 28001);
  if (value.find("ALL") != std::string::npos && value.size() > 3)
    return fail(session,
                "The mandatory configuration parameter \"grantedpolicies\" is not valid. Insert only \"ALL\" "
                "or a commaseparated list of OIDs\n",
                28002);
  return 0;
}

}  // namespace

int opensession(int& session, const char* keyfile, const char* password, const char* propertiesfile,
                const char* webaddress, const char* truststore, const char* grantedpolicies,
                const char* httpproxyserver, const char* httpproxyport, const char* pkcs11password,
                int32_t slot) {
  int number = -1;
  {
    NamedLock lock(-1, "sessionstore");
    if (!lock.ok()) return lock.code;
    // The loaders report by code alone; the merchant also gets a line.
    if (int rc = loadproperties(number, webaddress, truststore, grantedpolicies, httpproxyserver, httpproxyport,
                                propertiesfile);
        rc != 0) {
      setlasterror(-1, "opensession_opensession: The configuration could not be loaded (code " +
                           std::to_string(rc) + ").\n");
      return rc;
    }
    // The loader frees the session when it fails.
    if (int rc = loadkeyfile(number, keyfile, password, pkcs11password != nullptr); rc != 0) {
      setlasterror(-1, "opensession_opensession: The merchant key file could not be loaded (code " +
                           std::to_string(rc) + ").\n");
      return rc;
    }
  }
  if (pkcs11password != nullptr) {
    std::string label;
    int rc = gethsm_signkeylabel(number, label);
    if (rc == 0) {
      NamedLock lock(number, "hsm_client");
      rc = lock.ok() ? hsm_opensession(number, label, slot, pkcs11password) : lock.code;
    }
    if (rc != 0) {
      discard(number);
      return rc;
    }
  }
  if (propertiesfile != nullptr || webaddress != nullptr) {
    if (int rc = validateconfiguration(number); rc != 0) {
      discard(number);
      return rc;
    }
  }
  session = number;
  return 0;
}

}  // namespace zmr
