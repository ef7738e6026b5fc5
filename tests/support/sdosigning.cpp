#include "sdosigning.h"

namespace zmrtest {

std::string sdoSignature(const TestCert& signer, const std::string& document, const EVP_MD* md) {
  Pkcs7Spec spec = pkcs7For(signer, document);
  if (md != nullptr) spec.signers[0].digest = md;
  return makePkcs7Base64(spec);
}

signatures* SignatureList::link() {
  nodes.clear();
  for (size_t i = 0; i < pkcs7s.size(); ++i) nodes.push_back({pkcs7s[i].data(), ocsps[i].data(), nullptr});
  for (size_t i = 1; i < nodes.size(); ++i) nodes[i - 1].next = &nodes[i];
  return nodes.empty() ? nullptr : nodes.data();
}

}  // namespace zmrtest
