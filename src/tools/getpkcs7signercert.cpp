#include "misc/status.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int getpkcs7signercert(int, PKCS7* p7, X509*& out) {
  STACK_OF(PKCS7_SIGNER_INFO)* infos = p7 != nullptr ? PKCS7_get_signer_info(p7) : nullptr;
  if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0)
    return fail(kP7NoSignerInfos, "pkcs7tools_getpkcs7signercert: Did not find any signer_informations in pkcs7.\n");
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  if (si == nullptr)
    return fail(kP7NoSignerInfos, "pkcs7tools_getpkcs7signercert: Did not find any signer_information in pkcs7.\n");
  X509* cert = PKCS7_cert_from_signer_info(p7, si);
  if (cert == nullptr)
    return fail(kP7NoSignerInfos, "pkcs7tools_getpkcs7signercert: Did not find signing certificate in pkcs7.\n");
  out = cert;
  return 0;
}

int getpkcs7issuercert(int session, PKCS7* p7, X509*& out) {
  X509* signer = nullptr;
  if (getpkcs7signercert(session, p7, signer) != 0)
    return fail(kP7NoSignerInfos,
                "pkcs7tools_getpkcs7issuercert: An error occured retrieving the signing certificate from the "
                "pkcs7.\n");
  // A signer was found, so p7 is signedData with its content present.
  X509* issuer = X509_find_by_subject(p7->d.sign->cert, X509_get_issuer_name(signer));
  if (issuer == nullptr)
    return fail(kP7NoSignerInfos,
                "pkcs7tools_getpkcs7issuercert: Did not find the certificate for the issuer of the signing "
                "certificate.\n");
  out = issuer;
  return 0;
}

}  // namespace zmr
