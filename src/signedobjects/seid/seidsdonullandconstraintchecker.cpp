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
  if (handle == nullptr) return 18002;
  const seidsdo* sdo = handle->first.get();
  if (sdo == nullptr) return 18003;
  if (sdo->next) return 18004;
  if (!sdo->datapart) return 18005;
  if (!sdo->version) return 18007;
  if (!sdo->datapart->first) return 18008;
  for (const signatureelement* node = sdo->datapart->first.get(); node != nullptr; node = node->next.get()) {
    if (!node->element) return 18010;
    if (int rc = checkelement(*node->element, 18011); rc != 0) return rc;
  }
  if (sdo->seal) {
    if (!sdo->seal->sdosignature) return 18026;
    if (!sdo->seal->sdosignature->element) return 18027;
    return checkelement(*sdo->seal->sdosignature->element, 18028);
  }
  return 0;
}

}  // namespace zmr
