// The hybrid scheme of every encrypted message the library exchanges with
// end users' clients and with the central servers.
//
// A message carries encKey (a 32-byte base key wrapped with RSA PKCS#1 v1.5
// for the receiver), encData (AES-256-CBC with PKCS#7 padding) and encAuth
// (HMAC-SHA1), each in base64. Encryption key, IV (its first 16 bytes) and
// MAC key are HMAC-SHA256 of the base key over the labels of the request or
// the response set. The tag covers
//   - the ciphertext bytes, then the wrapped-key bytes, in requests the
//     library sends to a central server;
//   - the texts operation, encData, encKey and extra, as received, in
//     requests from a client;
//   - the ciphertext bytes alone in every response.
// A tag is always checked (in constant time) before anything is decrypted.
//
// Nothing is kept between calls and no lock is taken: any number of
// threads may encrypt and decrypt at once. Base keys travel between calls
// as base64 text.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "misc/ossl.h"
#include "misc/secret.h"
#include "store/sessionstore.h"

namespace zmr {

inline constexpr size_t kBaseKeyLength = 32;
inline constexpr size_t kSubKeyLength = 32;
inline constexpr size_t kIvLength = 16;
inline constexpr size_t kTagLength = 20;

// A derived key; wiped when it goes.
struct SubKey {
  std::array<unsigned char, kSubKeyLength> bytes{};
  SubKey() = default;
  SubKey(const SubKey&) = delete;
  SubKey& operator=(const SubKey&) = delete;
  ~SubKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// The sub-key labels of one direction.
struct KeyLabels {
  const char* encryption;
  const char* iv;
  const char* authentication;
};
inline constexpr KeyLabels kRequestLabels = {"requestEncryptionKey", "requestInitVector", "requestAuthenticationKey"};
inline constexpr KeyLabels kResponseLabels = {"responseEncryptionKey", "responseInitVector",
                                              "responseAuthenticationKey"};

// A request for a central server, all four texts in base64.
struct EncryptedRequest {
  SecretString basekey;  // kept by the caller to open the reply
  std::string enckey;
  std::string encdata;
  std::string encauth;
};

// Pairs from which the answer to a client's verification request is built,
// rendered key=form-encoded value, joined by "&", in order.
struct values {
  std::vector<std::pair<std::string, std::string>> pairs;
};

// ---- operations ----

// Merchant to central server: a fresh base key wrapped under the RSA public
// key of hexadecimal modulus (exponent 65537). Clears the recent error;
// 2009, 44001 (random draw or wrapping), 24xxx, 33001, base64 codes.
int encrypttransactiondata(int session, std::string_view plain, std::string_view modulushex, EncryptedRequest& out);

// Client to merchant: unwraps encKey with the session's authentication key
// (in the HSM when the session has one), checks the tag over operation,
// encData, encKey and extra, then decrypts. Clears the recent error. A
// malformed encKey is never told apart from a wrong tag: both give 40051;
// a key or module that fails on a well-formed one is reported (22005,
// 25xxx). Codes: 2009, 21002 (base64), 22005, 22006, 25xxx, 40050,
// 40051, 23xxx, 33001. basekey (base64) and plain are set only on success.
int decrypttransactiondata(int session, std::string_view enckey, std::string_view encdata, std::string_view encauth,
                           std::string_view operation, std::optional<std::string_view> extra, SecretString& plain,
                           SecretString& basekey);
// The same for operations that hold the state already.
int decrypttransactiondata(const Session& s, std::string_view enckey, std::string_view encdata,
                           std::string_view encauth, std::string_view operation, std::optional<std::string_view> extra,
                           SecretString& plain, SecretString& basekey);

// Central server to merchant: the reply to a request of
// encrypttransactiondata, opened with its base64 base key. Neither checks
// the session nor clears the recent error. 21002, 40050, 40051, 23xxx, 33001.
int decrypttransactionresponse(int session, std::string_view basekey, std::string_view encdata,
                               std::string_view encauth, SecretString& plain);

// Merchant to client: "encData=...&encAuth=..." (both form-encoded) under
// the response keys of the client's base64 base key. No session check, no
// clearing. 21002, 24xxx, 39007, 33001.
int encrypt_response(int session, std::string_view plain, std::string_view basekey, std::string& answer);

// The same over the pairs of v; no pairs: 33001 "No values to encrypt.".
int values_encrypt(const values& v, int session, std::string_view basekey, std::string& answer);

// ---- building blocks ----

// The work of encrypt_response and values_encrypt, with their message prefix.
int encryptanswer(int session, std::string_view plain, std::string_view basekey, std::string_view prefix,
                  std::string& answer);

// RSA PKCS#1 v1.5 encryption of the 32-byte base key under the public key
// of modulushex (1 to 4096 bits of hexadecimal digits) and exponent 65537.
// 44001 for a modulus that is not such a text or a failed encryption.
int protectBaseKey(int session, std::span<const unsigned char> basekey, std::string_view modulushex,
                   std::vector<unsigned char>& wrapped);

// HMAC-SHA256 of the base key (its whole length) over label. 0 or 33001.
int deriveKeyMaterial(std::span<const unsigned char> basekey, std::string_view label, SubKey& out);

// The same for several labels under one base key, keyed once: each further
// sub-key costs the MAC of its label only. The base key must outlive it.
class KeyDeriver {
 public:
  explicit KeyDeriver(std::span<const unsigned char> basekey) : basekey_(basekey) {}
  // 0 or 33001.
  int derive(std::string_view label, SubKey& out);

 private:
  std::span<const unsigned char> basekey_;
  EvpMacCtxPtr keyed_;  // keyed with basekey_ (wiped when freed)
};

// HMAC-SHA1 of message under key (computing form). 0 or 33001.
int authenticateMessage(std::span<const unsigned char> key, std::span<const unsigned char> message,
                        std::array<unsigned char, kTagLength>& tag);
// Checking form: 0 when received is the tag of message, 40050 when it is
// not 20 bytes long, 40051 when it differs (compared in constant time),
// 33001 when the MAC cannot be computed.
int authenticateMessage(std::span<const unsigned char> key, std::span<const unsigned char> message,
                        std::span<const unsigned char> received);

// AES-256-CBC with PKCS#7 padding under a 32-byte key and the first 16
// bytes of iv. Encryption: 24001 set-up (also a key or IV of the wrong
// size), 24002 update, 24003 finish; decryption: 23001, 23002, 23003 (a
// wrong key, IV or padding). Prefix "symmetricdecrypt::symmetricEncrypt2: "
// / "symmetricdecrypt::symmetricDecrypt2: ".
int symmetricEncrypt2(int session, std::span<const unsigned char> key, std::span<const unsigned char> iv,
                      std::span<const unsigned char> plain, std::vector<unsigned char>& out);
int symmetricDecrypt2(int session, std::span<const unsigned char> key, std::span<const unsigned char> iv,
                      std::span<const unsigned char> cipher, SecretString& out);

// Bytes of a text, for the spans above.
inline std::span<const unsigned char> bytesof(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

}  // namespace zmr
