#include "merchant.h"

#include <sys/stat.h>

#include "tempdir.h"

namespace zmrtest {

MerchantFiles makeMerchantFiles(const std::string& tag, int environment) {
  return writeMerchantFiles(tag, makePki(environment));
}

MerchantFiles writeMerchantFiles(const std::string& tag, const TestPki& pki,
                                 const std::function<void(KeyFileSpec&)>& layout) {
  MerchantFiles m;
  m.pki = pki;
  m.dir = makeTempDir(tag);
  m.password = "merchant-secret";
  m.keyfile = m.dir + "/merchant.p12";
  m.truststore = m.dir + "/trust";
  m.properties = m.dir + "/merchant.properties";
  mkdir(m.truststore.c_str(), 0755);
  writeTrustStore(m.truststore, m.pki.caCerts());
  KeyFileSpec spec = merchantKeyFile(m.pki, m.password);
  if (layout) layout(spec);
  writeKeyFile(m.keyfile, spec);
  writePropertiesFile(m.properties, standardProperties(m.truststore));
  return m;
}

}  // namespace zmrtest
