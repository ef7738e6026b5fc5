#include "misc/status.h"
#include "signedobjects/seid/seidsdo.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

// The OCSP answer of the second data-part element: in a classic SDO the
// merchant's, which the seal's element carries too. Empty when there is
// none, which the element builder refuses.
std::string_view merchantocsp(const seidsdodatapart* datapart) {
  if (datapart == nullptr || !datapart->first || !datapart->first->next || !datapart->first->next->element) return {};
  const sdotext* ocsp = ocspvalueof(*datapart->first->next->element);
  return ocsp != nullptr && *ocsp ? std::string_view(**ocsp) : std::string_view();
}

}  // namespace

int createseidsdoelement(int session, std::optional<std::string_view> sealpkcs7,
                         std::optional<std::string_view> sealsha1digest, std::string_view sealsha256digest,
                         std::string_view description, std::unique_ptr<seidsdodatapart> datapart,
                         std::unique_ptr<seidsdo>& out) {
  auto sdo = std::make_unique<seidsdo>();
  sdo->version = "1.0";
  sdo->datapart = std::move(datapart);
  if (sealpkcs7 && sealsha1digest) {
    auto seal = std::make_unique<seidsdoseal>();
    seal->sdosignature = std::make_unique<sdosignature>();
    int rc = createseidsdocmssignatureelement(session, *sealpkcs7, merchantocsp(sdo->datapart.get()), sealsha1digest,
                                              sealsha256digest, "text/plain", seal->sdosignature->element);
    if (rc != kOk) {
      setlasterror(session,
                   "seidsdotools_createseidsdotools: An error occured trying to create the SDOSignature's "
                   "CMSSignature.\n");
      return rc;
    }
    sdo->seal = std::move(seal);
  }
  sdo->metadata = std::make_unique<metadata>();
  sdo->metadata->first = std::make_unique<valuepair>();
  sdo->metadata->first->name = "MerchantDesc";
  sdo->metadata->first->value = std::string(description);
  out = std::move(sdo);
  return 0;
}

}  // namespace zmr
