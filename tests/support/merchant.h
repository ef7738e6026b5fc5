// A complete merchant set-up on disk, made at test time: a key file of the
// usual layout for one environment, its trust store and a properties file.
#pragma once

#include <functional>
#include <string>

#include "keyfiles.h"
#include "pki.h"

namespace zmrtest {

struct MerchantFiles {
  TestPki pki;
  std::string dir;
  std::string keyfile;     // PKCS#12 under the hardened password
  std::string password;    // the merchant password
  std::string truststore;  // hashed CA directory with root and issuing CA
  std::string properties;  // standardProperties(truststore)
};

// Writes everything under a fresh directory named after tag.
MerchantFiles makeMerchantFiles(const std::string& tag, int environment = 1);

// Writes the key file, trust store and properties of pki under a fresh
// directory named after tag. layout edits the usual key-file layout (from
// merchantKeyFile) before it is written, e.g. to drop the CA certificates.
MerchantFiles writeMerchantFiles(const std::string& tag, const TestPki& pki,
                                 const std::function<void(KeyFileSpec&)>& layout = {});


}  // namespace zmrtest
