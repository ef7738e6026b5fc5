// The merchant key file: a PKCS#12 file with the merchant's authentication
// and signing certificates and keys (or, for an HSM, the certificates only,
// whose local key identifiers name the keys in the HSM) and the CA chain.
//
// Format as read here:
// - PKCS#12 password: the merchant password hardened (hardenpassword).
// - The MAC must verify. Safes are data or password-encrypted (modern PBES2
//   or the legacy PKCS#12 algorithms); only the first bag of each safe
//   counts.
// - Certificate bag with a localKeyID: a merchant certificate (at most two).
//   Without one: a CA certificate; a self-signed one names the environment
//   by its common name. At most two distinct CA certificates are kept.
// - Key bag or shrouded key bag with a localKeyID: a merchant key (at most
//   two), paired with the certificate of the same localKeyID. There are no
//   keys (HSM layout) or exactly one per certificate, and every key must
//   match its certificate.
// - Which pair authenticates and which signs follows from key usage
//   (digitalSignature / nonRepudiation). A file with one certificate and its
//   key is sign-only and must carry the sign-only policy.
#pragma once

#include <openssl/types.h>

#include <string>
#include <string_view>

#include "misc/ossl.h"
#include "misc/secret.h"
#include "store/sessionstore.h"

namespace zmr {

// The fixed 20-byte hardening salt: SHA-1 of the ASCII text
// "libzmr merchant key file hardening salt".
inline constexpr unsigned char kKeyFileSalt[20] = {0x34, 0x1f, 0xd7, 0xf9, 0xcc, 0x80, 0xf1, 0x60, 0x40, 0x3d,
                                                   0x05, 0xb5, 0x11, 0x1d, 0x7b, 0x8b, 0x5c, 0xbc, 0xff, 0x3c};

inline constexpr const char* kSignOnlyPolicy = "2.999.10.1.16.1.14.1";

// The PKCS#12 password of a merchant password: x = the password's bytes;
// 1000 times x = SHA-1(MD5(x || salt) || salt); then base64(x) and CR LF
// (30 characters). 0, or 33001.
int hardenpassword(std::string_view password, SecretString& out);

// Loads the key file into a session being opened (PendingSession). In HSM
// mode the localKeyIDs are taken as text and stored as key labels;
// otherwise a certificate's label, where one is stored, is the base64 of its
// localKeyID. The state gets the file's contents only when all of it loads.
//   2007 cannot open, 2029 cannot close,
//   2010 not PKCS#12, a safe without bags, or a certificate bag that is not
//   X.509, 2011 safe cannot be decrypted, 2012 shrouded key cannot be
//   decrypted, 2013 key bag without a usable key, 2014 more than two keys,
//   2015 more than two merchant certificates, 2016 key usage neither
//   digitalSignature nor nonRepudiation, 2030, 2033 unknown root name,
//   2037 no merchant certificate or an unusable localKeyID, 2046 MAC fails,
//   2047 sign-only certificate without the sign-only policy, 2048 keys and
//   certificates do not pair, 6011 root without common name, 33001, 33002.
int loadkeyfile(Session& s, const char* path, const char* password, bool hsm);

// The same over the file's bytes (for loaders that already hold them).
int loadkeyfiledata(Session& s, std::string_view data, const char* password, bool hsm);

// A library context for decrypting key files and encrypted PKCS#8:
// OpenSSL's default and legacy providers, private to the library so that
// the host's own context never changes. One context is made and kept for
// the process; while an allocation failure inside OpenSSL leaves it
// incomplete (the legacy module not started, an algorithm not found), each
// use gets it as it is and retries what failed. Without the legacy module
// a use gets the modern algorithms only, and the next use tries again.
struct Pkcs12Context {
  OSSL_LIB_CTX* ctx = nullptr;
  bool legacyfailed = false;  // the legacy module is there but did not start
};
// 0, or 33001 when no usable context can be had now.
int pkcs12context(Pkcs12Context& out);

}  // namespace zmr
