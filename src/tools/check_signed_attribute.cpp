#include <cstring>

#include "misc/status.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int check_signed_attribute(int session, std::string_view pkcs7base64, int nid) {
  Pkcs7Ptr p7;
  int rc = decodepkcs7(session, pkcs7base64, p7,
                       "pkcs7tools_get_signed_attribute: An error occured trying to base64 decode the pkcs7 input.\n",
                       kAttrParse,
                       "pkcs7tools_get_signed_attribute: An error occured trying to parse the der encoded pkcs7 to an "
                       "pkcs7 structure.\n");
  if (rc != kOk) return rc;
  return check_signed_attribute(session, p7.get(), nid);
}

int check_signed_attribute(int, PKCS7* p7, int nid) {
  if (!PKCS7_type_is_signed(p7))
    return fail(kAttrNotSigned, "pkcs7tools_get_signed_attribute: The type of the pkcs7 is not signed.\n");
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
  if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0)
    return fail(kAttrNoSigners, "pkcs7tools_get_signed_attribute: No signers information in pkcs7.\n");

  ASN1_TYPE* value = nullptr;
  for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos) && value == nullptr; ++i) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, i);
    if (si != nullptr) value = PKCS7_get_signed_attribute(si, nid);
  }
  if (value == nullptr)
    return fail(kAttrMissing, "pkcs7tools_get_signed_attribute: Did not find the required signed attribute.\n");
  if (value->type != V_ASN1_OCTET_STRING || value->value.octet_string == nullptr)
    return fail(kAttrNoChannel,
                "pkcs7tools_get_signed_attribute: The incoming pkcs#7 does not contain the ZMR Channel signed "
                "attribute.\n");
  // The whole value must be the fixed text: nothing after it, no NUL inside.
  static constexpr char kChannel[] = "ZMR Channel";
  const ASN1_OCTET_STRING* s = value->value.octet_string;
  if (ASN1_STRING_length(s) != static_cast<int>(sizeof kChannel - 1) ||
      std::memcmp(ASN1_STRING_get0_data(s), kChannel, sizeof kChannel - 1) != 0)
    return fail(kAttrNonce,
                "pkcs7tools_get_signed_attribute: The incoming pkcs#7 does not contain the correct value for the "
                "pkcs#9 random nonce.\n");
  return 0;
}

}  // namespace zmr
