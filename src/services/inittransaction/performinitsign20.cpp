#include "misc/status.h"
#include "misc/version.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/signing/signingops.h"
#include "services/items/itemsops.h"
#include "store/threadstore.h"
#include "misc/stringoperations.h"

namespace zmr {

int performinitsign20(const Session& s, std::string_view form, std::string_view basekey, std::string& answer) {
  const int session = s.number;
  static constexpr BuilderLines lines = {
      {"inittransaction::performinitsign20: "},
      "Error fetching plaintext response from map.\n",
      "Could not encrypt response.\n",
      kErrorFetchingOptional,
  };
  if (int rc = checktraceid(session, form, lines); rc != kOk) return rc;
  std::string mimetype, pkcs7, signeddata;
  if (int rc = signiteminfo(s, mimetype, pkcs7, signeddata, lines); rc != kOk) return rc;
  std::string description, utf8;
  if (int rc = popinfoitem(session, "dataDescription", description); rc != kOk)
    return fail(rc, lines.at, "Unable to fetch infoitem \"datadescription\".\n");
  if (int rc = latin1toutf8(session, description, utf8); rc != kOk)
    return fail(rc, lines.at, "Error converting dataDescription to UTF8.\n");
  stringmap map;
  int rc = addelement(map, "pkcs7", pkcs7);
  if (rc == kOk) rc = addelement(map, "mimeType", mimetype);
  if (rc == kOk) rc = addelement(map, "dataDescription", utf8);
  if (rc == kOk) rc = addelement(map, "data", signeddata);
  if (rc == kOk) rc = addelement(map, "zelmorServerVersion", kVersion);
  if (rc != kOk) return rc;
  if (int rc = addchannel(s, pkcs7, KeyRole::signing, map, lines); rc != kOk) return rc;
  if (int rc = addocspandcmsformat(session, map); rc != kOk)
    return fail(rc, lines.at, "Could not add optional infoitem \"ocsp and cms format\" to response.\n");
  if (int rc = addoptionalitems(session, map, 5, lines); rc != kOk) return rc;
  if (iequals(mimetype, "application/pdf")) {
    if (int rc = add_infoitem_to_map(session, map, "extPDFUrl", std::nullopt, 1); rc != kOk)
      return fail(rc, lines.at, "Error fetching mandatory infoitem \"extPDFUrl\".\n");
  }
  return encryptinitanswer(session, map, basekey, answer, lines);
}

}  // namespace zmr
