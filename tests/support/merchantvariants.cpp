#include "merchantvariants.h"

#include <sys/stat.h>

#include "tempdir.h"

namespace zmrtest {

TestPki makeMerchantPki(int environment, const CertSpec& auth, const CertSpec& sign) {
  TestPki pki = makePki(environment);
  pki.merchantAuth = makeCert(auth, &pki.ca);
  pki.merchantSign = makeCert(sign, &pki.ca);
  return pki;
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

void dropAuthenticationPair(KeyFileSpec& spec) {
  // merchantKeyFile's order: auth cert, sign cert, auth key, sign key, CAs.
  spec.safes.erase(spec.safes.begin() + 2);
  spec.safes.erase(spec.safes.begin());
}

}  // namespace zmrtest
