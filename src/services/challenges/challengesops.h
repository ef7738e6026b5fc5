// The merchant's half of mutual authentication with the end user's client,
// and the signed channel text that binds a client's signature to the
// merchant's request parameters.
//
// Each operation checks its session, clears the calling thread's recent
// error on entry and reports failures by code and recent-error line.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "misc/ossl.h"
#include "store/sessionstore.h"

namespace zmr {

// The server challenge's random part.
inline constexpr size_t kServerRandomLength = 20;
// The length of the merchant reference framed into a mobile challenge.
inline constexpr size_t kMobileReferenceLength = 6;

// Signs the decoded client challenge with the authentication key ("ZMR
// Channel" attribute) into signature, and makes the server challenge the
// client must sign in turn, in base64: 20 random bytes followed by the
// webaddress property, or, with a non-empty header (base64 of a Latin-1
// text naming the merchant), the header text converted for a phone (up to
// its first zero byte, a last "(" dropped), framed with a fresh reference
// of six letters or digits when flag is "true". A failure after the
// signing leaves signature set. Codes: 2009, base64 codes, 2004 (no
// webaddress), signing codes, 16001 (no random bytes), 6024/6026 (no
// merchant name), 16002 (the name is not in the header), 38001.
int authenticateserver(int session, std::string& signature, std::string& serverchallenge,
                       std::string_view clientchallenge, std::optional<std::string_view> header,
                       std::optional<std::string_view> flag);
// The same for operations that hold the state already.
int authenticateserver(const Session& s, std::string& signature, std::string& serverchallenge,
                       std::string_view clientchallenge, std::optional<std::string_view> header,
                       std::optional<std::string_view> flag);

// 0 when the client's base64 PKCS#7 verifies over the decoded server
// challenge: digitalSignature, the granted policy, then the whole chain.
// Base64 codes, verifydata's codes.
int authenticateclient(int session, std::string_view clientpkcs7, std::string_view serverchallenge);
// The same for operations that hold the state already.
int authenticateclient(const Session& s, std::string_view clientpkcs7, std::string_view serverchallenge);
// The same, handing the verified signature's PKCS#7 to parsed (when given).
int authenticateclient(const Session& s, std::string_view clientpkcs7, std::string_view serverchallenge,
                       Pkcs7Ptr* parsed);

// The channel text "h=" H, then "&key=value" for each of the calling
// thread's info items whose lower-cased key holds "c_" (in their order,
// keys lower-cased, values as stored), H being the base64 SHA-256 (SHA-1
// for a signer key of at most 1024 bits) of the PKCS#7's DER. The PKCS#7
// must carry the "ZMR Channel" attribute; its own signature is not
// checked. signature receives a PKCS#7 over the text by the authentication
// key when the PKCS#7's signer is for authentication only, else by the
// signing key; channel the base64 of the text. Codes: 2009, 8xxx (the
// PKCS#7), 12009-12014 (no channel attribute), 2022 (no channel item),
// signing and base64 codes. A failure of the last step leaves signature
// set.
int createsecurechannel(int session, std::string_view pkcs7, std::string& signature, std::string& channel);

// What the channel needs of the PKCS#7's signer certificate: its key size
// for the digest, and the certificate, whose key usage picks the merchant
// key once the channel text is made.
struct ChannelSigner {
  int64_t keybits = 0;  // as getpkcs7info's "keysize"
  X509* cert = nullptr;
};
ChannelSigner channelsigner(int session, X509* cert);
// The channel text of a PKCS#7 whose signer is known, and its signature:
// createsecurechannel's steps after the PKCS#7 was read. The builders call
// it for the merchant's own PKCS#7, made with the channel attribute by a
// certificate they hold, so that nothing needs parsing again.
int signchannel(const Session& s, std::string_view pkcs7, const ChannelSigner& signer, std::string& signature,
                std::string& channel);

}  // namespace zmr
