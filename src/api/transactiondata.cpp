// Exported functions of the transaction-data scheme and of client session
// set-up.
#include "api/frame.h"
#include "services/initsession/initsessionops.h"
#include "services/transactiondata/transactiondataops.h"

using namespace zmr;

ZMR_EXPORT int zmr_decrypttransactiondata(int session, const char* enckey, const char* encdata, const char* encauth,
                                          const char* operation, const char* extra, char** data, char** basekey) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(enckey));
  ZMR_TRY(requiredtext(encdata));
  ZMR_TRY(requiredtext(encauth));
  ZMR_TRY(requiredtext(operation));
  ZMR_TRY(optionaltext(extra));
  ZMR_TRY(required(data));
  ZMR_TRY(required(basekey));
  *data = nullptr;
  *basekey = nullptr;
  return guarded([&] {
    SecretString plain, key;
    std::optional<std::string_view> extratext;
    if (extra != nullptr) extratext = extra;
    ZMR_TRY(decrypttransactiondata(session, enckey, encdata, encauth, operation, extratext, plain, key));
    ZMR_TRY(handout(plain, data));
    if (int rc = handout(key, basekey); rc != kOk) {
      std::free(*data);
      *data = nullptr;
      return rc;
    }
    return 0;
  });
}

ZMR_EXPORT int zmr_initsession(int session, char** cdmuri, char** tid, char** cid) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(cdmuri));
  ZMR_TRY(required(tid));
  ZMR_TRY(required(cid));
  *cdmuri = nullptr;
  *tid = nullptr;
  *cid = nullptr;
  return guarded([&] {
    std::optional<std::string> a, b, c;
    int rc = initsession(session, a, b, c);
    // References already read stay with the caller, whatever the code.
    int copied = handout(a, cdmuri);
    if (copied == 0) copied = handout(b, tid);
    if (copied == 0) copied = handout(c, cid);
    if (copied != 0) {
      for (char** p : {cdmuri, tid, cid}) {
        std::free(*p);
        *p = nullptr;
      }
      return rc != kOk ? rc : copied;
    }
    return rc;
  });
}
