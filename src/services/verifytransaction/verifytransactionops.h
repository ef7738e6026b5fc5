// Transaction verification: the client's encrypted verification request
// opened, checked against the transaction the thread initialised, and
// dispatched on its operation; and the encrypted answer built from the
// thread's info items.
//
// Routing of a decrypted request (operation and carrier compare exactly):
//   "handleError"                handleerror (no trace-id check)
//   carrier "NC_ZMR20"           traceId field must equal the item traceId
//   "verifyAuth"                 handleverifyauth
//   "verifySign"                 NC_ZMR20 needs clientInfo (39011); clientInfo
//                                  "2.1": handleverifysign21 (every document),
//                                  otherwise handleverifysign
//   anything else                40005
//
// Results are pushed as info items of the calling thread (never replaced:
// the merchant removes them between transactions) and, for multi-document
// signing, stored in the thread's document records.
#pragma once

#include <openssl/pkcs7.h>

#include <optional>
#include <string>
#include <string_view>

#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

// Clears the recent error, decrypts, pushes "key" (base64 base key) and
// "carrier" (when present) and runs the handler. Codes: decryption's
// (2009, 21002, 22xxx, 23xxx, 25xxx, 40050, 40051), 39008, 39009, 39011,
// 40005 and the handlers'.
int verifytransactionrequest(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                             std::string_view operation, std::optional<std::string_view> extra);

// "encData=...&encAuth=..." under the response keys of the item "key":
// status=OK (or errCode=<item errorCode>), then sdo, target, nextURL
// (mandatory unless the carrier is NC_ZMR20; neither for "mobile") and
// vaPerf, as set. answer is set only on success. 2009, 39001, the item
// store's codes, values_encrypt's.
int verifytransactionresponse(int session, std::optional<std::string>& answer);

// The handlers; form is the decrypted request.
// handleerror: 40004 no errCode. handleverifyauth: 40002 no pkcs7, 2022 no
// serverChallenge item. handleverifysign: 40002, 40003 no ocsp, 2022 no
// signeddata item. handleverifysign21: 40003, 40007 no clientpkcs7s,
// 40006 a document without signed data, 40009 the numbers of signatures
// and documents differ, 1 no or a badly escaped cpReport. All: the
// report's codes, verification's (5xxx, 6xxx, 12xxx), certificate
// status's (13xxx), base64 (21xxx), the item store's, 33001.
int handleerror(const Session& s, std::string_view form);
int handleverifyauth(const Session& s, std::string_view form);
int handleverifysign(const Session& s, std::string_view form);
int handleverifysign21(const Session& s, std::string_view form);

// Each key=value pair of report pushed as an info item, in order; nothing
// for an absent or empty report. 41002 not parsable; 40008 when a pair's
// key or value does not decode, when a key names an item of the scheme
// (kReservedReportKeys, without regard to case) or when a push fails. A
// refused report leaves no pair stored.
int handlereportdata(int session, std::optional<std::string_view> report);

// The calling thread's info items pushed while it lives, undone unless kept:
// a report refused part-way, or one whose own item cannot follow it, leaves
// the store as it was, so the merchant can still set errorCode.
class PushedItems {
 public:
  PushedItems() : before(countinfoitems()) {}
  ~PushedItems() {
    if (!kept) dropinfoitemsafter(before);
  }
  PushedItems(const PushedItems&) = delete;
  PushedItems& operator=(const PushedItems&) = delete;
  void keep() { kept = true; }

 private:
  size_t before;
  bool kept = false;
};

// Items a report may not set: what initialisation, verification and
// certificate status write, and what the answer, certificate status and
// signing read. Keep in step with the table in zmr.h.
inline constexpr const char* kReservedReportKeys[] = {
    // written by initialisation
    "key",
    "carrier",
    "clientIp",
    "serverChallenge",
    "signeddata",
    "pkcs7",
    "c_sc",
    "c_scsha256",
    // written by verification
    "errorCode",
    "operation",
    "serverOcsp",
    "clientPkcs7",
    "clientFullOcsp",
    "clientOcsp",
    "rtReport",
    "cpReport",
    // written by certificate status
    "vaperf",
    "socialno",
    "accountno",
    "organisationno",
    "socialnoerr",
    "accountnoerr",
    "organisationnoerr",
    // read by the answer
    "sdo",
    "target",
    "nextURL",
    // read by certificate status and signing
    "traceId",
    "ocspFormat",
    "addsocialno",
    "addaccountno",
    "addorganisationno",
    "BillingPrefix",
    "cmsFormat",
};

// True when key names one of kReservedReportKeys, without regard to case.
bool isreservedreportkey(std::string_view key);

// ---- steps shared by the handlers ----

// Asks the validation authority about the signer of pkcs7 and pushes
// clientPkcs7, clientFullOcsp (when produced) and clientOcsp; each failure
// line starts with prefix. parsed is the PKCS#7 of pkcs7, decoded by the
// verification before.
int pushuserstatus(const Session& s, const std::string& pkcs7, PKCS7* parsed, std::string_view prefix);

}  // namespace zmr
