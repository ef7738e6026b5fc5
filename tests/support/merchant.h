// A complete merchant set-up on disk, made at test time: a key file of the
// usual layout for one environment, its trust store and a properties file.
#pragma once

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

}  // namespace zmrtest
