#include "misc/status.h"
#include "services/entry.h"
#include "services/verifying/verifyingops.h"

namespace zmr {
namespace {

int fail(int session, int code, const char* what) {
  setlasterror(session, std::string("getsigners_getsigners: Error retrieving the ") + what + " from the pkcs7.\n");
  return code;
}

}  // namespace

int getsigners(int session, const signatures* list, std::optional<std::string>& out) {
  out.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (list == nullptr) return 0;

  std::string text;
  for (const signatures* node = list; node != nullptr; node = node->next) {
    if (node->pkcs7 == nullptr) return fail(session, kBadArgument, "common name");
    Pkcs7Ptr p7;
    X509* signer = nullptr;
    std::string name, policy, time;
    if (int rc = openpkcs7signer(session, node->pkcs7, p7, signer); rc != kOk) return fail(session, rc, "common name");
    if (int rc = readpkcs7item(session, p7.get(), signer, "commonname", name); rc != kOk)
      return fail(session, rc, "common name");
    if (int rc = readpkcs7item(session, p7.get(), signer, "policyoid", policy); rc != kOk)
      return fail(session, rc, "policy OID");
    if (int rc = readpkcs7item(session, p7.get(), signer, "signingtimelongstring", time); rc != kOk)
      return fail(session, rc, "signing time");
    if (node != list) text.push_back(';');
    text.append(time).append(";").append(policy).append(";").append(name);
  }
  out = std::move(text);
  return 0;
}

}  // namespace zmr
