#include "misc/status.h"
#include "services/initsession/initsessionops.h"
#include "services/signing/signingops.h"
#include "store/loaders/configuration.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

constexpr Where kAt{"initsession::create_initsession_request: "};

struct Builder {
  int session;
  stringmap map;
  // One row from an info item: mandatory rows without a default end the
  // request when the item is absent; a failure adds line (if any).
  int item(std::string_view key, std::optional<std::string_view> fallback, bool mandatory, const char* line) {
    int rc = add_infoitem_to_map(session, map, key, fallback, mandatory ? 1 : 0);
    if (rc != kOk && line != nullptr) return fail(rc, kAt, line);
    return rc;
  }
  int fixed(std::string_view key, std::string_view value, const char* line) {
    return addelement(map, key, value) == kOk ? kOk : fail(kOutOfMemory, kAt, line);
  }
};

}  // namespace

int create_initsession_request(const Session& s, std::string_view nonce, std::string& request) {
  const int session = s.number;
  request.clear();
  Builder b{session, {}};

  std::string serverinfo;
  if (int rc = create_server_info(s, serverinfo); rc != kOk) return fail(rc, kAt, "Error creating server info.");
  std::string action;
  if (int rc = popinfoitem(session, "action", action); rc != kOk)
    return fail(rc, kAt, "Error fetching infoitem action.\n");
  std::string clientversion;
  if (popinfoitem(session, "clientVersion", clientversion) != kOk) clientversion = "2.0";

  b.map = createstringmapwithvalues("operation", "initSession");
  if (int rc = b.fixed("sifv", "1.1", "Error adding sifv parameter to request."); rc != kOk) return rc;
  if (int rc = b.fixed("mifv", "1.1", "Error adding mifv parameter to request."); rc != kOk) return rc;
  if (int rc = b.fixed("serverInfo", serverinfo, "Error adding serverinfo to request."); rc != kOk) return rc;
  if (int rc = b.fixed("nonce", nonce, "Error adding nonce to request."); rc != kOk) return rc;
  if (int rc = b.item("action", std::nullopt, true, "Error adding action to request.\n"); rc != kOk) return rc;
  if (int rc = b.item("localeId", std::nullopt, false, "Error adding localeId to request."); rc != kOk) return rc;
  if (int rc = b.item("merchantUrl", std::nullopt, true, "Error adding merchantUrl to request."); rc != kOk) return rc;
  if (int rc = b.item("nextUrl", std::nullopt, false, "Error adding nextUrl to request."); rc != kOk) return rc;
  if (int rc = b.item("timeout", "40000", true, "Error adding timeout to request."); rc != kOk) return rc;
  if (int rc = b.item("merchantFEDomain", std::nullopt, true, "Error adding merchantFEDomain to request."); rc != kOk)
    return rc;
  if (int rc = b.item("sid", std::nullopt, false, nullptr); rc != kOk) return rc;
  std::string policies;
  if (int rc = getproperty(s, "grantedpolicies", policies); rc != kOk)
    return fail(rc, kAt, "An error occured trying to get the grantedpolicies property.\n");
  if (int rc = b.item("certType", policies, true, "Error adding certtype to request."); rc != kOk) return rc;
  if (int rc = b.item("withCredentials", "N", false, "Error adding withCredentials to request."); rc != kOk) return rc;
  if (int rc = b.item("suppressBroadcast", "N", false, "Error adding suppressBroadcast to request.\n"); rc != kOk)
    return rc;
  if (int rc = b.item("clientSessionTimeout", "1800000", false, "Error adding clientSessionTimeout to request.\n");
      rc != kOk)
    return rc;
  if (int rc = b.item("clientVersion", "2.0", false, "Error adding clientVersion to request.\n"); rc != kOk) return rc;
  if (clientversion == "2.1") {
    if (int rc = b.item("merchantFEAncestors", std::nullopt, false, "Error adding merchantFEAncestors to request.\n");
        rc != kOk)
      return rc;
  }
  if (iequals(action, "sign") || iequals(action, "netpay")) {
    if (int rc = b.item("docDisplayMode", std::nullopt, true, "Error adding docDisplayMode to request."); rc != kOk)
      return rc;
    if (int rc = b.item("showUnderstanding", "N", false, "Error adding showUnderstanding to request."); rc != kOk)
      return rc;
    if (int rc = b.item("showConfirmation", "N", false, "Error adding showConfirmation to request."); rc != kOk)
      return rc;
    if (clientversion == "2.0") {
      if (int rc = b.item("extPDFDomain", std::nullopt, true, "Error adding extPDFDomain to request."); rc != kOk)
        return rc;
    } else {
      std::string proxyurl;
      if (popinfoitem(session, "clientProxyURL", proxyurl) == kOk && !proxyurl.empty()) {
        if (int rc = b.fixed("clientProxyURL", proxyurl, "Error adding clientProxyURL to request."); rc != kOk)
          return rc;
      }
      if (int rc = b.item("clientProxyPublicKey", std::nullopt, false, "Error adding clientProxyPublicKey to request.");
          rc != kOk)
        return rc;
    }
  }

  std::string useragent;
  if (int rc = popinfoitem(session, "useragent", useragent); rc != kOk)
    return fail(rc, kAt, "Error fetching parameter useragent from merchant session store.");
  std::string encoded;
  if (int rc = encodebase64(session, useragent, encoded); rc != kOk)
    return fail(rc, kAt, "Error base64 encoding user agent.");
  if (int rc = b.fixed("userAgent", encoded, "Error adding useragent to request."); rc != kOk) return rc;

  // Listed with an empty value first, so that the list names itself.
  if (int rc = b.fixed("popParameters", "", "Error adding popParameters to request.\n"); rc != kOk) return rc;
  std::string parameters;
  if (int rc = get_pop_parameters(b.map, parameters); rc != kOk)
    return fail(rc, kAt, "Error creating popParameters.\n");
  if (int rc = encodebase64(session, parameters, encoded); rc != kOk)
    return fail(rc, kAt, "Error base64 encoding popParameters.\n");
  if (int rc = updateelement(b.map, "popParameters", encoded); rc != kOk)
    return fail(rc, kAt, "Error adding popParameters to request map.\n");

  std::string signedtext, signature;
  if (int rc = tourlencodedstring(&b.map, signedtext); rc != kOk)
    return fail(rc, kAt, "Error creating url encoded string.");
  if (int rc = signdatap1(s, signedtext, signature, KeyRole::authentication); rc != kOk)
    return fail(rc, kAt, "Error signing request.");
  if (int rc = b.fixed("signature", signature, "Error adding signature to request."); rc != kOk) return rc;
  if (int rc = tourlencodedstring(&b.map, request); rc != kOk)
    return fail(rc, kAt, "Error creating final request string.");
  return kOk;
}

}  // namespace zmr
