// Test PKI: RSA (and other) keys, certificates of every role the library
// meets, and hashed trust-store directories, all made at test time.
//
// Keys are slow to make, so each one is made once and kept: in memory for
// the process and as PEM under ZMR_TEST_TMPDIR/keycache for later processes
// (each test case runs in its own process). Certificates are cheap and are
// made fresh; by default they started a day ago and end in ten years.
#pragma once

#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

#include "misc/ossl.h"

namespace zmrtest {

// Object identifiers of the scheme as the library reads them.
inline constexpr const char* kPolicyPersonal = "2.999.10.1.16.1.12.2.1";
inline constexpr const char* kPolicySignOnly = "2.999.10.1.16.1.14.1";
inline constexpr const char* kPolicyMerchantAuth = "2.999.10.1.16.1.14.2";
inline constexpr const char* kPolicyResponder = "2.999.10.1.16.1.5.1";
inline constexpr const char* kOidOriginator = "2.999.10.1.16.2.1";
inline constexpr const char* kOidBankName = "2.999.10.1.16.2.2";
inline constexpr const char* kOidTelephoneNumber = "2.5.4.20";
inline constexpr const char* kOidDateOfBirth = "1.3.6.1.5.5.7.9.1";

// Root common names of the four environments (1..4); "" for any other.
std::string environmentRootName(int environment);

// RSA key of the given size (1024, 2048, 3072, 4096, ...). Equal arguments
// give the same key; different indexes give different keys. The result is
// the caller's reference (up-ref of the cached key). Thread-safe.
zmr::EvpPkeyPtr testKey(int bits, int index = 0);
// Keys of other types: "ec" (P-256), "dsa" (2048-bit), "ed25519".
zmr::EvpPkeyPtr testKeyOfType(const std::string& type, int index = 0);

// One subject-name entry. field is an OpenSSL name ("CN", "O", "OU", "C",
// "serialNumber", "emailAddress", or a dotted OID). type is MBSTRING_UTF8
// (OpenSSL chooses the string type; UTF-8 input) or a V_ASN1_* string type,
// in which case value holds the raw content bytes as stored.
struct NameEntry {
  std::string field;
  std::string value;
  int type = 0x1000;  // MBSTRING_UTF8
};

// One extension given as its DER value, added as it is.
struct RawExtension {
  std::string oid;
  std::string der;
  bool critical = false;
};

// Helpers for DER values (extension contents), built independently of the
// library's own decoders.
namespace der {
std::string tlv(unsigned char tag, const std::string& content);
std::string seq(const std::string& content);
std::string set(const std::string& content);
std::string oid(const std::string& dotted);
std::string octets(const std::string& bytes);
std::string printable(const std::string& text);
std::string utf8(const std::string& text);
std::string ia5(const std::string& text);
std::string generalizedTime(const std::string& text);  // e.g. "19800101120000Z"
std::string utcTime(const std::string& text);          // e.g. "800101120000Z"

// One element read back: its (single-byte) tag, content and whole encoding.
struct Element {
  unsigned char tag = 0;
  std::string content;
  std::string whole;
};
// The elements of bytes one after another (use it again on a content to
// descend). Throws std::runtime_error on multi-byte tags, indefinite
// lengths and elements that run past the end.
std::vector<Element> elements(const std::string& bytes);
}  // namespace der

// An attribute of the subjectDirectoryAttributes extension: type OID and
// the DER of each value (e.g. der::printable("+4712345678")).
struct DirectoryAttribute {
  std::string oid;
  std::vector<std::string> values;
};

// Extension makers (the scheme's own ones in the layout the library reads).
RawExtension bankNameExtension(const std::string& text);    // SEQUENCE { OCTET STRING }
RawExtension originatorExtension(const std::string& text);  // SEQUENCE { OCTET STRING }
RawExtension subjectDirectoryExtension(const std::vector<DirectoryAttribute>& attributes);
RawExtension policiesExtension(const std::vector<std::string>& oids);
// An extension whose value is the given bytes, for malformed contents.
RawExtension rawExtension(const std::string& oid, const std::string& der);

struct CertSpec {
  std::vector<NameEntry> subject;  // in order; empty gives an empty name
  // Serial: decimal text (may be negative) or "0x" and hex digits, any
  // length; else serialBytes (big-endian magnitude); else 8 random bytes.
  std::string serial;
  std::vector<unsigned char> serialBytes;
  int version = 3;                      // 1 gives no extension list at all
  long notBeforeOffset = -86400;        // seconds from now
  long notAfterOffset = 10L * 365 * 86400;
  std::optional<std::string> notBefore;  // absolute: 13 chars UTCTime, else GeneralizedTime
  std::optional<std::string> notAfter;
  // Subject key: key if set (borrowed), else keyType ("rsa", "ec", ...) with
  // keyBits and keyIndex through the key cache.
  EVP_PKEY* key = nullptr;
  std::string keyType = "rsa";
  int keyBits = 2048;
  int keyIndex = 0;
  const EVP_MD* digest = nullptr;  // SHA-256 when null
  bool ca = false;
  int pathlen = -1;                 // with ca: -1 leaves it out
  std::optional<int> keyUsage;      // OpenSSL KU_* mask (0x80 digitalSignature .. 0x8000 decipherOnly); 0 gives an empty BIT STRING
  std::vector<std::string> extKeyUsage;  // names ("serverAuth", "OCSPSigning") or OIDs
  std::vector<std::string> policies;     // one certificatePolicies extension, in order
  std::optional<std::string> ocspUrl = "http://127.0.0.1";  // AIA OCSP entry; nullopt: none
  std::vector<std::string> caIssuers;    // AIA caIssuers URIs (written before the OCSP entry)
  std::vector<std::string> sanIp;        // IPv4 dotted texts
  std::vector<std::string> sanDns;
  std::vector<std::string> sanEmail;
  std::optional<std::string> bankName;
  std::optional<std::string> originator;
  std::optional<std::string> phoneNumber;   // PrintableString telephoneNumber attribute
  std::optional<std::string> dateOfBirth;   // GeneralizedTime text, e.g. "19800101120000Z"
  bool keyIdentifiers = true;               // subject and authority key identifiers
  std::vector<RawExtension> extensions;     // added after all of the above, in order
  bool emptyExtensionList = false;          // an extension list present but empty (no extension at all)
};

// A certificate with its private key. Copies share the objects (up-ref).
struct TestCert {
  zmr::X509Ptr cert;
  zmr::EvpPkeyPtr key;

