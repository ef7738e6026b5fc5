#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/transactiondata/transactiondataops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"verifytransactionrequest_verifytransactionrequest: "};

// The trace-id check is initialisation's, with its wording.
constexpr BuilderLines kTraceLines = {{"inittransaction::performinitauth20: "}, "", "", kCouldNotAddOptional};

int route(const Session& s, std::string_view form, std::string_view operation,
          const std::optional<std::string>& carrier) {
  const int session = s.number;
  if (operation == "handleError") return handleerror(s, form);
  const bool nczmr20 = carrier == "NC_ZMR20";
  if (nczmr20) {
    if (int rc = checktraceid(session, form, kTraceLines); rc != kOk) return rc;
  }
  if (operation == "verifyAuth") return handleverifyauth(s, form);
  if (operation == "verifySign") {
    if (!nczmr20) return handleverifysign(s, form);
    std::optional<std::string> clientinfo = formfield(form, "clientInfo");
    if (!clientinfo) return fail(kNoClientInfo, kAt, "An error occured fetching the clientInfo from the request.\n");
    return ismultidocument(*clientinfo) ? handleverifysign21(s, form) : handleverifysign(s, form);
  }
  return fail(kBadVerifyOperation, kAt, "Invalid operation in verifytransactionrequest data.\n");
}

}  // namespace

int verifytransactionrequest(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                             std::string_view operation, std::optional<std::string_view> extra) {
  // One state for the whole request: the key that opened it is the key
  // whose trust store and signing key verify it.
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  SecretString form;
  SecretString basekey;
  if (int rc = decrypttransactiondata(*s, enckey, encdata, encauth, operation, extra, form, basekey); rc != kOk)
    return fail(rc, kAt, "An error occured trying to decrypt the transactiond data.\n");
  if (int rc = pushinfoitem(session, "key", basekey.value); rc != kOk)
    return fail(rc, kAt, "Could not set infoitem \"key\".\n");
  std::optional<std::string> carrier = formfield(form.value, "carrier");
  if (carrier) {
    if (int rc = pushinfoitem(session, "carrier", *carrier); rc != kOk)
      return fail(rc, kAt, "An error occured setting the infoitem \"carrier\".\n");
  }
  return route(*s, form.value, operation, carrier);
}

}  // namespace zmr
