#include "misc/status.h"
#include "services/entry.h"
#include "services/verifying/verifyingops.h"

namespace zmr {
namespace {

constexpr Where kAt{"getsigners_getsigners: "};

}  // namespace

int getsigners(int session, const signatures* list, std::optional<std::string>& out) {
  out.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (list == nullptr) return 0;

  std::string text;
  for (const signatures* node = list; node != nullptr; node = node->next) {
    if (node->pkcs7 == nullptr) return fail(kBadArgument, kAt, "Error retrieving the common name from the pkcs7.\n");
    Pkcs7Ptr p7;
    X509* signer = nullptr;
    std::string name, policy, time;
    if (int rc = openpkcs7signer(session, node->pkcs7, p7, signer); rc != kOk)
      return fail(rc, kAt, "Error retrieving the common name from the pkcs7.\n");
    if (int rc = readpkcs7item(session, p7.get(), signer, "commonname", name); rc != kOk)
      return fail(rc, kAt, "Error retrieving the common name from the pkcs7.\n");
    if (int rc = readpkcs7item(session, p7.get(), signer, "policyoid", policy); rc != kOk)
      return fail(rc, kAt, "Error retrieving the policy OID from the pkcs7.\n");
    if (int rc = readpkcs7item(session, p7.get(), signer, "signingtimelongstring", time); rc != kOk)
      return fail(rc, kAt, "Error retrieving the signing time from the pkcs7.\n");
    if (node != list) text.push_back(';');
    text.append(time).append(";").append(policy).append(";").append(name);
  }
  out = std::move(text);
  return 0;
}

}  // namespace zmr
