#include "misc/ossl.h"
#include "services/signing/signingops.h"

namespace zmr {

int softwaresign(int, EVP_PKEY* key, const EVP_MD* md, const unsigned char* data, size_t length,
                 const SoftwareSignLines& lines, std::vector<unsigned char>& signature) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_SignInit_ex(ctx.get(), md, nullptr) != 1) return fail(lines.initcode, lines.init);
  if (EVP_SignUpdate(ctx.get(), data, length) != 1) return fail(lines.updatecode, lines.update);
  // The SignerInfo and the callers promise rsaEncryption; any other key
  // would give a signature of another kind under that name.
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return fail(lines.finalcode, lines.final);
  int size = EVP_PKEY_get_size(key);
  if (size <= 0) return fail(lines.finalcode, lines.final);
  // OpenSSL 3.0 can leave a key's RSA blinding inconsistent when an
  // allocation fails while it renews it; later signatures with that key
  // then come out wrong with success reported. A signature is handed out
  // only once it verifies (over the same digest state, hashed once).
  EvpMdCtxPtr check(EVP_MD_CTX_new());
  if (!check || EVP_MD_CTX_copy_ex(check.get(), ctx.get()) != 1) return fail(lines.finalcode, lines.final);
  std::vector<unsigned char> buffer(static_cast<size_t>(size));
  unsigned int produced = 0;
  // Both finals work on copies of the digest states, so a second attempt
  // can reuse them.
  auto signwith = [&](EVP_PKEY* k) {
    return EVP_SignFinal_ex(ctx.get(), buffer.data(), &produced, k, nullptr, nullptr) == 1 &&
           produced <= buffer.size() &&
           EVP_VerifyFinal_ex(check.get(), buffer.data(), produced, k, nullptr, nullptr) == 1;
  };
  if (!signwith(key)) {
    // A key whose blinding went wrong stays wrong: a copy of it starts with
    // blinding of its own, so that one failed allocation does not stop the
    // session's signing for good.
    EvpPkeyPtr fresh(EVP_PKEY_dup(key));
    if (!fresh || !signwith(fresh.get())) return fail(lines.finalcode, lines.final);
  }
  buffer.resize(produced);
  signature = std::move(buffer);
  return 0;
}

}  // namespace zmr
