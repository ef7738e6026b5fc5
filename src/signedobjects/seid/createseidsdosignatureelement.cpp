#include "signedobjects/seid/sdointernal.h"

namespace zmr {

int createseidsdosignatureelement(int session, std::string_view pkcs7, std::string_view ocsp,
                                  std::optional<std::string_view> sha1digest, std::string_view sha256digest,
                                  std::optional<std::string_view> mimetype, std::unique_ptr<signatureelement>& out) {
  auto node = std::make_unique<signatureelement>();
  int rc = buildcmssignatureelement(
      session, pkcs7, ocsp, sha1digest, sha256digest, mimetype,
      "createsecurechannel_createsecurechannel: Cannot create SDO signature element due to invalid pkcs7 or ocsp\n",
      node->element);
  if (rc != kOk) return rc;
  out = std::move(node);
  return 0;
}

}  // namespace zmr
