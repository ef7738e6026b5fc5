// PKCS#7 signatures and OCSP responses made at test time, field by field,
// so that every variant a check must judge can be made: detached or
// attached, any digest, with or without signing time, the signing-
// certificate attributes and the "ZMR Channel" attribute, raw or broken
// attribute values; OCSP answers of every status, signed by any key under
// any responder ID, carrying any certificates, with or without nonce, at
// any time, with several single responses.
//
// The DER is built here (signatures with OpenSSL's EVP layer), not by the
// library's own code, so that tests compare the library with an
// independent maker. Every maker throws std::runtime_error when OpenSSL
// fails (a fault of the test itself).
#pragma once

#include <openssl/ocsp.h>
#include <openssl/pkcs7.h>

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "misc/ossl.h"
#include "support/pki.h"

namespace zmrtest {

inline constexpr const char* kOidSha1 = "1.3.14.3.2.26";
inline constexpr const char* kOidSha256 = "2.16.840.1.101.3.4.2.1";
inline constexpr const char* kOidChannel = "1.2.840.113549.1.9.25.3";
inline constexpr const char* kOidOtherSigningCertificate = "1.2.840.113549.1.9.16.2.19";
inline constexpr const char* kOidSigningCertificateV2 = "1.2.840.113549.1.9.16.2.47";

// ---- PKCS#7 ----

enum class SigningCertAttribute {
  none,
  other,  // 1.2.840.113549.1.9.16.2.19, what the default signing profile writes
  v2,     // 1.2.840.113549.1.9.16.2.47, the ISO profile's
};

struct Pkcs7SignerSpec {
  const TestCert* cert = nullptr;  // certificate and key of the signer
  const EVP_MD* digest = nullptr;  // SHA-256 when null (MD5, SHA-1, SHA-512, ...)
  // false: no signed attributes at all; the signature covers the content.
  bool signedAttributes = true;
  bool signingTime = true;                      // UTCTime of now
  std::optional<std::string> signingTimeDer;    // DER of another signingTime value
  SigningCertAttribute signingCert = SigningCertAttribute::other;
  // The signing-certificate value is SEQUENCE { SEQUENCE { SEQUENCE {
  // OID hashOid, OCTET STRING hash } } } (51 bytes for SHA-256).
  std::string signingCertHashOid = kOidSha256;
  const X509* signingCertOf = nullptr;           // hash of this certificate (the signer's when null)
  std::optional<std::string> signingCertHash;    // raw hash bytes in place of the computed ones
  std::optional<std::string> signingCertValue;   // DER of the whole attribute value
  std::optional<std::string> channel;            // OCTET STRING value of "ZMR Channel"; nullopt: none
  std::optional<std::string> channelValueDer;    // DER of another value of that attribute
  bool messageDigest = true;
  std::optional<std::string> messageDigestValue;  // raw bytes in place of the content's digest
  std::vector<std::pair<std::string, std::string>> extraAttributes;  // (dotted OID, DER value)
  std::optional<std::string> signature;  // raw signature bytes in place of a real signature
};

struct Pkcs7Spec {
  std::string content = "signed content";
  bool detached = true;
  std::vector<Pkcs7SignerSpec> signers;  // SignerInfos in this order (not sorted)
  bool includeSignerCerts = true;         // each signer's certificate, in signer order
  std::vector<const X509*> extraCerts;    // after the signers'
};

// One signer with the default signing profile: contentType, signingTime,
// messageDigest, OtherSigningCertificate; detached.
Pkcs7Spec pkcs7For(const TestCert& signer, const std::string& content = "signed content");

std::string makePkcs7Der(const Pkcs7Spec& spec);
std::string makePkcs7Base64(const Pkcs7Spec& spec);
zmr::Pkcs7Ptr makePkcs7(const Pkcs7Spec& spec);
zmr::Pkcs7Ptr parsePkcs7(const std::string& der);

// Raw RSA private-key operation (no padding) on a block of the modulus's
// length, for signatures whose padding is wrong.
std::string rsaRawSign(EVP_PKEY* key, const std::string& block);
std::string digestOf(const EVP_MD* md, const std::string& data);

// ---- OCSP ----

// GeneralizedTime text of now + offset seconds, "YYYYMMDDHHMMSSZ"; with
// fraction (e.g. ".25") inserted before the Z.
std::string generalizedTimeText(long offset, const std::string& fraction = "");

struct OcspSingleSpec {
  std::optional<std::string> certIdDer;  // DER of the whole CertID as it stands (e.g. a request's), in place of the next four
  const X509* cert = nullptr;    // the certificate answered about
  const X509* issuer = nullptr;  // its issuer: name and key hashes of the CertID
  std::optional<std::string> serial;  // INTEGER content bytes (two's complement) in place of cert's
  const EVP_MD* idDigest = nullptr;   // CertID hash, SHA-1 when null
  int status = V_OCSP_CERTSTATUS_GOOD;  // _GOOD, _REVOKED, _UNKNOWN
  long revokedOffset = -3600;
  long thisUpdateOffset = -60;             // seconds from now
  std::optional<long> nextUpdateOffset = 3600;  // nullopt: no nextUpdate
};

// A response extension: the extension value's bytes as they stand (the
// scheme's own extensions carry bare text there).
struct OcspExtensionSpec {
  std::string oid;
  std::string value;
  bool critical = false;
};

struct OcspSpec {
  const TestCert* signer = nullptr;   // its key signs
  const X509* responderId = nullptr;  // certificate the responder ID names (signer's when null)
  bool responderIdByKey = false;      // byKey (SHA-1 of the key) instead of byName
  // Certificates carried in the response, in order; nullopt: the signer's.
  std::optional<std::vector<const X509*>> certs;
  std::vector<OcspSingleSpec> singles;
  std::optional<std::string> nonce;   // raw nonce bytes, as OpenSSL's nonce extension
  std::vector<OcspExtensionSpec> extensions;  // response extensions after the nonce, in order
  std::string producedAt;             // GeneralizedTime text; "" gives now
  const EVP_MD* digest = nullptr;     // signature digest, SHA-256 when null
};

// An answer signed by responder about cert (issued by issuer): good, fresh,
// no nonce.
OcspSpec ocspFor(const TestCert& responder, const X509* cert, const X509* issuer);

std::string makeOcspBasicDer(const OcspSpec& spec);
zmr::OcspBasicRespPtr makeOcspBasic(const OcspSpec& spec);
zmr::OcspBasicRespPtr parseOcspBasic(const std::string& der);
// The successful OCSPResponse around the basic response.
std::string makeOcspResponseDer(const OcspSpec& spec);
// An OCSPResponse of any status (OCSP_RESPONSE_STATUS_*, or values the
// standard does not define); with type, responseBytes of that type (dotted
// OID) holding octets: another response type, a basic response that does
// not decode, or bytes beside an error status.
std::string makeOcspEnvelopeDer(int status, const std::optional<std::string>& type = std::nullopt,
                                const std::string& octets = "");

// The scheme's additional-information response extensions: the data
// extensions (value: the text) and their status extensions (OID + ".1";
// value "ok" or an error text).
inline constexpr const char* kOidSocialNo = "2.999.10.1.16.3.2";
inline constexpr const char* kOidAccountNo = "2.999.10.1.16.3.1";
inline constexpr const char* kOidOrganisationNo = "2.999.10.1.16.3.3";
inline OcspExtensionSpec additionalData(const std::string& oid, const std::string& text) { return {oid, text}; }
inline OcspExtensionSpec additionalStatus(const std::string& oid, const std::string& text) {
  return {oid + ".1", text};
}
// A request about cert (SHA-1 CertID), with OpenSSL's nonce extension when
// nonce is given.
zmr::OcspRequestPtr makeOcspRequest(const X509* cert, const X509* issuer,
                                    const std::optional<std::string>& nonce = std::nullopt);

}  // namespace zmrtest