  TestCert() = default;
  TestCert(const TestCert& other);
  TestCert& operator=(const TestCert& other);
  TestCert(TestCert&&) = default;
  TestCert& operator=(TestCert&&) = default;

  X509* get() const { return cert.get(); }
  std::string pem() const;
  std::string der() const;
  std::string derBase64() const;  // one line
  std::string keyPem() const;     // unencrypted PKCS#8
};

// Issues the certificate that the description asks for, signed by issuer (self-signed when null).
// Throws std::runtime_error when OpenSSL fails (a fault of the test itself).
TestCert makeCert(const CertSpec& spec, const TestCert* issuer = nullptr);

// Specs of the usual roles, to adjust before makeCert.
CertSpec rootSpec(const std::string& commonName);  // "" gives a root without CN
CertSpec issuingCaSpec(const std::string& commonName = "Zelmor Issuing CA");
CertSpec merchantAuthSpec();  // digitalSignature, kPolicyMerchantAuth, bank name, originator
CertSpec merchantSignSpec();  // nonRepudiation, kPolicySignOnly, bank name, originator
CertSpec endUserSpec();       // digitalSignature + nonRepudiation, kPolicyPersonal, phone, birth date
CertSpec responderSpec();     // digitalSignature + nonRepudiation, OCSPSigning, kPolicyResponder
// TLS server: serverAuth, SAN IP 127.0.0.1 and DNS localhost; with
// wrongHost the SANs and CN name only "wrong.invalid".
CertSpec serverSpec(bool wrongHost = false);

// Every role of one environment, issued under one root and issuing CA.
struct TestPki {
  int environment = 0;
  TestCert root;
  TestCert ca;            // issuing CA under root
  TestCert merchantAuth;  // under ca
  TestCert merchantSign;
  TestCert endUser;
  TestCert responder;
  TestCert server;
  // root and ca, for trust stores and key files.
  std::vector<const X509*> caCerts() const { return {root.get(), ca.get()}; }
};
// An end user as the scheme issues one: an authentication certificate
// (digitalSignature) and a signing certificate (nonRepudiation), both of
// the personal policy, under the PKI's issuing CA. Users of different
// indexes have keys, serial numbers and names of their own; name "" gives
// "Ola Nordmann" for index 0 and "Ola Nordmann <index>" for the others.
struct EndUser {
  std::string name;  // common name of both certificates
  TestCert auth;
  TestCert sign;
  TestCert ca;  // the issuing CA
};
// environment 1..4 names the root after it; any other value gives a root
// named "Zelmor Root CA2". Each environment uses its own keys (indexes
// 8*environment and up; 40 and up for the others), the role descriptions alone
// use indexes 0..6.
TestPki makePki(int environment = 2);

EndUser makeEndUser(const TestPki& pki, int index = 0, const std::string& name = "");

// Writes certs into dir as a hashed CA directory: <subject hash>.0, .1, ...
// as OpenSSL's CA-path lookup expects. Returns false on failure.
bool writeTrustStore(const std::string& dir, const std::vector<const X509*>& certs);

std::string toPem(const X509* cert);
std::string toDer(const X509* cert);
zmr::X509Ptr fromPem(const std::string& pem);

}  // namespace zmrtest
