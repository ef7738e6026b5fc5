// Owning pointers for OpenSSL objects, so that every early return frees,
// and reading the error queue.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace zmr {

template <auto Fn>
struct OsslDeleter {
  template <typename T>
  void operator()(T* p) const {
    if (p != nullptr) Fn(p);
  }
};

// Memory OpenSSL allocated for the caller (BN_bn2dec, i2d_ without a
// buffer), released with OPENSSL_free.
inline void freeosslmemory(void* p) { OPENSSL_free(p); }
template <typename T>
using OsslMemoryPtr = std::unique_ptr<T, OsslDeleter<freeosslmemory>>;

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OsslDeleter<EVP_MD_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslDeleter<EVP_CIPHER_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslDeleter<X509_STORE_CTX_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OsslDeleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OsslDeleter<SSL_free>>;
using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;

inline void freeX509Stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<freeX509Stack>>;

using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslDeleter<PKCS12_free>>;
using Pkcs8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OsslDeleter<PKCS8_PRIV_KEY_INFO_free>>;
inline void freePkcs7Stack(STACK_OF(PKCS7) * s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using Pkcs7StackPtr = std::unique_ptr<STACK_OF(PKCS7), OsslDeleter<freePkcs7Stack>>;
inline void freeSafebagStack(STACK_OF(PKCS12_SAFEBAG) * s) { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
using SafebagStackPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), OsslDeleter<freeSafebagStack>>;

using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslDeleter<PKCS7_free>>;
using OcspRequestPtr = std::unique_ptr<OCSP_REQUEST, OsslDeleter<OCSP_REQUEST_free>>;
using OcspResponsePtr = std::unique_ptr<OCSP_RESPONSE, OsslDeleter<OCSP_RESPONSE_free>>;
using OcspBasicRespPtr = std::unique_ptr<OCSP_BASICRESP, OsslDeleter<OCSP_BASICRESP_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OsslDeleter<X509_SIG_free>>;
using LibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, OsslDeleter<OSSL_LIB_CTX_free>>;

// Empties the calling thread's OpenSSL error queue; true when it recorded a
// failed allocation. OpenSSL reports its own allocation failures only as
// the failure of the call that met them (a MAC that does not match, a
// structure that does not parse), so a caller that maps failures to codes
// asks here before choosing one.
bool takeallocationfailure();

}  // namespace zmr
