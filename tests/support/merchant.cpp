#include "merchant.h"

#include <sys/stat.h>

#include "tempdir.h"

namespace zmrtest {

MerchantFiles makeMerchantFiles(const std::string& tag, int environment) {
  MerchantFiles m;
  m.pki = makePki(environment);
  m.dir = makeTempDir(tag);
  m.password = "merchant-secret";
  m.keyfile = m.dir + "/merchant.p12";
  m.truststore = m.dir + "/trust";
  m.properties = m.dir + "/merchant.properties";
  mkdir(m.truststore.c_str(), 0755);
  writeTrustStore(m.truststore, m.pki.caCerts());
  writeKeyFile(m.keyfile, merchantKeyFile(m.pki, m.password));
  writePropertiesFile(m.properties, standardProperties(m.truststore));
  return m;
}

}  // namespace zmrtest
