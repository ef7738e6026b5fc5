#include "store/loaders/keyfile.h"

#include <openssl/crypto.h>
#include <openssl/core_dispatch.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "misc/ossl.h"
#include "misc/status.h"
#include "store/sessionstore.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

constexpr int kHardeningRounds = 1000;
// Key files are a few kilobytes; anything this large is not one.
constexpr size_t kMaxKeyFileSize = 4u << 20;

// Why the legacy module did not load, from the error queue (emptied): only
// a module that cannot be opened at all is missing. A failed allocation or
// a failed start of the module may pass by the next load. (OpenSSL's DSO
// reasons are not public: 103 the library cannot be loaded, 109 its file
// name could not be made, which fails on an allocation only.)
bool legacymissing() {
  constexpr int kDsoLoadFailed = 103, kDsoNameTranslationFailed = 109;
  bool unopenable = false, allocation = false;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    bool dso = ERR_GET_LIB(e) == ERR_LIB_DSO;
    if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE || (dso && ERR_GET_REASON(e) == kDsoNameTranslationFailed))
      allocation = true;
    else if (dso && ERR_GET_REASON(e) == kDsoLoadFailed)
      unopenable = true;
  }
  return unopenable && !allocation;
}

// Whether every digest, cipher, MAC and KDF the provider declares can be
// fetched from ctx by its first name. A context whose name table a failed
// allocation left half filled (names of one algorithm under two numbers,
// say) fails here, and would fail the same way for good.
bool fetchable(OSSL_LIB_CTX* ctx, const OSSL_PROVIDER* provider) {
  static const int operations[] = {OSSL_OP_DIGEST, OSSL_OP_CIPHER, OSSL_OP_MAC, OSSL_OP_KDF};
  bool ok = true;
  for (int operation : operations) {
    int nocache = 0;
    const OSSL_ALGORITHM* algorithms = OSSL_PROVIDER_query_operation(provider, operation, &nocache);
    for (const OSSL_ALGORITHM* a = algorithms; ok && a != nullptr && a->algorithm_names != nullptr; ++a) {
      std::string name(a->algorithm_names, std::strcspn(a->algorithm_names, ":"));
      switch (operation) {
        case OSSL_OP_DIGEST: {
          EVP_MD* m = EVP_MD_fetch(ctx, name.c_str(), nullptr);
          ok = m != nullptr;
          EVP_MD_free(m);
          break;
        }
        case OSSL_OP_CIPHER: {
          EVP_CIPHER* c = EVP_CIPHER_fetch(ctx, name.c_str(), nullptr);
          ok = c != nullptr;
          EVP_CIPHER_free(c);
          break;
        }
        case OSSL_OP_MAC: {
          EVP_MAC* m = EVP_MAC_fetch(ctx, name.c_str(), nullptr);
          ok = m != nullptr;
          EVP_MAC_free(m);
          break;
        }
        default: {
          EVP_KDF* k = EVP_KDF_fetch(ctx, name.c_str(), nullptr);
          ok = k != nullptr;
          EVP_KDF_free(k);
        }
      }
    }
    if (algorithms != nullptr) OSSL_PROVIDER_unquery_operation(provider, operation, algorithms);
  }
  ERR_clear_error();
  return ok;
}

// The complete context, once made; kept for the process (freeing a context
// with the legacy provider in it leaks what that provider made).
std::atomic<OSSL_LIB_CTX*> sharedcontext{nullptr};
std::mutex sharedcontextmaking;
// The context being made, under sharedcontextmaking: kept from its first
// use on, so that a use after a failure retries only what failed (the
// legacy module's start, the check of its algorithms).
struct MakingContext {
  OSSL_LIB_CTX* ctx = nullptr;
  OSSL_PROVIDER* modern = nullptr;
  OSSL_PROVIDER* legacy = nullptr;
  bool fetchfailed = false;  // the last check found an algorithm missing
} making;

// Contexts whose name table an allocation failure inside OpenSSL left half
// filled: no use can complete them, and freeing one with the legacy
// provider in it loses part of what that provider made. They stay, never
// freed (an opening still under way may hold one); past the few kept, the
// broken context stays in use and its openings keep failing.
OSSL_LIB_CTX* retired[4] = {};

