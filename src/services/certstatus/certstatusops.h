// Certificate status at the validation authority: an OCSP request about the
// signer of a PKCS#7, signed with the merchant's own signing key (in
// software or in the HSM), posted to the responder the certificate's
// authority-information-access entry names, and its answer checked and
// turned into info items of the calling thread.
//
// The request carries one SHA-1 CertID and, in this order and none
// critical: AcceptableResponses (basic), a 16-byte nonce, the
// additional-information wish (1.2.3.4), the billing text and, in RFC 6960
// mode for a signing certificate, the RFC 6960 flag. The scheme's own
// extensions carry their text as the raw bytes of the extension value.
#pragma once

#include <openssl/ocsp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <optional>
#include <string>
#include <string_view>

#include "misc/ossl.h"
#include "store/sessionstore.h"

namespace zmr {

inline constexpr int kVaDefaultTimeoutSeconds = 30;
inline constexpr int kVaAttempts = 3;
inline constexpr const char* kOcspRfc6960 = "OCSP_RFC6960_COMPATIBLE";

// The whole operation. pkcs7 is the base64 DER PKCS#7 whose first signer is
// the certificate asked about (it must also carry the issuer certificate);
// null asks about the merchant's own signing certificate through a PKCS#7
// made over "dummy". ocsp receives the base64 BasicOCSPResponse; nonce
// (when given) the billing text sent; fullocsp (when given) the base64
// OCSPResponse in RFC 6960 mode. Outputs set before a later step fails stay
// set: a revoked certificate still hands back its answer. Clears the recent
// error. 0 only for a verified answer of status good. The overload taking
// the state is for operations that hold it already.
int getcertstatus(int session, const char* pkcs7, std::string& ocsp, std::optional<std::string>* nonce,
                  std::optional<std::string>* fullocsp);
int getcertstatus(const Session& s, const char* pkcs7, std::string& ocsp, std::optional<std::string>* nonce,
                  std::optional<std::string>* fullocsp);
// The same about a signature its caller decoded already: parsed is the
// PKCS#7 of the text pkcs7 (which is then not decoded again).
int getcertstatus(const Session& s, const char* pkcs7, std::string& ocsp, std::optional<std::string>* nonce,
                  std::optional<std::string>* fullocsp, PKCS7* parsed);

// The request extensions 3 to 5 after AcceptableResponses and the nonce,
// from the calling thread's info items; billing receives the billing text.
// usage is the usage text of the certificate asked about. 17005 no random,
// the look-up codes of traceId and BillingPrefix, 33001.
int addocsprequestextensions(int session, OCSP_REQUEST* request, std::string_view usage, bool rfc6960,
                             std::string& billing);

// The DER of the request signed with the merchant's signing certificate
// and key: the requestor name is set on request (which keeps its nonce for
// the answer's check), its TBSRequest signed (SHA-1 with RSA for a
// 1024-bit merchant key, else SHA-256 with RSA), in the HSM for HSM
// sessions, and the signing certificate listed twice, as OpenSSL's own
// request signer lists it. 13001, 13027, 4009, 4012, the session store's
// codes.
int signocsprequest(const Session& s, OCSP_REQUEST* request, std::string& signedder);

// Where the request goes. port is the URL's port when it names one, else
// the scheme's (443, 80); 0 when the URL's port is not a number in
// 1..65535. path is the URL's path, "/" when it has none.
struct VaAddress {
  std::string host;
  int port = 0;
  std::string path;
};
// 13002 without "://", for a scheme other than http or https (any case),
// or without a host.
int getserverandport(int session, std::string_view url, VaAddress& out);

// The validation authority's answer, read from its raw HTTP reply.
struct OcspAnswer {
  OcspResponsePtr full;
  OcspBasicRespPtr basic;
  std::string fullder;   // the OCSPResponse as received
  std::string basicder;  // the BasicOCSPResponse as received
};
// Status line 200 (13003), a header block (13004) with a Content-Length
// header (13005) ending in CR LF (13006) of a positive decimal value
// (13024), and a body of that length holding exactly one DER OCSPResponse
// (13008). Its status: 13018-13022 as the responder said, 13008 for a
// status outside the standard's; a successful one must carry a basic
// response (13007) that decodes exactly (13008).
int getocspresponse(int session, std::string_view reply, OcspAnswer& out);

// Pushes the additional-information items the response extensions of a
// good answer carry (socialno, accountno, organisationno and their *err
// status texts). The codes of pushinfoitem.
int getadditionalinformation(int session, OCSP_BASICRESP* basic);

}  // namespace zmr
