#include "misc/status.h"
#include "misc/version.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/mobile/mobiletext.h"
#include "services/signing/signingops.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr BuilderLines kLines = {
    {"inittransaction::performinittransactionmobile: "},
    "Error converting response to url encoded string.\n",
    "Could not encrypt response.\n",
    nullptr,
};

// The text of the info item data, converted for the phone and signed.
int answersigning(const Session& s, std::optional<std::string_view> flag, stringmap& map, std::string& pkcs7) {
  const int session = s.number;
  std::string data;
  if (int rc = popinfoitem(session, "data", data); rc != kOk)
    return fail(rc, kLines.at, "Could not retrieve infoitem \"data\".\n");
  std::vector<unsigned char> decoded;
  if (int rc = decodebase64(session, data, decoded); rc != kOk)
    return fail(rc, kLines.at, "An error occured base64 decoding the input data to be signed.\n");
  std::string converted;
  if (int rc = preparetextformobile(
          session, mobiletext({reinterpret_cast<const char*>(decoded.data()), decoded.size()}), converted, flag);
      rc != kOk)
    return fail(rc, kLines.at, "Error performing preparetextformobile on data.\n");
  std::string signeddata;
  if (int rc = encodebase64(session, converted, signeddata); rc != kOk)
    return fail(rc, kLines.at, "An error occured base64 encoding the data to be signed.\n");
  if (int rc = pushinfoitem(session, "signeddata", signeddata); rc != kOk)
    return fail(rc, kLines.at, "An error occured setting the infoitem \"signeddata\".\n");
  if (int rc = signdata(s, converted, pkcs7, KeyRole::signing, ChannelNonce::with); rc != kOk)
    return fail(rc, kLines.at, "An error occured during signing of data.\n");
  std::string mimetype;
  if (int rc = popinfoitem(session, "mimeType", mimetype); rc != kOk)
    return fail(rc, kLines.at, "Could not retrieve infoitem \"mimeType\".\n");
  int rc = addelement(map, "pkcs7", pkcs7);
  if (rc == kOk) rc = addelement(map, "data", signeddata);
  if (rc == kOk) rc = addelement(map, "mimeType", mimetype);
  if (rc == kOk) rc = addelement(map, "zelmorServerVersion", kVersion);
  return rc;
}

}  // namespace

int performinittransactionmobile(const Session& s, std::string_view form, std::string_view operation,
                                 std::string_view basekey, std::string& answer) {
  const int session = s.number;
  const std::optional<std::string> flag = formfield(form, "prepareText");
  std::optional<std::string_view> flagtext;
  if (flag) flagtext = *flag;
  stringmap map;
  std::string pkcs7;
  if (operation == "initAuth") {
    const std::optional<std::string> header = formfield(form, "authHeader");
    std::optional<std::string_view> headertext;
    if (header) headertext = *header;
    if (int rc = answerchallenge(s, form, headertext, flagtext, map, pkcs7, kLines); rc != kOk) return rc;
  } else if (operation == "initSign") {
    if (int rc = answersigning(s, flagtext, map, pkcs7); rc != kOk) return rc;
  } else {
    return fail(kBadOperation, kLines.at, "Invalid operation in inittransaction data.\n");
  }
  if (int rc = pushinfoitem(session, "pkcs7", pkcs7); rc != kOk) {
    // The text names the no-carrier builder.
    setlasterror(session,
                 "inittransaction::performinittransactionnc: An error occured setting the infoitem "
                 "\"pkcs7\".\n");
    return rc;
  }
  return encryptinitanswer(session, map, basekey, answer, kLines);
}

}  // namespace zmr
