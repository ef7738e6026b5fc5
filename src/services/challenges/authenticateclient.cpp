#include <vector>

#include "misc/status.h"
#include "services/challenges/challengesops.h"
#include "services/entry.h"
#include "services/verifying/verifyingops.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {

int authenticateclient(int session, std::string_view clientpkcs7, std::string_view serverchallenge) {
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;
  return authenticateclient(*s, clientpkcs7, serverchallenge);
}

int authenticateclient(const Session& s, std::string_view clientpkcs7, std::string_view serverchallenge) {
  return authenticateclient(s, clientpkcs7, serverchallenge, nullptr);
}

int authenticateclient(const Session& s, std::string_view clientpkcs7, std::string_view serverchallenge,
                       Pkcs7Ptr* parsed) {
  const int session = s.number;
  if (int rc = enterservice(s); rc != kOk) return rc;
  std::vector<unsigned char> challenge;
  if (int rc = decodebase64(session, serverchallenge, challenge); rc != kOk) {
    setlasterror(session,
                 "authenticateclient_authenticateclient: An error occured trying to base64 decode the input "
                 "serverchallenge.\n");
    return rc;
  }
  static constexpr int usages[] = {kUsageAuthentication};
  if (int rc = verifydata(s, clientpkcs7, challenge.data(), challenge.size(), DataIs::content, usages, 1,
                          ChainCheck::policy, parsed);
      rc != kOk) {
    setlasterror(session, "authenticateclient_authenticateclient: An error occured trying to verify the data.\n");
    return rc;
  }
  return kOk;
}

}  // namespace zmr
