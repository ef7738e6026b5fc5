#include "misc/ossl.h"
#include "services/signing/signingops.h"

namespace zmr {

int softwaresign(int, EVP_PKEY* key, const EVP_MD* md, const unsigned char* data, size_t length,
                 const SoftwareSignLines& lines, std::vector<unsigned char>& signature) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return fail(lines.initcode, lines.init);
  if (EVP_DigestUpdate(ctx.get(), data, length) != 1) return fail(lines.updatecode, lines.update);
  // The SignerInfo and the callers promise rsaEncryption; any other key
  // would give a signature of another kind under that name.
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return fail(lines.finalcode, lines.final);
  int size = EVP_PKEY_get_size(key);
  if (size <= 0) return fail(lines.finalcode, lines.final);
  // The digest once, signed and checked as EVP_SignFinal_ex and
  // EVP_VerifyFinal_ex would, through one key context.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestlength = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &digestlength) != 1) return fail(lines.finalcode, lines.final);
  std::vector<unsigned char> buffer(static_cast<size_t>(size));
  size_t produced = 0;
  // OpenSSL 3.0 can leave a key's RSA blinding inconsistent when an
  // allocation fails while it renews it; later signatures with that key
  // then come out wrong with success reported. A signature is handed out
  // only once it verifies with the key's public half.
  auto signwith = [&](EVP_PKEY* k) {
    EvpPkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr));
    produced = buffer.size();
    return pctx && EVP_PKEY_sign_init(pctx.get()) == 1 && EVP_PKEY_CTX_set_signature_md(pctx.get(), md) == 1 &&
           EVP_PKEY_sign(pctx.get(), buffer.data(), &produced, digest, digestlength) == 1 &&
           produced <= buffer.size() && EVP_PKEY_verify_init(pctx.get()) == 1 &&
           EVP_PKEY_CTX_set_signature_md(pctx.get(), md) == 1 &&
           EVP_PKEY_verify(pctx.get(), buffer.data(), produced, digest, digestlength) == 1;
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
