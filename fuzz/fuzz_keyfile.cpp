// The key-file loader. A mutated file would nearly always fail its MAC, so
// a file that still parses as PKCS#12 gets a fresh MAC under the hardened
// password before it is loaded; files whose encryption asks for more than a
// few iterations (or scrypt) are skipped, so every run stays fast. Each
// input is loaded in both modes.
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "misc/ossl.h"
#include "store/loaders/keyfile.h"
#include "store/sessionstore.h"

namespace {

constexpr const char* kPassword = "fuzz password";
constexpr long kMaxIterations = 16;

const zmr::SecretString& hardened() {
  static zmr::SecretString* pass = [] {
    auto* p = new zmr::SecretString();
    if (zmr::hardenpassword(kPassword, *p) != 0) std::abort();
    return p;
  }();
  return *pass;
}

OSSL_LIB_CTX* legacyContext() {
  static OSSL_LIB_CTX* ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    OSSL_PROVIDER_load(c, "default");
    OSSL_PROVIDER_load(c, "legacy");
    return c;
  }();
  return ctx;
}

bool fewIterations(const ASN1_INTEGER* iter) {
  long n = ASN1_INTEGER_get(iter);
  return n >= 0 && n <= kMaxIterations;
}

// false when the algorithm would run long.
bool cheap(const X509_ALGOR* alg) {
  if (alg == nullptr) return true;
  if (OBJ_obj2nid(alg->algorithm) == NID_pbes2) {
    PBE2PARAM* pbe2 = static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter));
    if (pbe2 == nullptr) return true;
    bool ok = true;
    if (pbe2->keyfunc == nullptr) {
      ok = true;
    } else if (OBJ_obj2nid(pbe2->keyfunc->algorithm) == NID_id_pbkdf2) {
      PBKDF2PARAM* kdf = static_cast<PBKDF2PARAM*>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter));
      ok = kdf == nullptr || fewIterations(kdf->iter);
      PBKDF2PARAM_free(kdf);
    } else {
      ok = false;  // scrypt and the like
    }
    PBE2PARAM_free(pbe2);
    return ok;
  }
  PBEPARAM* pbe = static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter));
  bool ok = pbe == nullptr || fewIterations(pbe->iter);
  PBEPARAM_free(pbe);
  return ok;
}

bool cheapBags(const STACK_OF(PKCS12_SAFEBAG) * bags) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag) continue;
    const X509_ALGOR* alg = nullptr;
    const X509_SIG* sig = PKCS12_SAFEBAG_get0_pkcs8(bag);
    if (sig != nullptr) X509_SIG_get0(sig, &alg, nullptr);
    if (!cheap(alg)) return false;
  }
  return true;
}

bool cheapFile(const PKCS12* p12) {
  zmr::Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return true;
  std::string_view pass = hardened().value;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    zmr::SafebagStackPtr bags;
    if (OBJ_obj2nid(p7->type) == NID_pkcs7_data) {
      bags.reset(PKCS12_unpack_p7data(p7));
    } else if (OBJ_obj2nid(p7->type) == NID_pkcs7_encrypted && p7->d.encrypted != nullptr &&
               p7->d.encrypted->enc_data != nullptr) {
      const PKCS7_ENC_CONTENT* enc = p7->d.encrypted->enc_data;
      if (!cheap(enc->algorithm)) return false;
      if (enc->enc_data != nullptr)
        bags.reset(static_cast<STACK_OF(PKCS12_SAFEBAG)*>(
            PKCS12_item_decrypt_d2i_ex(enc->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pass.data(),
                                       static_cast<int>(pass.size()), enc->enc_data, 1, legacyContext(), nullptr)));
    }
    if (bags && !cheapBags(bags.get())) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string file(reinterpret_cast<const char*>(data), size);
  const unsigned char* p = data;
  zmr::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(size)));
  if (p12) {
    if (!cheapFile(p12.get())) return 0;
    std::string_view pass = hardened().value;
    unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    if (PKCS12_set_mac(p12.get(), pass.data(), static_cast<int>(pass.size()), salt, sizeof salt, 1, EVP_sha256()) ==
        1) {
      unsigned char* der = nullptr;
      int n = i2d_PKCS12(p12.get(), &der);
      if (n > 0) file.assign(reinterpret_cast<char*>(der), static_cast<size_t>(n));
      OPENSSL_free(der);
    }
  }
  ERR_clear_error();
  for (bool hsm : {false, true}) {
    zmr::Session session;
    if (zmr::loadkeyfiledata(session, file, kPassword, hsm) == 0) {
      // A loaded session is whole: a signing certificate at least.
      if (session.signcert == nullptr) std::abort();
    } else if (session.signcert || session.authcert || session.signkey || session.authkey || session.cacerts) {
      std::abort();  // a failed load leaves nothing behind
    }
  }
  return 0;
}
