// Owning pointers for OpenSSL objects, so that every early return frees,
// and reading the error queue.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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
// Frees the stack only: the certificates belong to someone else (a PKCS#7,
// a basic response).
inline void freeX509StackOnly(STACK_OF(X509) * s) { sk_X509_free(s); }
using BorrowedX509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<freeX509StackOnly>>;

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
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, OsslDeleter<PKCS7_SIGNER_INFO_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, OsslDeleter<X509_ALGOR_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, OsslDeleter<X509_EXTENSION_free>>;
using PoliciesPtr = std::unique_ptr<CERTIFICATEPOLICIES, OsslDeleter<CERTIFICATEPOLICIES_free>>;
using AiaPtr = std::unique_ptr<AUTHORITY_INFO_ACCESS, OsslDeleter<AUTHORITY_INFO_ACCESS_free>>;
inline void freeEmails(STACK_OF(OPENSSL_STRING) * s) { X509_email_free(s); }
using EmailsPtr = std::unique_ptr<STACK_OF(OPENSSL_STRING), OsslDeleter<freeEmails>>;

using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OsslDeleter<ASN1_OBJECT_free>>;
using OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, OsslDeleter<ASN1_OCTET_STRING_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME_free>>;
using GeneralizedTimePtr = std::unique_ptr<ASN1_GENERALIZEDTIME, OsslDeleter<ASN1_GENERALIZEDTIME_free>>;

using BignumPtr = std::unique_ptr<BIGNUM, OsslDeleter<BN_free>>;
// For private-key components: cleared before they are freed.
using SecretBignumPtr = std::unique_ptr<BIGNUM, OsslDeleter<BN_clear_free>>;

using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, OsslDeleter<EVP_MAC_CTX_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, OsslDeleter<OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, OsslDeleter<OSSL_PARAM_free>>;

// Empties the calling thread's OpenSSL error queue; true when it recorded a
// failed allocation. OpenSSL reports its own allocation failures only as
// the failure of the call that met them (a MAC that does not match, a
// structure that does not parse), so a caller that maps failures to codes
// asks here before choosing one.
bool takeallocationfailure();

}  // namespace zmr
