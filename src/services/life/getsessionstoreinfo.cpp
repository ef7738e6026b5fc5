#include "services/entry.h"
#include "services/life/lifeops.h"
#include "store/loaders/configuration.h"
#include "tools/certtools.h"

namespace zmr {

int getsessionstoreinfo(int session, sessionstoreinfo& out) {
  out = sessionstoreinfo{};
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;
  X509* auth = nullptr;
  X509* sign = nullptr;
  if (int rc = getauthcert(*s, &auth); rc != kOk) return rc;
  if (int rc = getsigncert(*s, &sign); rc != kOk) return rc;
  sessionstoreinfo info;
  info.sessionid = session;
  if (int rc = getenvironment(*s, &info.environment); rc != kOk) return rc;
  if (int rc = getcommonname(session, auth, info.commonname); rc != kOk) return rc;
  if (int rc = getproperty(*s, "grantedpolicies", info.grantedpolicies); rc != kOk) return rc;
  if (int rc = getsigningcertificate(session, auth, info.authcertificate); rc != kOk) return rc;
  if (int rc = getsigningcertificate(session, sign, info.signcertificate); rc != kOk) return rc;
  out = std::move(info);
  return 0;
}

}  // namespace zmr