void retire() {
  for (OSSL_LIB_CTX*& slot : retired) {
    if (slot == nullptr) {
      slot = making.ctx;
      making = MakingContext{};
      return;
    }
  }
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

struct MerchantCert {
  X509Ptr cert;
  std::string id;
};
struct MerchantKey {
  EvpPkeyPtr key;
  std::string id;
};

struct Walk {
  int session;
  bool hsm;
  const Pkcs12Context* context;
  const SecretString* password;
  std::vector<MerchantCert> certs;
  std::vector<MerchantKey> keys;
  X509StackPtr cas;
  bool casfull = false;
  int environment = 0;
};

int environmentof(const std::string& commonname) {
  static const std::pair<const char*, int> names[] = {
      {"DEVLAB - Zelmor Root CA", 1},
      {"TESTLAB - Zelmor Root CA", 2},
      {"TEST - Zelmor Root CA", 3},
      {"Zelmor Root CA", 4},
  };
  for (const auto& [name, code] : names) {
    if (commonname == name) return code;
  }
  return 0;
}

// The label text of a localKeyID: its bytes as text for an HSM, else base64.
int idtext(const Walk& w, const ASN1_TYPE* id, std::string& out) {
  if (id->type != V_ASN1_OCTET_STRING || id->value.octet_string == nullptr) return kNoMerchantCert;
  const unsigned char* bytes = ASN1_STRING_get0_data(id->value.octet_string);
  int length = ASN1_STRING_length(id->value.octet_string);
  if (length <= 0) return kNoMerchantCert;
  if (w.hsm) return getreadableidhsm(w.session, bytes, static_cast<size_t>(length), out);
  out = base64_encode(bytes, static_cast<size_t>(length));
  return kOk;
}

int takeca(Walk& w, X509Ptr cert) {
  if (X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())) == 0) {
    std::string name;
    const char* unused = nullptr;
    if (int rc = readcommonname(cert.get(), name, &unused); rc != kOk) return rc;
    w.environment = environmentof(name);
    if (w.environment == 0) return kUnknownEnvironment;
  }
  if (w.casfull) return kOk;
  if (!w.cas) {
    w.cas.reset(sk_X509_new_null());
    if (!w.cas) return kKeyfileCaStack;
  }
  // A repeated CA certificate ends the chain: nothing after it is kept.
  for (int i = 0; i < sk_X509_num(w.cas.get()); ++i) {
    if (X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_subject_name(sk_X509_value(w.cas.get(), i))) == 0) {
      w.casfull = true;
      return kOk;
    }
  }
  if (sk_X509_push(w.cas.get(), cert.get()) <= 0) return kKeyfileCaStack;
  cert.release();
  if (sk_X509_num(w.cas.get()) >= 2) w.casfull = true;
  return kOk;
}

// A part that does not decrypt, while the legacy module that might have
// decrypted it failed to start, says nothing about the file.
int undecryptable(const Walk& w, int code) { return w.context->legacyfailed ? kOutOfMemory : code; }

int takecert(Walk& w, const PKCS12_SAFEBAG* bag) {
  if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) return kKeyfileFormat;
  X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
  if (!cert) return kKeyfileFormat;
  const ASN1_TYPE* id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
  if (id == nullptr) return takeca(w, std::move(cert));
  if (w.certs.size() >= 2) return kKeyfileCerts;
  MerchantCert mc{std::move(cert), {}};
  if (int rc = idtext(w, id, mc.id); rc != kOk) return rc;
  w.certs.push_back(std::move(mc));
  return kOk;
}

int takekey(Walk& w, const PKCS12_SAFEBAG* bag, const PKCS8_PRIV_KEY_INFO* p8) {
  EvpPkeyPtr key(EVP_PKCS82PKEY(p8));
  if (!key) return kKeyfileNoKey;
  const ASN1_TYPE* id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
  if (id == nullptr) return kOk;  // not the merchant's
  // OpenSSL 3.0 reads a key's size once, as it makes the key, and keeps 0
  // when an allocation failed then: such a key would never sign.
  if (EVP_PKEY_get_size(key.get()) <= 0) return kOutOfMemory;
  if (w.keys.size() >= 2) return kKeyfileKeys;
  MerchantKey mk{std::move(key), {}};
  if (int rc = idtext(w, id, mk.id); rc != kOk) return rc;
  w.keys.push_back(std::move(mk));
  return kOk;
}

