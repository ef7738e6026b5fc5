// Checking signatures made by end users (or any signer of the scheme):
// verification against the merchant's trust store, one named item about
// the signer of a PKCS#7, and the signer listing of a list of signatures.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "misc/ossl.h"
#include "store/sessionstore.h"
#include "tools/pkcs7tools.h"
#include "zmr/zmr.h"

namespace zmr {

// How verifydata treats the signer certificates' chains.
enum class ChainCheck {
  plain = -1,   // the usual check alone
  noDates = 0,  // every signature of the chain, the root's own too; no dates
  policy = 1,   // granted policy first, then the usual check with dates
};

// 0 when the base64 DER PKCS#7 SignedData verifies: every signer
// certificate (matched to its SignerInfo by issuer and serial among the
// PKCS#7's certificates) chains to the session's trust store with the
// PKCS#7's certificates as intermediates, carries every key usage listed
// (keyusagecode values) and, with ChainCheck::policy, a granted policy; then
// every SignerInfo verifies over data (or, with DataIs::digest, over
// data that has this digest). data may be null when the PKCS#7 carries its
// content, which is then verified. Takes no lock.
// Codes: the decoder's, 5001 not a PKCS#7, 5002 not signedData, 5003 no
// data, 5004 no SignerInfo, 5005 a signer certificate missing, 2004 no
// trust store (session without configuration), 6001 policy, 5006 store
// context, 5007 the chain (reason in the line), 6002 usage, and the
// SignerInfo check's codes (5007 bad signature, 12003 digest mismatch,
// 12005 a digest over 64 bytes, ...); 5008, 33001.
// The overload taking the state is for operations that hold it already.
int verifydata(int session, std::string_view pkcs7base64, const unsigned char* data, size_t length, DataIs dataisdigest,
               const int* usages, int usagecount, ChainCheck mode);
int verifydata(const Session& s, std::string_view pkcs7base64, const unsigned char* data, size_t length,
               DataIs dataisdigest, const int* usages, int usagecount, ChainCheck mode);
// The same, handing a verified signature's decoded PKCS#7 to parsed (when
// given), so that the checks that follow read it without decoding the text
// again. parsed is left as it was on failure.
int verifydata(const Session& s, std::string_view pkcs7base64, const unsigned char* data, size_t length,
               DataIs dataisdigest, const int* usages, int usagecount, ChainCheck mode, Pkcs7Ptr* parsed);

// The answer to item (exact name: "issuername", "subjectname",
// "validfromdate", "validtodate", "versionnumber", "serialnumber",
// "keyalgorithm", "keysize", "uniqueid", "originator", "bankname",
// "dateofbirth", "policyoid", "commonname", "signingcertificate",
// "keyusage", "emailaddress", "signingtime", "phonenumber",
// "signingtimelongstring") about the first signer of a base64 DER PKCS#7.
// Codes: the decoder's, 8001 not a PKCS#7, 8002 no SignerInfo, 8003 its
// certificate missing, 8004 an unknown item or no signing time, and the
// readers' codes. out is empty on failure.
int getpkcs7info(int session, std::string_view pkcs7base64, std::string_view item, std::string& out);

// The item names of getpkcs7info in the order of the exported item index.
inline constexpr const char* kPkcs7Items[] = {
    "issuername",   "subjectname",  "validfromdate", "validtodate", "versionnumber",
    "serialnumber", "keyalgorithm", "keysize",       "uniqueid",    "originator",
    "bankname",     "dateofbirth",  "policyoid",     "commonname",  "signingcertificate",
    "keyusage",     "emailaddress", "signingtime",   "phonenumber", "signingtimelongstring",
};

// ---- steps shared by getpkcs7info and getsigners ----

// The base64 DER PKCS#7 and its first signer's certificate (owned by p7).
// Codes and lines as getpkcs7info.
int openpkcs7signer(int session, std::string_view pkcs7base64, Pkcs7Ptr& p7, X509*& signer);
// One item of an opened PKCS#7, with getpkcs7info's codes and lines.
int readpkcs7item(int session, PKCS7* p7, X509* signer, std::string_view item, std::string& out);

// "time;policy;name" for each node of the list (signing time in
// milliseconds, policy OID, common name of its PKCS#7's first signer),
// joined by ";". No list: 0 and nullopt. A node without PKCS#7 gives 33002;
// otherwise getpkcs7info's codes.
int getsigners(int session, const signatures* list, std::optional<std::string>& out);

}  // namespace zmr
