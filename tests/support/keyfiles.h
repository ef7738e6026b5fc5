// Merchant key files (PKCS#12) in the layouts the key-file loader reads,
// and properties files, made at test time.
//
// Encryption runs in a private OpenSSL library context of this module's
// own (default and legacy providers), so the test process's default context
// never gets the legacy provider.
#pragma once

#include <openssl/x509.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pki.h"

namespace zmrtest {

// The PKCS#12 password of a merchant password, computed here on its own:
// 1000 rounds of x = SHA-1(MD5(x || salt) || salt) over the password bytes,
// then base64(x) + "\r\n".
std::string hardenedPassword(const std::string& merchantPassword);
// The 20 salt bytes, written out independently of the library's copy.
std::string hardeningSalt();

enum class BagKind {
  Cert,         // X.509 certificate bag
  Key,          // plain PKCS#8 key bag
  ShroudedKey,  // encrypted PKCS#8 key bag
  OtherCert,    // certificate bag of type sdsiCertificate
  BrokenKey,    // key bag whose RSA key bytes do not decode
  Secret,       // secret bag (a type the loader ignores)
};

struct Bag {
  BagKind kind = BagKind::Cert;
  X509* cert = nullptr;     // borrowed; for Cert and OtherCert
  EVP_PKEY* key = nullptr;  // borrowed; for Key and ShroudedKey
  std::optional<std::string> localKeyId;  // raw bytes
  std::optional<std::string> friendlyName;
  std::optional<std::string> password;  // ShroudedKey: encrypt with this instead
};

struct Safe {
  std::vector<Bag> bags;
  bool encrypted = false;
  std::optional<std::string> password;  // encrypted: encrypt with this instead
};

enum class Encryption {
  Modern,  // PBES2 / PBKDF2 / AES-256-CBC, HMAC-SHA-256 MAC
  Legacy,  // RC2-40 safes, triple-DES keys, HMAC-SHA-1 MAC (older tools)
};

struct KeyFileSpec {
  std::vector<Safe> safes;
  std::string password;  // the PKCS#12 password itself (see hardenedPassword)
  Encryption encryption = Encryption::Modern;
  int iterations = 1;
  bool mac = true;
  std::optional<std::string> macPassword;  // MAC under another password
};

Bag certBag(const TestCert& c, std::optional<std::string> localKeyId = std::nullopt);
Bag keyBag(const TestCert& c, std::string localKeyId, bool shrouded = true);
// A safe holding the given bags.
Safe safeOf(std::vector<Bag> bags, bool encrypted = false);

// The usual merchant key file: one bag per safe, in this order: the
// authentication certificate (localKeyID "auth"), the signing certificate
// ("sign"), their keys (shrouded, same ids), the root and the issuing CA.
// Certificate safes are encrypted. The layout borrows pki's certificates
// and keys, so pki must live as long as it is used.
KeyFileSpec merchantKeyFile(const TestPki& pki, const std::string& merchantPassword,
                            Encryption encryption = Encryption::Modern);
// The HSM layout: the two certificates (localKeyIDs = the HSM labels given)
// and the CA certificates, no keys.
KeyFileSpec hsmKeyFile(const TestPki& pki, const std::string& merchantPassword,
                       const std::string& authLabel, const std::string& signLabel);

// DER of the PKCS#12 file. Throws std::runtime_error when OpenSSL fails.
std::string makeKeyFile(const KeyFileSpec& spec);
bool writeKeyFile(const std::string& path, const KeyFileSpec& spec);

// Properties file: "key=value" + lineEnd for each entry, in order.
using Properties = std::vector<std::pair<std::string, std::string>>;
std::string propertiesText(const Properties& entries, const std::string& lineEnd = "\n");
bool writePropertiesFile(const std::string& path, const Properties& entries,
                         const std::string& lineEnd = "\n");
// webaddress (a host and 127.0.0.1), truststore and grantedpolicies "ALL".
Properties standardProperties(const std::string& truststoreDir);

}  // namespace zmrtest