int takebag(Walk& w, const PKCS12_SAFEBAG* bag) {
  switch (PKCS12_SAFEBAG_get_nid(bag)) {
    case NID_certBag:
      return takecert(w, bag);
    case NID_keyBag: {
      const PKCS8_PRIV_KEY_INFO* p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
      if (p8 == nullptr) return kKeyfileNoKey;
      return takekey(w, bag, p8);
    }
    case NID_pkcs8ShroudedKeyBag: {
      std::string_view pass = w.password->value;
      Pkcs8InfoPtr p8(PKCS12_decrypt_skey_ex(bag, pass.data(), static_cast<int>(pass.size()), w.context->ctx, nullptr));
      if (!p8) return undecryptable(w, kKeyfileShrouded);
      return takekey(w, bag, p8.get());
    }
    default:
      return kOk;
  }
}

int opensafe(const Walk& w, PKCS7* p7, SafebagStackPtr& bags) {
  if (OBJ_obj2nid(p7->type) == NID_pkcs7_data) {
    bags.reset(PKCS12_unpack_p7data(p7));
    return bags ? kOk : kKeyfileFormat;
  }
  if (OBJ_obj2nid(p7->type) != NID_pkcs7_encrypted || p7->d.encrypted == nullptr ||
      p7->d.encrypted->enc_data == nullptr || p7->d.encrypted->enc_data->enc_data == nullptr)
    return kKeyfileSafe;
  const PKCS7_ENC_CONTENT* content = p7->d.encrypted->enc_data;
  std::string_view pass = w.password->value;
  bags.reset(static_cast<STACK_OF(PKCS12_SAFEBAG)*>(
      PKCS12_item_decrypt_d2i_ex(content->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pass.data(),
                                 static_cast<int>(pass.size()), content->enc_data, 1, w.context->ctx, nullptr)));
  return bags ? kOk : undecryptable(w, kKeyfileSafe);
}

bool hasusage(const Walk& w, X509* cert, int code) { return checkusageextensions(w.session, cert, &code, 1) == kOk; }

struct Assignment {
  X509Ptr authcert, signcert;
  EvpPkeyPtr authkey, signkey;
  std::optional<std::string> authlabel, signlabel;
};

// Pairs the merchant's certificates with their keys and decides by key
// usage which pair authenticates and which signs.
int assign(Walk& w, Assignment& a) {
  if (w.certs.empty()) return kNoMerchantCert;
  size_t ncerts = w.certs.size(), nkeys = w.keys.size();
  if (nkeys != 0 && nkeys != ncerts) return kKeyfileMismatch;

  if (ncerts == 1) {
    MerchantCert& c = w.certs[0];
    if (nkeys == 1) {
      if (X509_check_private_key(c.cert.get(), w.keys[0].key.get()) != 1) return kKeyfileMismatch;
      if (!hasusage(w, c.cert.get(), kUsageSigning)) return kKeyfileUsage;
      std::string policy;
      const char* unused = nullptr;
      if (readpolicyoid(c.cert.get(), policy, &unused) != kOk || policy != kSignOnlyPolicy) return kKeyfilePolicy;
      a.signkey = std::move(w.keys[0].key);
    } else {
      a.signlabel = c.id;
    }
    a.signcert = std::move(c.cert);
    return kOk;
  }

  // Two certificates: first is the one whose usage decides (with keys, the
  // one paired with the first key).
  MerchantCert* first = &w.certs[0];
  MerchantCert* second = &w.certs[1];
  EvpPkeyPtr* firstkey = nullptr;
  EvpPkeyPtr* secondkey = nullptr;
  if (nkeys == 2) {
    if (w.keys[0].id != first->id) std::swap(first, second);
    firstkey = &w.keys[0].key;
    secondkey = &w.keys[1].key;
    if (X509_check_private_key(first->cert.get(), firstkey->get()) != 1 ||
        X509_check_private_key(second->cert.get(), secondkey->get()) != 1)
      return kKeyfileMismatch;
  }
  bool firstauth;
  if (hasusage(w, first->cert.get(), kUsageAuthentication)) {
    firstauth = true;
  } else if (hasusage(w, first->cert.get(), kUsageSigning)) {
    firstauth = false;
  } else {
    return kKeyfileUsage;
  }
  MerchantCert* auth = firstauth ? first : second;
  MerchantCert* sign = firstauth ? second : first;
  if (nkeys == 2) {
    a.authkey = std::move(firstauth ? *firstkey : *secondkey);
    a.signkey = std::move(firstauth ? *secondkey : *firstkey);
  } else {
    a.authlabel = auth->id;
    a.signlabel = sign->id;
  }
  a.authcert = std::move(auth->cert);
  a.signcert = std::move(sign->cert);
  return kOk;
}

