#include "tools/base64.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int pkcs7_has_signingtime(int, std::string_view pkcs7base64) {
  std::vector<unsigned char> der;
  Pkcs7Ptr p7;
  if (!base64_decode(pkcs7base64, der) || !parsepkcs7(der.data(), der.size(), p7)) return 0;
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0) return 0;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  if (si == nullptr) return 0;
  const ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
  return t != nullptr && t->type == V_ASN1_UTCTIME && t->value.utctime != nullptr ? 1 : 0;
}

}  // namespace zmr
