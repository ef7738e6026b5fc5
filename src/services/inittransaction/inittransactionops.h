// Transaction initialisation: the client's encrypted init request opened,
// routed on its carrier, client version and operation to one of five
// answer builders, and answered under the transaction's base key.
//
// Routing of a decrypted request:
//   no "carrier" field           performinittransactionnc (operation decides)
//   carrier "NC_ZMR20"           needs "clientInfo" (39011);
//                                  operation "initSign" and clientInfo "2.1":
//                                    performinitsign21 (every document)
//                                  "initSign", any other clientInfo:
//                                    performinitsign20
//                                  any other operation: performinitauth20
//   carrier "mobile"             performinittransactionmobile
//   any other carrier            39012, no answer
// Carrier and operation compare exactly (case counts).
//
// Each builder prepares the server side of the transaction, stores what
// verification will read as info items of the calling thread (pushed,
// never replaced: the merchant removes them between transactions), and
// collects its answer as an ordered form, encrypted for the client under
// the response keys of the base key this very request carried.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/stringmap.h"
#include "services/signing/signingops.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

// The one test of a client that signs many documents at once: clientInfo
// exactly "2.1".
inline bool ismultidocument(std::optional<std::string_view> clientinfo) { return clientinfo == "2.1"; }

// Opens the request (clearing the recent error), pushes the info items
// "key" (base64 base key) and "carrier" (when present) and runs the
// builder. answer is set only on success. Codes: decryption's (2009,
// 21002, 22xxx, 23xxx, 25xxx, 40050, 40051), 2023 (info items full),
// 39011 (NC_ZMR20 without clientInfo), 39012 (unknown carrier), and the
// builders'.
int inittransaction(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                    std::string_view operation, std::optional<std::string_view> extra,
                    std::optional<std::string>& answer);

// The builders: form is the decrypted request, basekey its base64 base key;
// they and the steps below that read the session take the state the
// exchange holds.
// Codes of their own: 39003 no clientChallenge, 39005 mime type not
// allowed, 39006 unknown operation, 39008 traceId differs from the item,
// 39009 no traceId, 39010 no document, 33002 a format item outside its
// list, 41001 no extPDFUrl for a PDF, 2022 an item missing, 43000
// no COI key; the steps' codes pass through.
int performinitauth20(const Session& s, std::string_view form, std::string_view basekey, std::string& answer);
int performinittransactionnc(const Session& s, std::string_view form, std::string_view operation,
                             std::string_view basekey, std::string& answer);
int performinittransactionmobile(const Session& s, std::string_view form, std::string_view operation,
                                 std::string_view basekey, std::string& answer);
int performinitsign20(const Session& s, std::string_view form, std::string_view basekey, std::string& answer);
int performinitsign21(const Session& s, std::string_view form, std::string_view basekey, std::string& answer);

// The coiData answer value of multi-document signing: the documents'
// hashes and the merchant's signatures, signed with the signing key and
// encrypted to the COI key of the session's environment (43000 when there
// is none). The documents' signeddata and merchantpkcs7 must be filled.
int createcoidata(const Session& s, std::string& coidata);

// Copies the info items cmsFormat ("PKCS7" or "PKCS7_ISO320001") and
// ocspFormat ("OCSP_ZELMOR_DEFAULT" or "OCSP_RFC6960_COMPATIBLE") to the
// answer as CMSFormat and OCSPFormat when set; 33002 for another value.
int addocspandcmsformat(int session, stringmap& answer);

// Adds the pair (name, the info item name) when the item is set; an unset
// item adds nothing and gives 0, or 39001 when mandatory.
int values_add_infoitem(values& v, int session, std::string_view name, int mandatory);

// ---- steps shared by the builders ----

// One builder's recent-error lines where the builders differ.
struct BuilderLines {
  Where at;                     // {"inittransaction::performinitauth20: "}, ...
  const char* encode;           // the answer cannot be form-encoded
  const char* encrypt;          // encrypt_response failed
  const char* const* optional;  // per optional item, in kOptionalItems order
};

// Answer items the merchant may set, in answer order.
inline constexpr const char* kOptionalItems[5] = {"userID", "OTPService", "timeout", "nextURL", "userIDKeystrokeData"};
// The two wordings of a failed optional item.
inline constexpr const char* kCouldNotAddOptional[5] = {
    "Could not add optional infoitem \"userid\" to response.\n",
    "Could not add optional infoitem \"otpservice\" to response.\n",
    "Could not add optional infoitem \"timeout\" to response.\n",
    "Could not add optional infoitem \"nextURL\" to response.\n",
    "Could not add optional infoitem \"userIDKeystrokeData\" to response.\n",
};
inline constexpr const char* kErrorFetchingOptional[5] = {
    "Error fetching optional infoitem \"userID\".\n",
    "Error fetching optional infoitem \"otpservice\".\n",
    "Error fetching optional infoitem \"timeout\".\n",
    "Error fetching optional infoitem \"nextURL\".\n",
    "Error fetching optional infoitem \"userIDKeystrokeData\".\n",
};

// The value of the first field of the request's form named name (without
// regard to case), form-decoded; nullopt when there is none.
std::optional<std::string> formfield(std::string_view form, std::string_view name);
// The client's traceId field must equal the info item traceId byte for
// byte. 39009, the item's code, 39008.
int checktraceid(int session, std::string_view form, const BuilderLines& lines);
// Pushes the info items c_sc and c_scsha256: base64 SHA-1 and SHA-256 of
// the bytes of the base64 value.
int pushchannelhashes(int session, std::string_view value, const BuilderLines& lines);
// The merchant's answer to the client challenge: adds pkcs7 and
// serverChallenge and pushes serverChallenge, c_sc and c_scsha256. pkcs7
// receives the signature.
int answerchallenge(const Session& s, std::string_view form, std::optional<std::string_view> header,
                    std::optional<std::string_view> flag, stringmap& answer, std::string& pkcs7,
                    const BuilderLines& lines);
// The document the info items describe (mimeType, then data, or xml and
// xsl) signed with the signing key and the channel attribute: pushes
// signeddata, c_sc, c_scsha256 and pkcs7. 39005 for a mime type other than
// text/plain, application/pdf or text/ZMRXML (in any case).
int signiteminfo(const Session& s, std::string& mimetype, std::string& pkcs7, std::string& signeddata,
                 const BuilderLines& lines);
// Adds zmrChannel and zmrChannelSignature over the merchant's pkcs7, made
// with the key of role and the channel attribute.
int addchannel(const Session& s, std::string_view pkcs7, KeyRole role, stringmap& answer, const BuilderLines& lines);
// Adds the first count of kOptionalItems that are set.
int addoptionalitems(int session, stringmap& answer, int count, const BuilderLines& lines);
// Form-encodes the answer and encrypts it under basekey.
int encryptinitanswer(int session, const stringmap& answer, std::string_view basekey, std::string& out,
                      const BuilderLines& lines);

}  // namespace zmr
