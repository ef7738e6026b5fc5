// The one-shot SHA256() of OpenSSL 3.0 fetches its digest from the default
// library context, under the locks this cache is there to avoid; the
// low-level functions hash directly.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "tools/certcache.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "store/threadstore.h"
#include "tools/derelement.h"

namespace zmr {
namespace {

struct CertCache {
  struct Entry {
    unsigned char key[SHA256_DIGEST_LENGTH];
    X509* cert = nullptr;
    uint64_t used = 0;  // clock of the last hand-out; 0 for a free entry
  };
  Entry entries[kCertCacheEntries];
  uint64_t clock = 0;

  CertCache() = default;
  CertCache(const CertCache&) = delete;
  CertCache& operator=(const CertCache&) = delete;
  ~CertCache() {
    for (Entry& e : entries) X509_free(e.cert);
  }
};

void releasecache(void* v) { delete static_cast<CertCache*>(v); }

// The calling thread's cache, made on first use; null when it cannot be.
CertCache* threadcache() {
  ThreadSlot* slot = certcacheslot();
  if (slot == nullptr) return nullptr;
  if (slot->value == nullptr) {
    auto* cache = new (std::nothrow) CertCache;
    if (cache == nullptr) return nullptr;
    slot->value = cache;
    slot->release = releasecache;
  }
  return static_cast<CertCache*>(slot->value);
}

bool sha256(std::string_view der, unsigned char* out) {
  SHA256_CTX ctx;
  return SHA256_Init(&ctx) == 1 && SHA256_Update(&ctx, der.data(), der.size()) == 1 && SHA256_Final(out, &ctx) == 1;
}

// What d2i makes of exactly der; null when it refuses der or leaves bytes
// over.
template <typename Ptr, typename T>
Ptr wholed2i(std::string_view der, T* (*d2i)(T**, const unsigned char**, long)) {
  if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* p = start;
  Ptr out(d2i(nullptr, &p, static_cast<long>(der.size())));
  if (!out || p != start + der.size()) return nullptr;
  return out;
}

X509Ptr decodecertificate(std::string_view der) { return wholed2i<X509Ptr>(der, d2i_X509); }

std::string_view view(const unsigned char* der, long length) {
  return {reinterpret_cast<const char*>(der), static_cast<size_t>(length)};
}

bool issequence(const DerElement& e) {
  return e.xclass == V_ASN1_UNIVERSAL && e.tag == V_ASN1_SEQUENCE && e.constructed;
}
bool iscontext0(const DerElement& e) { return e.xclass == V_ASN1_CONTEXT_SPECIFIC && e.tag == 0 && e.constructed; }

// The certificates one after another in content, each a definite-length
// SEQUENCE; false for anything else.
bool certificatelist(std::string_view content, std::vector<std::string_view>& out) {
  while (!content.empty()) {
    DerElement cert;
    if (!readderelement(content, cert) || !issequence(cert)) return false;
    out.push_back(cert.whole);
  }
  return true;
}

// SEQUENCE { parts... }, or nullopt when it cannot be made.
std::optional<std::string> sequenceof(std::string_view first, std::string_view second, std::string_view third,
                                      std::string_view rest = {}) {
  std::string body;
  body.reserve(first.size() + second.size() + third.size() + rest.size());
  body.append(first).append(second).append(third).append(rest);
  return writederelement(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, body);
}

// The certificates from the cache into a new stack, in order; null when one
// is refused or memory is short.
X509StackPtr cachedstack(const std::vector<std::string_view>& ders) {
  X509StackPtr stack(sk_X509_new_reserve(nullptr, static_cast<int>(ders.size())));
  if (!stack) return nullptr;
  for (std::string_view der : ders) {
    X509Ptr cert = cachedcertificate(der);
    if (!cert || sk_X509_push(stack.get(), cert.get()) <= 0) return nullptr;
    cert.release();
  }
  return stack;
}

// The SignedData of a DER ContentInfo that fills der, taken apart: the DER
// of the ContentInfo without its certificates field, and the certificates.
// false when der is not in that shape or has no certificates field.
bool splitpkcs7(std::string_view der, std::string& stripped, std::vector<std::string_view>& certs) {
  static constexpr unsigned char kSignedOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
  DerElement info, type, explicit0, signeddata, version, algorithms, content, certificates;
  if (!readderelement(der, info) || !der.empty() || !issequence(info)) return false;
  std::string_view body = info.content;
  if (!readderelement(body, type) || type.whole != view(kSignedOid, sizeof kSignedOid)) return false;
  if (!readderelement(body, explicit0) || !body.empty() || !iscontext0(explicit0)) return false;
  std::string_view inner = explicit0.content;
  if (!readderelement(inner, signeddata) || !inner.empty() || !issequence(signeddata)) return false;
  std::string_view fields = signeddata.content;
  if (!readderelement(fields, version) || !readderelement(fields, algorithms) || !readderelement(fields, content) ||
      !readderelement(fields, certificates) || !iscontext0(certificates))
    return false;
  if (!certificatelist(certificates.content, certs)) return false;
  std::optional<std::string> sd = sequenceof(version.whole, algorithms.whole, content.whole, fields);
  if (!sd) return false;
  std::optional<std::string> tagged = writederelement(0, V_ASN1_CONTEXT_SPECIFIC, true, *sd);
  if (!tagged) return false;
  std::optional<std::string> whole = sequenceof(type.whole, *tagged, {});
  if (!whole) return false;
  stripped = std::move(*whole);
  return true;
}

PKCS7* fastpkcs7(const unsigned char* der, long length) {
  std::string stripped;
  std::vector<std::string_view> certs;
  if (!splitpkcs7(view(der, length), stripped, certs)) return nullptr;
  Pkcs7Ptr p7 = wholed2i<Pkcs7Ptr>(stripped, d2i_PKCS7);
  // A second [0] field would have been read as the certificates.
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr || p7->d.sign->cert != nullptr) return nullptr;
  X509StackPtr stack = cachedstack(certs);
  if (!stack) return nullptr;
  p7->d.sign->cert = stack.release();
  return p7.release();
}

// BasicOCSPResponse ::= SEQUENCE { tbsResponseData, signatureAlgorithm,
// signature, certs [0] EXPLICIT SEQUENCE OF Certificate OPTIONAL }.
bool splitbasic(std::string_view der, std::string& stripped, std::vector<std::string_view>& certs) {
  DerElement basic, tbs, algorithm, signature, explicit0, list;
  if (!readderelement(der, basic) || !der.empty() || !issequence(basic)) return false;
  std::string_view fields = basic.content;
  if (!readderelement(fields, tbs) || !readderelement(fields, algorithm) || !readderelement(fields, signature) ||
      !readderelement(fields, explicit0) || !fields.empty() || !iscontext0(explicit0))
    return false;
  std::string_view inner = explicit0.content;
  if (!readderelement(inner, list) || !inner.empty() || !issequence(list)) return false;
  // An empty list decodes to an empty stack, which only the plain decode makes.
  if (list.content.empty() || !certificatelist(list.content, certs)) return false;
  std::optional<std::string> whole = sequenceof(tbs.whole, algorithm.whole, signature.whole);
  if (!whole) return false;
  stripped = std::move(*whole);
  return true;
}

OCSP_BASICRESP* fastbasic(const unsigned char* der, long length) {
  std::string stripped;
  std::vector<std::string_view> certs;
  if (!splitbasic(view(der, length), stripped, certs)) return nullptr;
  OcspBasicRespPtr basic = wholed2i<OcspBasicRespPtr>(stripped, d2i_OCSP_BASICRESP);
  if (!basic || OCSP_resp_get0_certs(basic.get()) != nullptr) return nullptr;
  for (std::string_view certder : certs) {
    X509Ptr cert = cachedcertificate(certder);
    if (!cert || OCSP_basic_add1_cert(basic.get(), cert.get()) != 1) return nullptr;
  }
  return basic.release();
}

// The fast decode, or else the plain one of the whole input; what the fast
// one left in the error queue is taken out again.
template <typename T>
T* decode(const unsigned char** in, long length, T* (*fast)(const unsigned char*, long),
          T* (*plain)(T**, const unsigned char**, long)) {
  if (in != nullptr && *in != nullptr && length > 0) {
    ERR_set_mark();
    T* out = nullptr;
    try {
      out = fast(*in, length);
    } catch (const std::bad_alloc&) {
      out = nullptr;
    }
    if (out != nullptr) {
      ERR_clear_last_mark();
      *in += length;
      return out;
    }
    ERR_pop_to_mark();
  }
  return plain(nullptr, in, length);
}

}  // namespace