int hardenin(OSSL_LIB_CTX* ctx, std::string_view password, SecretString& out);

int walk(Session& s, std::string_view data, const char* password, bool hsm) {
  if (password == nullptr) return kBadArgument;
  if (data.size() > kMaxKeyFileSize) return kKeyfileFormat;
  Pkcs12Context ctx;
  if (int rc = pkcs12context(ctx); rc != kOk) return rc;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
  Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(data.size())));
  if (!p12 || p != reinterpret_cast<const unsigned char*>(data.data()) + data.size()) return kKeyfileFormat;

  SecretString pass;
  if (int rc = hardenin(ctx.ctx, password, pass); rc != kOk) return rc;
  if (PKCS12_verify_mac(p12.get(), pass.value.data(), static_cast<int>(pass.value.size())) != 1)
    return kKeyfilePassword;

  Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12.get()));
  if (!safes) return kKeyfileFormat;
  Walk w{s.number, hsm, &ctx, &pass, {}, {}, {}};
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    SafebagStackPtr bags;
    if (int rc = opensafe(w, sk_PKCS7_value(safes.get(), i), bags); rc != kOk) return rc;
    // Only the first bag of a safe counts.
    if (sk_PKCS12_SAFEBAG_num(bags.get()) < 1) return kKeyfileFormat;
    if (int rc = takebag(w, sk_PKCS12_SAFEBAG_value(bags.get(), 0)); rc != kOk) return rc;
  }

  Assignment a;
  if (int rc = assign(w, a); rc != kOk) return rc;
  s.authcert = std::move(a.authcert);
  s.authkey = std::move(a.authkey);
  s.signcert = std::move(a.signcert);
  s.signkey = std::move(a.signkey);
  s.hsm_authkeyslabel = std::move(a.authlabel);
  s.hsm_signkeyslabel = std::move(a.signlabel);
  if (w.cas && sk_X509_num(w.cas.get()) > 0) s.cacerts = std::move(w.cas);
  s.environment = w.environment;
  return kOk;
}

int hardenin(OSSL_LIB_CTX* ctx, std::string_view password, SecretString& out) {
  EvpMdPtr md5(EVP_MD_fetch(ctx, "MD5", nullptr));
  EvpMdPtr sha1(EVP_MD_fetch(ctx, "SHA1", nullptr));
  EvpMdCtxPtr mdctx(EVP_MD_CTX_new());
  if (!md5 || !sha1 || !mdctx) {
    ERR_clear_error();
    return kOutOfMemory;
  }
  unsigned char x[EVP_MAX_MD_SIZE];
  unsigned char m[EVP_MAX_MD_SIZE];
  unsigned int xlen = 0, mlen = 0;
  bool ok = true;
  for (int round = 0; ok && round < kHardeningRounds; ++round) {
    const void* in = round == 0 ? static_cast<const void*>(password.data()) : x;
    size_t inlen = round == 0 ? password.size() : xlen;
    ok = EVP_DigestInit_ex(mdctx.get(), md5.get(), nullptr) == 1 && EVP_DigestUpdate(mdctx.get(), in, inlen) == 1 &&
         EVP_DigestUpdate(mdctx.get(), kKeyFileSalt, sizeof kKeyFileSalt) == 1 &&
         EVP_DigestFinal_ex(mdctx.get(), m, &mlen) == 1 && EVP_DigestInit_ex(mdctx.get(), sha1.get(), nullptr) == 1 &&
         EVP_DigestUpdate(mdctx.get(), m, mlen) == 1 &&
         EVP_DigestUpdate(mdctx.get(), kKeyFileSalt, sizeof kKeyFileSalt) == 1 &&
         EVP_DigestFinal_ex(mdctx.get(), x, &xlen) == 1;
  }
  if (ok) {
    out.wipe();
    out.value.resize(base64_encodedlength(xlen) + 2);
    base64_encodeto(x, xlen, out.value.data());
    out.value.replace(out.value.size() - 2, 2, "\r\n");
  }
  OPENSSL_cleanse(x, sizeof x);
  OPENSSL_cleanse(m, sizeof m);
  if (!ok) {
    ERR_clear_error();
    return kOutOfMemory;
  }
  return kOk;
}

