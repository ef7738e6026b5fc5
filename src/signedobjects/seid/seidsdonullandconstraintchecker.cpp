#include "misc/status.h"
#include "signedobjects/seid/seidsdo.h"

namespace zmr {
namespace {

// The fifteen presence tests of one element, numbered from base (18011 in
// the data part, 18028 in the seal).
int checkelement(const cmssignatureelement& e, int base) {
  if (!e.hasheddata) return base;
  if (!e.hasheddata->digestmethod) return base + 1;
  if (!e.hasheddata->digestvalue) return base + 2;
  if (!e.signaturepolicyidentifier) return base + 3;
  if (!e.signaturepolicyidentifier->signaturepolicyid) return base + 4;
  if (!e.signaturepolicyidentifier->signaturepolicyid->sigpolicyid) return base + 5;
  if (!*identifierof(e)) return base + 6;
  if (!e.signersdocumentformat) return base + 7;
  if (!e.signersdocumentformat->mimetype) return base + 8;
  if (!e.usercertificateandrevocationdata) return base + 9;
  if (!e.usercertificateandrevocationdata->revocationvalues) return base + 10;
  if (!e.usercertificateandrevocationdata->revocationvalues->ocspvalues) return base + 11;
  if (!*ocspvalueof(e)) return base + 12;
  if (!e.cmssignature) return base + 13;
  if (!e.sdoprofile) return base + 14;
  return 0;
}

}  // namespace

int seidsdonullandconstraintchecker(int, const seidsdocell* handle) {
  if (handle == nullptr) return kSdoNoHandle;
  const seidsdo* sdo = handle->first.get();
  if (sdo == nullptr) return kSdoNoSdo;
  if (sdo->next) return kSdoMany;
  if (!sdo->datapart) return kSdoNoDataPart;
  if (!sdo->version) return kSdoNoVersion;
  if (!sdo->datapart->first) return kSdoNoElements;
  for (const signatureelement* node = sdo->datapart->first.get(); node != nullptr; node = node->next.get()) {
    if (!node->element) return kSdoNoElement;
    if (int rc = checkelement(*node->element, kSdoDataNoHashedData); rc != kOk) return rc;
  }
  if (sdo->seal) {
    if (!sdo->seal->sdosignature) return kSdoNoSealSig;
    if (!sdo->seal->sdosignature->element) return kSdoNoSealElement;
    return checkelement(*sdo->seal->sdosignature->element, kSdoSealNoHashedData);
  }
  return 0;
}

}  // namespace zmr
