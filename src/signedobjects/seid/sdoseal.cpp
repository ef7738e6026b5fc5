#include "services/entry.h"
#include "services/items/itemsops.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

int sdoseal(int session, seidsdocell* handle, std::string_view merchantocsp, std::optional<std::string_view> data) {
  SessionRef state;
  if (int rc = enterservice(session, state); rc != kOk) return rc;
  if (int rc = seidsdonullandconstraintchecker(session, handle); rc != kOk)
    return fail(rc, "sdoseal_sdoseal: The SDO does not contain all mandatory parameters.\n");
  seidsdo& sdo = *handle->first;

  SealSignature signature;
  static constexpr SealLines lines = {
      "sdoseal_sdoseal: An error occured trying to create the sdo datapart signable representation.\n",
      "sdoseal_sdoseal: An error occured trying to sign the signable sdo datapart.\n",
      "sdoseal_sdoseal: An error occured trying to base64encode the sdo datapart.\n"};
  if (int rc = signdatapart(*state, *sdo.datapart, lines, signature); rc != kOk) return rc;

  std::string ocsp;
  if (int rc = removecrlf(session, merchantocsp, ocsp); rc != kOk)
    return fail(rc, "sdoseal_sdoseal: An error occured trying to strip the ocsp for carriage returns and linefeeds.\n");
  // The new seal is made whole before the old one goes: a failure up to
  // here leaves the SDO as it was.
  auto seal = std::make_unique<seidsdoseal>();
  seal->sdosignature = std::make_unique<sdosignature>();
  if (int rc = createseidsdocmssignatureelement(session, signature.pkcs7, ocsp, signature.sha1, signature.sha256,
                                                "text/plain", seal->sdosignature->element);
      rc != kOk)
    return fail(rc, "sdoseal_sdoseal: An error occured trying to create the SDOSignature's CMSSignature.\n");
  sdo.flavour = kSdoCompliant;
  sdo.seal = std::move(seal);

  if (int rc = seidsdovalidate(*state, handle, 0, data, 0, 0, 1); rc != kOk)
    return fail(rc, "sdoseal_sdoseal: An error occured trying to validate the sdo.\n");
  return 0;
}

}  // namespace zmr
