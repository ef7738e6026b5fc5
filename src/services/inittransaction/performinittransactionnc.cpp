#include "misc/status.h"
#include "misc/version.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/signing/signingops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr BuilderLines kLines = {
    {"inittransaction::performinittransactionnc: "},
    "Error fetching plaintext response from map.\n",
    "Could not encrypt response.\n",
    kErrorFetchingOptional,
};

// The answer of a signing: the document the info items describe, signed.
int answersigning(const Session& s, stringmap& map, std::string& pkcs7) {
  const int session = s.number;
  std::string mimetype, signeddata;
  if (int rc = signiteminfo(s, mimetype, pkcs7, signeddata, kLines); rc != kOk) return rc;
  std::string description;
  if (int rc = popinfoitem(session, "dataDescription", description); rc != kOk)
    return fail(rc, kLines.at, "Unable to fetch infoitem \"datadescription\".\n");
  std::string signers;
  int found = popinfoitem(session, "signers", signers);
  if (found != kOk && found != kNotFound) return fail(found, kLines.at, "Error fetching infoitem \"signers\".\n");
  int rc = addelement(map, "pkcs7", pkcs7);
  if (rc == kOk) rc = addelement(map, "mimeType", mimetype);
  if (rc == kOk) rc = addelement(map, "dataDescription", description);
  if (rc == kOk && found == kOk) rc = addelement(map, "signers", signers);
  if (rc == kOk) rc = addelement(map, "data", signeddata);
  if (rc == kOk) rc = addelement(map, "zelmorServerVersion", kVersion);
  return rc;
}

}  // namespace

int performinittransactionnc(const Session& s, std::string_view form, std::string_view operation,
                             std::string_view basekey, std::string& answer) {
  const int session = s.number;
  if (std::optional<std::string> ip = formfield(form, "clientIp")) {
    if (int rc = pushinfoitem(session, "clientIp", *ip); rc != kOk)
      return fail(rc, kLines.at, "Could not set infoitem \"clientIp\".\n");
  }
  stringmap map;
  std::string pkcs7;
  if (operation == "initAuth") {
    if (int rc = answerchallenge(s, form, std::nullopt, std::nullopt, map, pkcs7, kLines); rc != kOk) return rc;
  } else if (operation == "initSign") {
    if (int rc = answersigning(s, map, pkcs7); rc != kOk) return rc;
  } else {
    return fail(kBadOperation, kLines.at, "Invalid operation in inittransaction data.\n");
  }
  const KeyRole role = operation == "initAuth" ? KeyRole::authentication : KeyRole::signing;
  if (int rc = addchannel(s, pkcs7, role, map, kLines); rc != kOk) return rc;
  if (int rc = addoptionalitems(session, map, 4, kLines); rc != kOk) return rc;
  return encryptinitanswer(session, map, basekey, answer, kLines);
}

}  // namespace zmr
