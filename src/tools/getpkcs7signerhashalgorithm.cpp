#include "misc/status.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int getpkcs7signerhashalgorithm(int session, std::string_view pkcs7base64, SignerHash& algorithm) {
  Pkcs7Ptr p7;
  int rc = decodepkcs7(
      session, pkcs7base64, p7,
      "pkcs7tools_getpkcs7signerhashalgorithm: An error occured trying to base64 decode the pkcs7 input.\n", kP7Parse,
      "pkcs7tools_getpkcs7signerhashalgorithm: An error occured trying to parse the der encoded pkcs7 to an pkcs7 "
      "structure.\n");
  if (rc != kOk) return rc;
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0)
    return fail(kP7NoSignerInfos,
                "pkcs7tools_getpkcs7signerhashalgorithm: Did not find any signer_informations in pkcs7.\n");
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  if (si == nullptr)
    return fail(kP7NoSignerInfos,
                "pkcs7tools_getpkcs7signerhashalgorithm: Did not find any signer_information in pkcs7.\n");
  switch (signerdigestnid(si)) {
    case NID_sha1:
      algorithm = SignerHash::sha1;
      return 0;
    case NID_md5:
      algorithm = SignerHash::md5;
      return 0;
    case NID_sha256:
      algorithm = SignerHash::sha256;
      return 0;
    default:
      return fail(kP7NoSignerInfos,
                  "pkcs7tools_getpkcs7signerhashalgorithm: The message digest algorithm is not supported.\n");
  }
}

}  // namespace zmr
