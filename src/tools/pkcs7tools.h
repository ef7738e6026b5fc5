// PKCS#7 SignedData and OCSP-response checks: the cryptographic check of one
// SignerInfo, the channel-binding attribute, the signer's digest algorithm,
// signing time, certificates and policy, the DigestInfo for hardware
// signing, and the verification of a validation-authority OCSP answer.
//
// Objects passed in belong to the caller and are only read. The session
// number addresses the calling thread's recent error and, for the OCSP
// check, the session's trust store. Nothing here takes a lock: the OCSP
// check verifies against the session's own store, which OpenSSL lets many
// threads use at once.
#pragma once

#include "misc/status.h"

#include <openssl/ocsp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "misc/ossl.h"

namespace zmr {

struct Session;

// The digest algorithm of a signer, as signerhashalgorithm numbers it.
enum class SignerHash { sha1 = 0, md5 = 1, sha256 = 2 };

// What the data given to a signature check is: the signed bytes, or their
// digest.
enum class DataIs { content = 0, digest = 1 };

// The validation authority's responder policy.
inline constexpr const char* kResponderPolicy = "2.999.10.1.16.1.5.1";

// First element with the given (one-byte) tag in a DER buffer, walking the
// encoding element by element: into the content of every SEQUENCE, over
// every other element whole. nullptr when there is none or when the
// encoding is malformed (a length that leaves its container, indefinite or
// over-long lengths). The element found lies wholly inside the buffer.
const unsigned char* findObject(unsigned char tag, const unsigned char* der, size_t length);

// A DER PKCS#7 ContentInfo that fills the whole buffer exactly.
bool parsepkcs7(const unsigned char* der, size_t length, Pkcs7Ptr& out);

// 0 when a SignerInfo carries the signed attribute nid as an OCTET STRING
// holding exactly "ZMR Channel". Base64 codes, 12009 not a PKCS#7, 12010 not
// signedData, 12011 no SignerInfo, 12012 no SignerInfo has the attribute,
// 12013 not an OCTET STRING, 12014 another value.
int check_signed_attribute(int session, std::string_view pkcs7base64, int nid);
// The same over a parsed PKCS#7 (12010 and on).
int check_signed_attribute(int session, PKCS7* p7, int nid);

// Digest algorithm of the first SignerInfo as signerhashalgorithm. Base64
// codes, 5001 not a PKCS#7, 12001 no SignerInfo or another algorithm.
int getpkcs7signerhashalgorithm(int session, std::string_view pkcs7base64, SignerHash& algorithm);

// 1 when the first SignerInfo has a UTCTime signingTime, else 0 (also for
// input that cannot be read). Writes no recent error.
int pkcs7_has_signingtime(int session, std::string_view pkcs7base64);

// The first SignerInfo's certificate among the PKCS#7's certificates
// (matched by issuer and serial), owned by the PKCS#7. 12001.
int getpkcs7signercert(int session, PKCS7* p7, X509*& out);
// The first PKCS#7 certificate whose subject is the signer certificate's
// issuer, owned by the PKCS#7. 12001.
int getpkcs7issuercert(int session, PKCS7* p7, X509*& out);

// Policy OID of the signer certificate (getpolicyoid). Base64 codes, 5001,
// and the inner codes.
int getpkcs7policyoid(int session, std::string_view pkcs7base64, std::string& out);

// DER DigestInfo of the data for PKCS#1 v1.5 signing in an HSM: SHA-1 for
// a key of exactly 1024 bits (35 bytes), SHA-256 otherwise (51 bytes).
// 12006, 12007, 12008 when digesting fails, 33001.
int createhashforpkcs1(int session, const unsigned char* data, size_t length, std::vector<unsigned char>& out,
                       int64_t keybits);

// 0 when the SignerInfo verifies with the signer certificate over the data
// (or, with DataIs::digest, over data that has this digest):
// messageDigest, the OtherSigningCertificate hash of the signer certificate
// when present, and the RSA PKCS#1 v1.5 signature with its DigestInfo.
// 5007 unsupported digest or bad signature, 12002 no messageDigest, 12003
// messageDigest mismatch, 12004 no public key, 12005 a given digest longer
// than 64 bytes against signed attributes (without them it cannot verify:
// 5007), 12006-12008 digest failures, 12016 signing-certificate hash not
// SHA-256, 12017 certificate not encodable, 12018 signing-certificate hash
// mismatch, 12019 signing-certificate attribute unreadable, 33001; 33002
// without SignerInfo or certificate, or null data of non-zero length.
int pkcs7signatureverify(int session, PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer, const unsigned char* data,
                         size_t length, DataIs dataisdigest);

// ---- OCSP answers ----

// The certificate an answer must speak about. With cert, a single response
// matches when its CertID holds the certificate's serial number and the
// hash of its issuer's name, and, when issuer is given, the hash of the
// issuer's key. Without cert, serial alone is matched. Serials compare as
// integers of any length.
struct OcspSubject {
  X509* cert = nullptr;
  X509* issuer = nullptr;
  const ASN1_INTEGER* serial = nullptr;
};

// How the answer's time is judged.
enum class OcspTime {
  live = 0,    // just received: current now, chain verified now
  stored = 1,  // kept with a signature: judged at its producedAt
};

inline constexpr int64_t kOcspLeewaySeconds = 300;
inline constexpr int64_t kOcspMaxAgeSeconds = 3600;  // for answers without nextUpdate

// An answer that is not current at the time it is judged by: thisUpdate
// later than that time plus the leeway; nextUpdate earlier than that time
// minus the leeway (or earlier than thisUpdate); without nextUpdate,
// thisUpdate older than kOcspMaxAgeSeconds; or times that cannot be read.

// 0 when the basic response is an acceptable answer of the validation
// authority about subject, and then *single (when given) is the matched
// single response, owned by basic; its status is the answer. Checked: the
// nonce against request (when given; only two different nonces fail), the
// responder certificate named by the response's responder ID among the
// response's certificates, the single response matching subject, the
// responder's key usages digitalSignature and nonRepudiation and its policy
// kResponderPolicy exactly, the response signature with that very
// certificate, the responder's chain against the session's trust store
// (with the response's certificates as untrusted intermediates when
// useresponsecerts is non-zero), and the answer's currency (timemode).
// 13009 nonce, 13011 no responder certificate, 13010 no matching single
// response, 6002 usage, 6001 policy, 2026 no trust store, 13023
// signature, 13030/13032 store context, 13031 chain, kOcspNotCurrent;
// 33002 without basic or subject, or for another timemode.
int verifyocspresponse(const Session& s, OCSP_REQUEST* request, OCSP_BASICRESP* basic, const OcspSubject& subject,
                       int useresponsecerts, OcspTime timemode, OCSP_SINGLERESP** single);

}  // namespace zmr
