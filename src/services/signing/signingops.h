// Signing with the merchant's own keys: detached PKCS#7, bare PKCS#1, the
// signed ZelmorXML envelope and the enveloping XML-DSig document. Keys come
// from the key file (software) or, in an HSM session, from the PKCS#11
// module under the session's key labels; both give the same bytes.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

// Which key pair signs; the values are the certificate types of old.
enum class KeyRole { signing = 0, authentication = 1 };

// Whether a detached signature carries the channel attribute.
enum class ChannelNonce { without = 0, with = 1 };

// Every digest the merchant makes: SHA-1 for a 1024-bit authentication key,
// SHA-256 otherwise (also without an authentication certificate).
inline const EVP_MD* merchantdigest(int64_t keybits) { return keybits == 1024 ? EVP_sha1() : EVP_sha256(); }

// Which signed attributes a signing-key signature carries.
enum class CmsProfile {
  fromitem,  // the thread's info item cmsFormat decides (and is taken)
  standard,  // signingCertificate and signingTime, whatever the item holds
};

// Detached PKCS#7 SignedData over the bytes, as one line of base64 in out
// (empty on failure). ChannelNonce::with adds the channel attribute. With
// CmsProfile::fromitem, the info item cmsFormat = "PKCS7_ISO320001" with
// the signing role selects the ISO profile (signingCertificateV2, no
// signingTime). The overloads taking the state are for operations that
// hold it already.
int signdata(int session, const unsigned char* data, size_t length, std::string& out, KeyRole role, ChannelNonce nonce);
int signdata(const Session& s, const unsigned char* data, size_t length, std::string& out, KeyRole role,
             ChannelNonce nonce, CmsProfile profile = CmsProfile::fromitem);
// The same at the moment now (its signingTime), for tests that compare
// whole outputs.
int signdata(const Session& s, const unsigned char* data, size_t length, std::string& out, KeyRole role,
             ChannelNonce nonce, CmsProfile profile, std::time_t now);
inline int signdata(int session, std::string_view data, std::string& out, KeyRole role, ChannelNonce nonce) {
  return signdata(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, role, nonce);
}
inline int signdata(const Session& s, std::string_view data, std::string& out, KeyRole role, ChannelNonce nonce,
                    CmsProfile profile = CmsProfile::fromitem) {
  return signdata(s, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, role, nonce, profile);
}

// RSA PKCS#1 v1.5 signature over the bytes, in base64 (empty on failure).
int signdatap1(int session, const unsigned char* data, size_t length, std::string& out, KeyRole role);
int signdatap1(const Session& s, const unsigned char* data, size_t length, std::string& out, KeyRole role);
inline int signdatap1(int session, std::string_view data, std::string& out, KeyRole role) {
  return signdatap1(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, role);
}
inline int signdatap1(const Session& s, std::string_view data, std::string& out, KeyRole role) {
  return signdatap1(s, reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, role);
}

// The XML and XSL (each ending at its length or at its first NUL) wrapped in
// the ZelmorXML envelope; pkcs7 receives signdata's result over it (signing
// key, nonce), envelope the base64 of the envelope text.
int signxml(int session, const char* xml, size_t xmllength, const char* xsl, size_t xsllength, std::string& pkcs7,
            std::string& envelope);
int signxml(const Session& s, const char* xml, size_t xmllength, const char* xsl, size_t xsllength, std::string& pkcs7,
            std::string& envelope);

// Enveloping XML-DSig document over the order text, signed with the signing
// key, whose certificate must carry the sign-only policy; days receives the
// whole days until that certificate expires. When only the days cannot be
// computed, document is filled all the same and the code is returned.
int createxmldsig(int session, std::string_view order, std::string& document, int& days);

// ---- steps shared by the signers ----

// Recent-error lines and codes of one caller of softwaresign, by step.
struct SoftwareSignLines {
  int initcode;
  const char* init;
  int updatecode;
  const char* update;
  int finalcode;
  const char* final;  // also for a key that is not RSA, and a signature that does not verify
};
// RSA PKCS#1 v1.5 with the software key into a buffer sized from the key,
// checked with the key's public half before it is handed out; a failing
// step appends its line and returns its code.
int softwaresign(int session, EVP_PKEY* key, const EVP_MD* md, const unsigned char* data, size_t length,
                 const SoftwareSignLines& lines, std::vector<unsigned char>& signature);

// Recent-error lines and codes of one caller of hsmsign.
struct HsmSignLines {
  const char* nodigestinfo;  // 4012
  const char* signfailed;    // 4009
  const char* toolarge;
  int toolargecode;
};
// PKCS#1 v1.5 in the HSM with the key of label over the DigestInfo of the
// data (digest by keybits): 4012 when the DigestInfo cannot be built, 4009
// when the module fails, toolargecode above 4096 bytes.
int hsmsign(const Session& s, const std::string& label, const unsigned char* data, size_t length, int64_t keybits,
            const HsmSignLines& lines, std::vector<unsigned char>& signature);

}  // namespace zmr
