#include <charconv>

#include "misc/status.h"
#include "net/http_lib.h"
#include "net/mgmfetools.h"
#include "services/initsession/initsessionops.h"
#include "services/mobile/mobileops.h"
#include "services/signing/signingops.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr std::string_view kPrefix = "requestmobileaction_requestmobileaction: ";
constexpr int64_t kDefaultTimeoutMs = 40000;

constexpr Where kAt{kPrefix, true};

std::string itemor(int session, const char* key, const char* fallback) {
  std::string value;
  if (popinfoitem(session, key, value) != kOk) return fallback;
  return value;
}

std::string urlencoded(std::string_view text) {
  std::string out;
  http_urlencode(text, out);
  return out;
}

}  // namespace

int64_t mobileactiontimeout(std::string_view item) {
  int64_t value = 0;
  const char* end = item.data() + item.size();
  auto [at, ec] = std::from_chars(item.data(), end, value);
  if (item.empty() || ec != std::errc() || at != end || value < 1 || value > 2147483647) return kDefaultTimeoutMs;
  return value;
}

int requestmobileaction(int session, std::string& reference) {
  reference.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;

  struct Mandatory {
    const char* field;
    const char* item;
    std::string value;
  } mandatory[] = {{"action", "action", {}},
                   {"URL", "url", {}},
                   {"phoneNumber", "phonenumber", {}},
                   {"phoneAlias", "phonealias", {}},
                   {"merchantReference", "merchantreference", {}}};
  for (Mandatory& m : mandatory) {
    if (int rc = popinfoitem(session, m.item, m.value); rc != kOk)
      return fail(rc, kAt,
                  std::string("An error occured trying to get the ") + m.item +
                      " parameter from merchants session store. It is mandatory.");
  }
  std::string certtype;
  if (int rc = getproperty(*s, "grantedpolicies", certtype); rc != kOk)
    return fail(rc, kAt, "An error occured trying to get the grantedpolicies property.");

  std::string timeout = itemor(session, "timeout", "40000");
  std::string sid;
  bool withsid = popinfoitem(session, "sid", sid) == kOk;

  std::string webaddress, mitm;
  if (int rc = getproperty(*s, "webaddress", webaddress); rc != kOk)
    return fail(rc, kAt, "Unable to find the webaddress configuration file parameter.");
  if (int rc = encodebase64(session, webaddress, mitm); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the serverchallenge.");

  std::string popinfo, popparameters;
  if (int rc = get_pop_info(*s, popinfo); rc != kOk)
    return fail(rc, kAt, "An error occured trying to create the popInfo data structure.");
  if (int rc = encodebase64(session, withsid ? "URL,sid,mitm,popInfo" : "URL,mitm,popInfo", popparameters); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the popparameters.");

  // The gateway checks the signature over the values as they travel, so
  // the signed text is built from their encoded forms.
  std::string signedtext = "URL=" + urlencoded(mandatory[1].value) + "&";
  if (withsid) signedtext += "sid=" + urlencoded(sid) + "&";
  signedtext += "mitm=" + urlencoded(mitm) + "&popInfo=" + urlencoded(popinfo);
  std::string popsignature;
  if (int rc = signdatap1(*s, signedtext, popsignature, KeyRole::authentication); rc != kOk)
    return fail(rc, kAt, "An error occured signing the POP for the parameters. ");

  std::vector<mgmfeparameter> fields;
  fields.reserve(17);
  for (Mandatory& m : mandatory) fields.push_back({m.field, std::move(m.value)});
  fields.push_back({"certType", std::move(certtype)});
  fields.push_back({"timeout", timeout});
  fields.push_back({"locale", itemor(session, "locale", "en_GB")});
  fields.push_back({"countryCode", itemor(session, "countryCode", "44")});
  fields.push_back({"checkAlias", itemor(session, "checkAlias", "true")});
  fields.push_back({"synchronousCommunication", itemor(session, "synchronousCommunication", "true")});
  if (withsid) fields.push_back({"sid", std::move(sid)});
  fields.push_back({"mifv", "1.1"});
  fields.push_back({"mitm", std::move(mitm)});
  fields.push_back({"popInfo", std::move(popinfo)});
  fields.push_back({"popParameters", std::move(popparameters)});
  fields.push_back({"popSignature", std::move(popsignature)});

  std::string body;
  if (int rc = ravud_send(*s, fields, body, mobileactiontimeout(timeout)); rc != kOk)
    return fail(rc, kAt, "Error communicating with RAVUD.");
  std::optional<std::string> found = http_find_value("transactionReference", body);
  if (!found) return fail(kMobileNoReference, kAt, "Missing transaction reference in RAVUD response.");
  reference = std::move(*found);
  return kOk;
}

}  // namespace zmr
