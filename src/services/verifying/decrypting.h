// Decryption with the central verifier key: an RSA key that the scheme's
// other parties encrypt to, kept by the merchant as a password-protected
// PKCS#8 file and read once per merchant session.
#pragma once

#include <string_view>

#include "misc/secret.h"

namespace zmr {

// The label of the verifier key's object in an HSM.
inline constexpr const char* kVerifierKeyLabel = "CentralVerifier";

// Decrypts base64 ciphertext (RSA PKCS#1 v1.5) with the session's central
// verifier key and hands back the plaintext in base64. The first call on a
// session loads the key from the DER PKCS#8 EncryptedPrivateKeyInfo at
// path with password (PBES2 or the PKCS#5/PKCS#12 schemes, legacy ones
// included) and, in an HSM session, imports it into the module; once that
// has succeeded, path and password are no longer read. Loading runs once
// per session however many threads call, and delays no other session.
// Codes: 22001 file cannot be opened, 22002 not a PKCS#8 EncryptedPrivateKeyInfo,
// 22003 cannot be decrypted (wrong password), 22004 not an RSA key, 22005
// the ciphertext does not decrypt, 22006; base64 codes; in an HSM session
// 25xxx (25037 the module refuses the ciphertext).
int assymetricdecrypt(int session, const char* path, std::string_view password, std::string_view input,
                      SecretString& out);

}  // namespace zmr
