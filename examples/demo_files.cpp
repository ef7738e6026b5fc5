// Writes a demo merchant set-up (key file, trust store, properties file)
// into a directory and prints the merchant password. Made with the test
// PKI, so nothing of it is committed and nothing expires.
#include <cstdio>
#include <string>

#include "support/keyfiles.h"
#include "support/pki.h"
#include "support/tempdir.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  zmrtest::TestPki pki = zmrtest::makePki(1);
  std::string password = "demo-merchant-password";
  std::string trust = dir + "/trust";
  if (zmrtest::runCommand("mkdir -p '" + trust + "'") != 0) return 1;
  if (!zmrtest::writeTrustStore(trust, pki.caCerts())) return 1;
  if (!zmrtest::writeKeyFile(dir + "/merchant.p12", zmrtest::merchantKeyFile(pki, password))) return 1;
  if (!zmrtest::writePropertiesFile(dir + "/merchant.properties", zmrtest::standardProperties(trust))) return 1;
  std::printf("%s\n", password.c_str());
  return 0;
}
