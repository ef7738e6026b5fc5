#include <openssl/crypto.h>

#include "misc/secret.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/transactiondata/transactiondataops.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"verifytransactionresponse_verifytransactionresponse: "};

// An item that may be absent: 0 with nullopt then.
int optionalitem(int session, std::string_view key, std::optional<std::string>& out) {
  std::string value;
  int rc = popinfoitem(session, key, value);
  if (rc == kNotFound) return kOk;
  if (rc == kOk) out = std::move(value);
  return rc;
}

}  // namespace

int verifytransactionresponse(int session, std::optional<std::string>& answer) {
  answer.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  std::optional<std::string> carrier, errorcode;
  if (int rc = optionalitem(session, "carrier", carrier); rc != kOk)
    return fail(rc, kAt, "An error occured during retrievel of the infoitem \"carrier\".\n");
  if (int rc = optionalitem(session, "errorCode", errorcode); rc != kOk)
    return fail(rc, kAt, "An error occured during retrievel of the infoitem \"errorcode\".\n");
  values v;
  if (errorcode)
    v.pairs.emplace_back("errCode", *errorcode);
  else
    v.pairs.emplace_back("status", "OK");
  if (int rc = values_add_infoitem(v, session, "sdo", 0); rc != kOk)
    return fail(rc, kAt, "Could not add optional infoitem \"sdo\" to response.\n");
  if (carrier != "mobile") {
    if (int rc = values_add_infoitem(v, session, "target", 0); rc != kOk)
      return fail(rc, kAt, "Could not add optional infoitem \"target\" to response.\n");
    if (carrier == "NC_ZMR20") {
      if (int rc = values_add_infoitem(v, session, "nextURL", 0); rc != kOk)
        return fail(rc, kAt, "Could not add optional infoitem \"nexturl\" to response.\n");
    } else if (int rc = values_add_infoitem(v, session, "nextURL", 1); rc != kOk) {
      return fail(rc, kAt, "Could not add mandatory infoitem \"nexturl\" to response.\n");
    }
  }
  std::optional<std::string> vaperf;
  if (int rc = optionalitem(session, "vaperf", vaperf); rc != kOk)
    return fail(rc, kAt, "An error occured during retrievel of the infoitem \"vaperf\".\n");
  if (vaperf) v.pairs.emplace_back("vaPerf", *vaperf);

  std::string basekey;
  int rc = popinfoitem(session, "key", basekey);
  const SecretString held(basekey);
  OPENSSL_cleanse(basekey.data(), basekey.size());
  if (rc != kOk) return fail(rc, kAt, "Could not retrieve infoitem \"key\".\n");
  std::string encrypted;
  if (int rc = values_encrypt(v, session, held.value, encrypted); rc != kOk)
    return fail(rc, kAt, "Could not encrypt response.\n");
  answer = std::move(encrypted);
  return kOk;
}

}  // namespace zmr