// OpenSSL decodes a certificate's key and reads its extensions once and
// keeps what it got, also what an allocation failure spoilt (a key left
// undecoded or of size 0, an extension read as invalid, for the object's
// life): only a certificate read soundly is kept for later calls. Whether
// it is self-issued and self-signed is kept without a trace of a failure
// (a name comparison or key type check that could not allocate reads as
// "no"): a second look, which OpenSSL makes afresh, must agree.
bool soundlyread(X509* cert) {
  ERR_set_mark();
  EVP_PKEY* key = X509_get0_pubkey(cert);
  bool sound = key != nullptr && EVP_PKEY_get_bits(key) > 0 && EVP_PKEY_get_size(key) > 0 &&
               X509_check_purpose(cert, -1, 0) == 1 &&
               (X509_get_extension_flags(cert) & (EXFLAG_INVALID | EXFLAG_NO_FINGERPRINT | EXFLAG_INVALID_POLICY)) == 0 &&
               X509_get_signature_info(cert, nullptr, nullptr, nullptr, nullptr) == 1;
  if (sound && (X509_get_extension_flags(cert) & EXFLAG_SI) == 0)
    sound = X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) != 0;
  if (sound && (X509_get_extension_flags(cert) & EXFLAG_SS) == 0) sound = X509_check_issued(cert, cert) != X509_V_OK;
  ERR_pop_to_mark();
  return sound;
}

X509Ptr cachedcertificate(std::string_view der) {
  unsigned char key[SHA256_DIGEST_LENGTH];
  CertCache* cache = der.size() <= kCertCacheMaxDer ? threadcache() : nullptr;
  if (cache == nullptr || !sha256(der, key)) return decodecertificate(der);
  CertCache::Entry* oldest = &cache->entries[0];
  for (CertCache::Entry& e : cache->entries) {
    if (e.cert != nullptr && std::memcmp(e.key, key, sizeof key) == 0) {
      e.used = ++cache->clock;
      X509_up_ref(e.cert);
      return X509Ptr(e.cert);
    }
    if (e.used < oldest->used) oldest = &e;
  }
  X509Ptr cert = decodecertificate(der);
  if (!cert || !soundlyread(cert.get()) || X509_up_ref(cert.get()) != 1) return cert;
  X509_free(oldest->cert);
  oldest->cert = cert.get();
  std::memcpy(oldest->key, key, sizeof key);
  oldest->used = ++cache->clock;
  return cert;
}

PKCS7* d2ipkcs7(const unsigned char** in, long length) { return decode(in, length, fastpkcs7, d2i_PKCS7); }

OCSP_BASICRESP* d2iocspbasic(const unsigned char** in, long length) {
  return decode(in, length, fastbasic, d2i_OCSP_BASICRESP);
}

}  // namespace zmr
