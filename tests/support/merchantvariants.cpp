#include "merchantvariants.h"

namespace zmrtest {

TestPki makeMerchantPki(int environment, const CertSpec& auth, const CertSpec& sign) {
  TestPki pki = makePki(environment);
  pki.merchantAuth = makeCert(auth, &pki.ca);
  pki.merchantSign = makeCert(sign, &pki.ca);
  return pki;
}

void dropAuthenticationPair(KeyFileSpec& spec) {
  // merchantKeyFile's order: auth cert, sign cert, auth key, sign key, CAs.
  spec.safes.erase(spec.safes.begin() + 2);
  spec.safes.erase(spec.safes.begin());
}

}  // namespace zmrtest
