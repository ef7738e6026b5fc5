// Exported functions of certificate status at the validation authority.
#include "api/frame.h"
#include "services/certstatus/certstatusops.h"

using namespace zmr;

namespace {

// Whatever the operation set is handed over, also with a failure code: a
// revoked certificate comes back with its answer.
int certstatus(int session, const char* pkcs7, char** ocsp, char** nonce) {
  return guarded([&] {
    std::string answer;
    std::optional<std::string> billing;
    int rc = getcertstatus(session, pkcs7, answer, nonce != nullptr ? &billing : nullptr, nullptr);
    if (!answer.empty()) ZMR_TRY(handout(answer, ocsp));
    if (billing) ZMR_TRY(handout(billing, nonce));
    return rc;
  });
}

}  // namespace

ZMR_EXPORT int zmr_getcertstatus(int session, const char* pkcs7, char** ocsp) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(pkcs7));
  ZMR_TRY(required(ocsp));
  *ocsp = nullptr;
  return certstatus(session, pkcs7, ocsp, nullptr);
}

ZMR_EXPORT int zmr_getcertstatuswithnonce(int session, const char* pkcs7, char** ocsp, char** nonce) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(pkcs7));
  ZMR_TRY(required(ocsp));
  ZMR_TRY(optional(nonce));
  *ocsp = nullptr;
  if (nonce != nullptr) *nonce = nullptr;
  return certstatus(session, pkcs7, ocsp, nonce);
}

ZMR_EXPORT int zmr_getowncertstatus(int session, char** ocsp) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(probe(ocsp));
  *ocsp = nullptr;
  return certstatus(session, nullptr, ocsp, nullptr);
}
