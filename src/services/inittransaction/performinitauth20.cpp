#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/signing/signingops.h"

namespace zmr {

int performinitauth20(const Session& s, std::string_view form, std::string_view basekey, std::string& answer) {
  const int session = s.number;
  static constexpr BuilderLines lines = {
      {"inittransaction::performinitauth20: "},
      "Error converting response to url encoded string.\n",
      "Error encrypting response to client.\n",
      kCouldNotAddOptional,
  };
  if (int rc = checktraceid(session, form, lines); rc != kOk) return rc;
  stringmap map;
  std::string pkcs7;
  if (int rc = answerchallenge(s, form, std::nullopt, std::nullopt, map, pkcs7, lines); rc != kOk) return rc;
  if (int rc = addchannel(s, pkcs7, KeyRole::authentication, map, lines); rc != kOk) return rc;
  if (int rc = addoptionalitems(session, map, 5, lines); rc != kOk) return rc;
  return encryptinitanswer(session, map, basekey, answer, lines);
}

}  // namespace zmr
