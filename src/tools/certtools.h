// Certificate field readers and certificate checks.
//
// Each reader takes an X.509 certificate (or a PKCS#7) owned by the caller,
// reads one field without changing the object and hands it back through
// its out-parameter, which is written only on success. The session number
// only addresses the calling thread's recent error; it is not checked. The
// few that read the session itself take its state. Nothing here takes a
// lock, so every function may run on many threads over shared objects.
//
// Failures append one "certtools_<reader>: ..." line to the recent error
// and return the code (6xxx, 33001, or the inner code where noted).
#pragma once

#include <openssl/asn1.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "misc/ossl.h"

namespace zmr {

struct Session;

// ---- time texts ----

// Epoch seconds of a UTC GeneralizedTime text "YYYYMMDDHHMMSSZ", with an
// optional fraction of seconds ("YYYYMMDDHHMMSS.fffZ", dropped). Exact for
// every year 0000..9999, also before 1970 (negative). false for any other
// text (wrong length, non-digits, out-of-range fields, no "Z").
bool gentimetotime(std::string_view text, int64_t& seconds);
// Epoch seconds of a UTCTime or GeneralizedTime; false when it cannot be
// converted.
bool asn1timetotime(const ASN1_TIME* time, int64_t& seconds);
// Display form, "Feb  3 14:05:09 2027 GMT" (as ASN1_GENERALIZEDTIME_print);
// false when the time cannot be printed.
bool gentimetostring(const ASN1_GENERALIZEDTIME* time, std::string& out);

// ---- readers ----

// Dotted form of an object identifier, whole; "" when it has none.
std::string oidtext(const ASN1_OBJECT* obj);

int getvalidfromdate(int session, X509* cert, std::string& out);  // 6018, 6015
int getvalidtodate(int session, X509* cert, std::string& out);    // 6019, 6015
// Whole days from now until notAfter, truncated toward zero; 6019 when
// notAfter cannot be converted.
int getdaysuntilexpire(int session, X509* cert, int& days);
// The first signer's UTCTime signingTime in display form / as epoch
// milliseconds ("<seconds>000"); nullopt with code 0 when it has none (a
// GeneralizedTime one counts as none). 6016 no signer, 6015 not convertible.
int getsigningtime(int session, PKCS7* p7, std::optional<std::string>& out);
int getsigningtimelongstring(int session, PKCS7* p7, std::optional<std::string>& out);
// RFC 2253 text, most specific entry first; a '/' becomes ',' ("//" gives
// '/', a leading single '/' is dropped). An empty name gives "".
int getsubjectname(int session, X509* cert, std::string& out);
int getissuername(int session, X509* cert, std::string& out);
// The subject's last commonName, one byte per character up to U+00FF
// (Latin-1), "\UXXXX" above. 6011 when missing or empty, 33001 (without a
// line) when no memory is left.
int getcommonname(int session, X509* cert, std::string& out);
// Bytes of the subject's last serialNumber, else of its last OU; 6004.
int getuniqueid(int session, X509* cert, std::string& out);
int getemailaddress(int session, X509* cert, std::string& out);  // 6013
// Full decimal value of the serial number, any length, "-" when negative.
int getserialnumber(int session, X509* cert, std::string& out);
int getversionnumber(int session, X509* cert, std::string& out);  // "1".."3"
// Both key readers give 33001 when the certificate's key was lost to an
// allocation failure while it was parsed.
int getkeyalgorithm(int session, X509* cert, std::string& out);  // "RSA", "DSA"; 6003
// Key size in bits: for RSA the modulus length in whole bytes times 8, for
// other keys their size in bits; "0" when the key cannot be read.
int getkeysize(int session, X509* cert, std::string& out);
// First policy OID of the last decodable certificatePolicies extension;
// "" (code 0) without one. 6008 no extensions, or a policies extension
// that holds no policy.
int getpolicyoid(int session, X509* cert, std::string& out);
// Quiet forms of getcommonname and getpolicyoid, for callers that report by
// code alone: the same results and codes, and in *line the recent-error
// line the reader would have written (nullptr for none), written nowhere.
int readcommonname(X509* cert, std::string& out, const char** line);
int readpolicyoid(X509* cert, std::string& out, const char** line);
// One-line base64 of the DER certificate; base64 codes pass through.
int getsigningcertificate(int session, X509* cert, std::string& out);
// URI of the first OCSP entry of the authority-information-access
// extension (caIssuers entries and other name types are passed over); 6009
// when there is none.
int getaialocation(int session, X509* cert, std::string& out);
// From the subjectDirectoryAttributes extension: telephone number bytes
// (6027), date of birth in display form (6007).
int getphonenumber(int session, X509* cert, std::string& out);
int getdateofbirth(int session, X509* cert, std::string& out);
// The scheme's own extensions; the last one present wins. 6006 / 6005.
int getbankname(int session, X509* cert, std::string& out);
int getoriginator(int session, X509* cert, std::string& out);
// Common name of the session's signing certificate: 6024 none, 6026.
int get_merchant_name(const Session& s, std::string& out);
// "<serial>-<originator>" of the session's authentication certificate:
// 6024 none, 6025.
int get_merchant_id(const Session& s, std::string& out);

// ---- checks ----

// keyusagecode: 1 digitalSignature .. 9 decipherOnly.
inline constexpr int kUsageAuthentication = 1;  // digitalSignature
inline constexpr int kUsageSigning = 2;         // nonRepudiation

// 0 when the certificate's keyUsage extension has every bit the codes
// name (codes outside 1..9 name none; count < 1 requires nothing), else
// 6002 without a recent-error line. A certificate without the extension
// has no bits. 33002 for null codes with a positive count.
int checkusageextensions(int session, X509* cert, const int* codes, int count);
// "authentication", "signing" or "authentication, signing"; 6012 neither.
int getkeyusage(int session, X509* cert, std::string& out);
// 0 when the first policy of a certificatePolicies extension is one of the
// comma-separated entries of the session's grantedpolicies property (blanks
// around entries ignored; an entry "ALL" grants every policy) or equals
// extraoid (may be null). 6001 otherwise; 2004 when grantedpolicies is
// missing.
int isvalidpolicy(const Session& s, X509* cert, const char* extraoid);
// 0 when the first signer's signing time lies within the validity of every
// signer certificate, or when there is no UTCTime signing time. base64
// codes, 6020 not a PKCS#7 (or a signing time that cannot be converted),
// 6016 no signer information, 6021 no signer certificate, 6022 at or after
// notAfter, 6023 before notBefore (also when a comparison cannot be made).
int issigningtimeincertvalidity(int session, std::string_view pkcs7base64);
// The same over the text's PKCS#7 when p7 holds it (decoded by the caller,
// whose own decode failures came first); otherwise the text is decoded
// into p7, for the checks that follow.
int issigningtimeincertvalidity(int session, std::string_view pkcs7base64, Pkcs7Ptr& p7);

}  // namespace zmr
