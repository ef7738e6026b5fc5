// The transaction-data scheme, written for the tests on its own from
// OpenSSL alone (none of the library's code), for both ends: the end
// user's client and the central servers. Tests use it as the other party
// of every exchange, so a fault shared by the library's encryption and
// decryption cannot hide behind a round trip through the library alone.
//
// Wire form: encKey = base64(RSA PKCS#1 v1.5 of a 32-byte base key),
// encData = base64(AES-256-CBC), encAuth = base64(HMAC-SHA1). Sub-keys are
// HMAC-SHA256(base key, label) over the request or response labels; the IV
// is the first 16 bytes of its sub-key. The tag covers
//   client request:   operation || encData || encKey || extra (the texts)
//   merchant request: ciphertext || wrapped key (the bytes)
//   every response:   ciphertext.
// Byte strings are held in std::string.
#pragma once

#include <openssl/evp.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zmrtest::tx {

// ---- primitives ----
std::string randomBytes(size_t n);
std::string b64(const std::string& bytes);
// Strict standard base64; false for anything else.
bool unb64(const std::string& text, std::string& bytes);
std::string hmacSha256(const std::string& key, const std::string& data);
std::string hmacSha1(const std::string& key, const std::string& data);
std::string aesEncrypt(const std::string& key, const std::string& iv, const std::string& plain);
bool aesDecrypt(const std::string& key, const std::string& iv, const std::string& cipher, std::string& plain);
std::string rsaWrap(EVP_PKEY* publicKey, const std::string& basekey);
bool rsaUnwrap(EVP_PKEY* privateKey, const std::string& wrapped, std::string& basekey);
// Upper-case hexadecimal modulus of an RSA key, as the library takes it.
std::string modulusHex(EVP_PKEY* key);

struct SubKeys {
  std::string enc, iv, mac;  // iv: 16 bytes
};
SubKeys requestKeys(const std::string& basekey);
SubKeys responseKeys(const std::string& basekey);

// ---- forms ----
using Form = std::vector<std::pair<std::string, std::string>>;
// Letters, digits and . - * _ kept, space "+", others %XX (upper case).
std::string formEncode(const std::string& text);
bool formDecode(const std::string& text, std::string& out);
std::string renderForm(const Form& form);
// Pairs split at "&" and the first "=", both sides decoded; false when a
// part does not decode.
bool parseForm(const std::string& text, Form& out);
// First value of key (exact), or nullopt.
std::optional<std::string> field(const Form& form, const std::string& key);
// The keys, in order.
std::vector<std::string> names(const Form& form);

// ---- the three texts of a message ----
struct Envelope {
  std::string encKey, encData, encAuth;  // base64; encKey empty in responses
};

// Client side: a request to the merchant under the merchant's
// authentication key. basekey empty: 32 fresh bytes. The base key used is
// returned through usedKey.
Envelope clientRequest(EVP_PKEY* merchantKey, const std::string& plain, const std::string& operation,
                       const std::optional<std::string>& extra, const std::string& basekey = "",
                       std::string* usedKey = nullptr);
// The same with an already wrapped key (for tampered or foreign blocks).
Envelope clientRequestWrapped(const std::string& wrapped, const std::string& basekey, const std::string& plain,
                              const std::string& operation, const std::optional<std::string>& extra);
// Client side: opens the merchant's answer "encData=...&encAuth=...".
bool openAnswer(const std::string& basekey, const std::string& answer, std::string& plain);

// Central-server side: opens a merchant's request (checks the tag over
// ciphertext and wrapped key first). Why it failed goes to *why.
bool openMerchantRequest(EVP_PKEY* serverKey, const Envelope& request, std::string& basekey, std::string& plain,
                         std::string* why = nullptr);
// Merchant side, for checking the server side: a request to a server.
Envelope merchantRequest(EVP_PKEY* serverKey, const std::string& plain, const std::string& basekey = "");
// Central-server side: the reply to a request of that base key.
Envelope serverResponse(const std::string& basekey, const std::string& plain);
// Generic response (merchant answer or server reply) check and decryption.
bool openResponse(const std::string& basekey, const std::string& encData, const std::string& encAuth,
                  std::string& plain);

}  // namespace zmrtest::tx
