// The PKCS#11 client: the merchant's keys kept in a hardware security module.
//
// The driver is loaded once at library start-up and released at shut-down;
// neither runs concurrently with anything else. Each merchant session that
// uses the HSM holds one long-lived PKCS#11 session (logged in) from
// hsm_opensession to hsm_closesession; callers serialise those two under the
// named mutex "hsm_client". Signing, decryption and the verifier-key import
// take no lock: each call runs in a PKCS#11 session of its own, opened and
// closed within the call on every path.
//
// Failures return a 25xxx code (store codes pass through) and append the
// operation's recent-error line, followed by "The PKCS#11 error was: NAME"
// when a driver call answered something other than CKR_OK.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

#include "hsm/pkcs11.h"
#include "misc/secret.h"
#include "store/sessionstore.h"

namespace zmr {

// Largest signature or plaintext the module may hand back.
inline constexpr size_t kHsmResultMax = 4096;

// Start-up and shut-down. hsm_loaddriver: 0, 25001 when the library cannot
// be opened or a driver is already loaded, or the code of the first missing
// entry point; a failed load leaves nothing loaded. hsm_initialize: 0 or
// 25003 (also when the module was already initialised by the host); a
// failure unloads the driver, and a module the library did not initialise
// is never finalised by it. hsm_finalize: 0 (also with no driver) or 25017,
// in which case the driver stays loaded.
int hsm_loaddriver(const char* path);
int hsm_initialize();
int hsm_finalize();
// Whether a driver is loaded (the entry points are usable).
bool hsm_driverloaded();

// Opens and logs in the merchant session's long-lived PKCS#11 session, on a
// state that is still being opened. A slot below 0 is found by the key
// label (findslotforlabel). On success the state holds the session handle,
// the slot and the PIN, and its last user ends that session when it drops
// the state; on failure nothing of this call stays open.
int hsm_opensession(Session& state, const std::string& label, int32_t slot, std::string_view pin);
// Logs out (unless another live merchant session holds the same slot) and
// closes the long-lived session; clears the stored handle. 0 when the
// session holds no PKCS#11 session.
int hsm_closesession(Session& state);
// hsm_closesession under "hsm_client".
int hsm_endsession(Session& state);

// RSA mechanisms: CKM_RSA_PKCS, CKM_RSA_PKCS_OAEP (SHA-1, MGF1-SHA1, no
// label; decryption only), or CKM_RSA_X_509 (the raw block, as long as the
// modulus; the caller checks its padding).
enum class HsmRsa { pkcs1, oaep, raw };

// Signs data (a complete DigestInfo for HsmRsa::pkcs1; HsmRsa::raw gives
// CKM_RSA_X_509, anything else CKM_RSA_PKCS) with the private key of that
// label.
int hsm_signdata(const Session& state, const unsigned char* data, size_t length, std::vector<unsigned char>& signature,
                 const std::string& label, HsmRsa mechanism);

// Decrypts with the private key of *label, or with the session's imported
// verifier key when label is null. Every failure is reported, C_Decrypt's
// with 25037: callers that must not reveal what the module thought of a
// ciphertext decrypt raw blocks and judge them themselves.
int hsm_decrypt(const Session& state, const unsigned char* data, size_t length, SecretBytes& plaintext,
                const std::string* label, HsmRsa mechanism);
// Finds the private key of that label in the session's token, or imports
// key (a complete RSA private key) under it as a token object; stores the
// object handle as the session's verifier key handle.
int hsm_createp11privkeyhandle(Session& state, EVP_PKEY* key, const std::string& label);

// The first slot whose token, logged in with pin, holds an object with that
// label. lastrv (optional) receives the answer of the failing driver call.
int findslotforlabel(int session, std::string_view pin, const std::string& label, uint64_t& slot,
                     CK_RV* lastrv = nullptr);
// The private-key object of that label seen by the PKCS#11 session h.
int findprivatekeyhandle(int session, CK_SESSION_HANDLE h, const std::string& label, CK_OBJECT_HANDLE& object,
                         CK_RV* lastrv = nullptr);

// Appends "The PKCS#11 error was: NAME\n" when both code and rv are non-zero.
void appendpkcs11errorcode(int session, int code, CK_RV rv);
// Name of a return value without the CKR_ prefix, or
// "UNKNOWN_CRYPTOKI_ERRORCODE".
const char* pkcs11errorname(CK_RV rv);

}  // namespace zmr
