#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"inittransaction_inittransaction: "};

int route(const Session& s, std::string_view form, std::string_view operation, std::string_view basekey,
          std::string& answer) {
  const int session = s.number;
  std::optional<std::string> carrier = formfield(form, "carrier");
  std::optional<std::string> clientinfo = formfield(form, "clientInfo");
  if (!carrier) {
    if (int rc = performinittransactionnc(s, form, operation, basekey, answer); rc != kOk)
      return fail(rc, kAt, "Error in performinittransactionnc.\n");
    return kOk;
  }
  if (int rc = pushinfoitem(session, "carrier", *carrier); rc != kOk)
    return fail(rc, kAt, "An error occured setting the infoitem \"carrier\".\n");
  if (*carrier == "NC_ZMR20") {
    if (!clientinfo) return fail(kNoClientInfo, kAt, "An error occured fetching the clientInfo from the request.\n");
    if (operation != "initSign") {
      if (int rc = performinitauth20(s, form, basekey, answer); rc != kOk)
        return fail(rc, kAt, "Error in performinitauth20.\n");
    } else if (ismultidocument(*clientinfo)) {
      if (int rc = performinitsign21(s, form, basekey, answer); rc != kOk)
        return fail(rc, kAt, "Error in performinitsign21.\n");
    } else {
      if (int rc = performinitsign20(s, form, basekey, answer); rc != kOk)
        return fail(rc, kAt, "Error in performinitsign20.\n");
    }
    return kOk;
  }
  if (*carrier == "mobile") {
    if (int rc = performinittransactionmobile(s, form, operation, basekey, answer); rc != kOk)
      return fail(rc, kAt, "Error in performinittransactionmobile.\n");
    return kOk;
  }
  return fail(kUnknownCarrier, kAt, "Unknown carrier in transaction data.\n");
}

}  // namespace

int inittransaction(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                    std::string_view operation, std::optional<std::string_view> extra,
                    std::optional<std::string>& answer) {
  answer.reset();
  // One state for the whole exchange: what is decrypted with one session's
  // key is answered and signed by the same session.
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk)
    return fail(rc, kAt, "An error occured trying to decrypt the transactiond data.\n");
  SecretString form;  // the client's decrypted message
  SecretString basekey;
  if (int rc = decrypttransactiondata(*s, enckey, encdata, encauth, operation, extra, form, basekey); rc != kOk)
    return fail(rc, kAt, "An error occured trying to decrypt the transactiond data.\n");
  if (int rc = pushinfoitem(session, "key", basekey.value); rc != kOk)
    return fail(rc, kAt, "Could not set infoitem \"key\".\n");
  std::string built;
  if (int rc = route(*s, form.value, operation, basekey.value, built); rc != kOk) return rc;
  answer = std::move(built);
  return kOk;
}

}  // namespace zmr