// One pass over the file into the session (written only on success). 33001
// when OpenSSL recorded a failed allocation, whatever the pass made of it.
int walkonce(Session& s, std::string_view data, const char* password, bool hsm) {
  ERR_clear_error();
  int rc;
  try {
    rc = walk(s, data, password, hsm);
  } catch (const std::bad_alloc&) {
    rc = kOutOfMemory;
  }
  if (takeallocationfailure() && rc != kOk) rc = kOutOfMemory;
  return rc;
}

}  // namespace

int pkcs12context(Pkcs12Context& out) {
  out.ctx = sharedcontext.load(std::memory_order_acquire);
  if (out.ctx != nullptr) return kOk;
  std::lock_guard<std::mutex> lock(sharedcontextmaking);
  out.ctx = sharedcontext.load(std::memory_order_acquire);
  if (out.ctx != nullptr) return kOk;
  if (making.ctx != nullptr && making.fetchfailed) {
    if (fetchable(making.ctx, making.modern) && fetchable(making.ctx, making.legacy)) {
      out.ctx = making.ctx;
      sharedcontext.store(making.ctx, std::memory_order_release);
      return kOk;
    }
    // Failed again with nothing failing in between: its name table is
    // broken for good. Set aside (never freed) and made anew, while there
    // is room to keep it.
    retire();
  }
  if (making.ctx == nullptr) {
    LibCtxPtr ctx(OSSL_LIB_CTX_new());
    if (!ctx) return kOutOfMemory;
    making.modern = OSSL_PROVIDER_load(ctx.get(), "default");
    if (making.modern == nullptr) {
      ERR_clear_error();
      return kOutOfMemory;
    }
    making.ctx = ctx.release();
  }
  if (making.legacy == nullptr) {
    making.legacy = OSSL_PROVIDER_load(making.ctx, "legacy");
    if (making.legacy == nullptr) out.legacyfailed = !legacymissing();
  }
  out.ctx = making.ctx;
  if (making.legacy != nullptr) {
    making.fetchfailed = !fetchable(making.ctx, making.modern) || !fetchable(making.ctx, making.legacy);
    if (!making.fetchfailed) sharedcontext.store(making.ctx, std::memory_order_release);
  }
  return kOk;
}

int hardenpassword(std::string_view password, SecretString& out) {
  Pkcs12Context ctx;
  if (int rc = pkcs12context(ctx); rc != kOk) return rc;
  return hardenin(ctx.ctx, password, out);
}

int loadkeyfiledata(Session& s, std::string_view data, const char* password, bool hsm) {
  int rc = walkonce(s, data, password, hsm);
  // OpenSSL reports many of its allocation failures as the file's fault,
  // some without a trace in its error queue (a digest it could not start
  // looks like a MAC that does not match, say). What the file is to blame
  // for comes out the same a second time; anything else was the process's
  // doing.
  if (rc != kOk && rc != kOutOfMemory && rc != kBadArgument) {
    int again = walkonce(s, data, password, hsm);
    if (again != rc) rc = again == kOk ? kOk : kOutOfMemory;
  }
  return rc;
}

int loadkeyfile(Session& s, const char* path, const char* password, bool hsm) {
  int rc = kOk;
  std::string data;
  std::unique_ptr<FILE, FileCloser> file(path != nullptr ? std::fopen(path, "rb") : nullptr);
  if (!file) {
    rc = kKeyfileOpen;
  } else {
    char buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0 && data.size() <= kMaxKeyFileSize)
      data.append(buffer, n);
    if (std::ferror(file.get())) rc = kKeyfileOpen;  // a directory, say
    if (std::fclose(file.release()) != 0 && rc == kOk) rc = kKeyfileClose;
  }
  if (rc != kOk) return rc;
  return loadkeyfiledata(s, data, password, hsm);
}

}  // namespace zmr
