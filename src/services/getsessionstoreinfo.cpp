#include "services/common.h"
#include "services/life.h"
#include "store/configuration.h"
#include "tools/certtools.h"

namespace zmr {

int getsessionstoreinfo(int session, sessionstoreinfo& out) {
  out = sessionstoreinfo{};
  if (int rc = enterservice(session); rc != 0) return rc;
  X509* auth = nullptr;
  X509* sign = nullptr;
  if (int rc = getauthcert(session, &auth); rc != 0) return rc;
  if (int rc = getsigncert(session, &sign); rc != 0) return rc;
  sessionstoreinfo info;
  info.sessionid = session;
  if (int rc = getenvironment(session, &info.environment); rc != 0) return rc;
  if (int rc = getcommonname(session, auth, info.commonname); rc != 0) return rc;
  if (int rc = getproperty(session, "grantedpolicies", info.grantedpolicies); rc != 0) return rc;
  if (int rc = getsigningcertificate(session, auth, info.authcertificate); rc != 0) return rc;
  if (int rc = getsigningcertificate(session, sign, info.signcertificate); rc != 0) return rc;
  out = std::move(info);
  return 0;
}

}  // namespace zmr
