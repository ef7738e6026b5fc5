// Signatures in the texts the exported SDO functions take, from the fixture
// factory (goodOcsp of sdotrees.h gives the answers).
#pragma once

#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "pki.h"

namespace zmrtest {

// base64 DER PKCS#7 by signer over document (SHA-256 unless md is given),
// with signingTime.
std::string sdoSignature(const TestCert& signer, const std::string& document, const EVP_MD* md = nullptr);

// A signatures list over texts the caller keeps alive (the vector of
// nodes must not move once linked: link() after the last push).
struct SignatureList {
  std::vector<std::string> pkcs7s, ocsps;
  std::vector<signatures> nodes;
  void add(std::string pkcs7, std::string ocsp) {
    pkcs7s.push_back(std::move(pkcs7));
    ocsps.push_back(std::move(ocsp));
  }
  // The head of the linked list (null when empty).
  signatures* link();
};

}  // namespace zmrtest
