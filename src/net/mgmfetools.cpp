#include "net/mgmfetools.h"

#include "misc/status.h"
#include "misc/version.h"
#include "net/http_lib.h"
#include "misc/centralservers.h"
#include "store/loaders/configuration.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded; charset=iso-8859-1";

constexpr Where kAt{"mgmfetools_mgmfesend: ", true};

int send(const Session& s, const std::vector<mgmfeparameter>& pairs, std::string& body, int64_t timeoutms,
         bool utility) {
  const int session = s.number;
  body.clear();
  SSL_CTX* ctx = nullptr;
  int rc = getmgmfesslcontext(s, &ctx);
  if (rc != kOk)
    return fail(rc, kAt,
                utility ? "An error occured trying to get the SSL context for the session."
                        : "An error occured trying to get the SSL context for ravud for the session.");
  int environment = 0;
  rc = getenvironment(s, &environment);
  if (rc != kOk)
    return fail(rc, kAt, "An error occured trying to get the default Zelmor runtime environment for the session.");
  if (environment < 1 || environment > 4) return kMgwEnvironment;
  std::string url;
  if (environment <= 2) {
    rc = getproperty(s, utility ? "mgmfeutildns" : "mgmfedns", url);
    if (rc != kOk && rc != kPropertyAbsent) return rc;
    if (rc == kPropertyAbsent) url.clear();
  }
  if (url.empty()) {
    // The build's address; an environment it gave none fails closed.
    std::optional<std::string> builtin =
        centralserverurl(environment, utility ? CentralServer::mgmfeutil : CentralServer::mgmfe);
    if (!builtin) return kMgwEnvironment;
    url = *builtin;
  }

  std::string form = std::string("serverversion=").append(kVersion);
  std::string encoded;
  for (const mgmfeparameter& p : pairs) {
    if (!p.value) return fail(1, kAt, "Error url encoding parameter for RAVUD URL");
    rc = http_urlencode(*p.value, encoded);
    if (rc != kOk) return fail(rc, kAt, "Error url encoding parameter for RAVUD URL");
    form.append("&").append(p.name).append("=").append(encoded);
  }

  std::string reply;
  rc = http_post_url(s, ctx, url, form, kFormType, reply, mgmfe_timeoutseconds(timeoutms), "ravud");
  if (rc != kOk) return fail(rc, kAt, "Error communicating with RAVUD");
  return mgmfe_readreply(session, reply, body);
}

}  // namespace

int mgmfe_readreply(int session, std::string_view reply, std::string& body) {
  body.clear();
  if (reply.empty()) return fail(kMgwNoReply, kAt, "Got no http response from RAVUD");
  size_t end = reply.find("\r\n\r\n");
  // The status line itself must say 200: a failing gateway's page may well
  // hold "200 " somewhere else.
  if (http_statuscode(reply) != 200 || end == std::string::npos)
    return fail(kMgwNoReply, kAt, "Got bad http response from RAVUD");
  body.assign(reply.substr(end + 4));
  if (body.empty()) return fail(kMgwEmpty, kAt, "Got empty response from RAVUD");

  std::optional<std::string> status = http_find_value("statusCode", body);
  if (!status) return fail(kMgwNoStatus, kAt, "Missing status code in RAVUD response.");
  if (*status == "0") return kOk;
  int rc = pushinfoitem(session, "mobileerr", *status);
  if (rc != kOk)
    return fail(rc, kAt, "Unable to set the mobile COI error additional information in merchant's session store");
  return fail(kMgwStatus, kAt, "Status code in response not OK.");
}

int mgmfe_timeoutseconds(int64_t timeoutms) {
  if (timeoutms <= 0) return 0;
  if (timeoutms < 1000) return 1;
  int64_t seconds = timeoutms / 1000;
  return seconds > 0x7fffffff ? 0x7fffffff : static_cast<int>(seconds);
}

int mgmfeutil_send(const Session& s, const std::vector<mgmfeparameter>& pairs, std::string& body, int64_t timeoutms) {
  return send(s, pairs, body, timeoutms, true);
}

int ravud_send(const Session& s, const std::vector<mgmfeparameter>& pairs, std::string& body, int64_t timeoutms) {
  return send(s, pairs, body, timeoutms, false);
}

}  // namespace zmr
