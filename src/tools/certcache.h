// Certificates decoded once per thread, and the decodes of PKCS#7 and OCSP
// basic responses that take the certificates they carry from there.
//
// With OpenSSL 3.0 every certificate decode sends its public key through the
// default library context's decoders, under that context's shared locks;
// the certificates a server sees are mostly the same ones (the CA's in every
// client signature, the responder's in every OCSP answer). Each thread keeps
// the last kCertCacheEntries certificates it decoded, keyed by the SHA-256 of
// their DER, the least recently used replaced: no lock, nothing shared on the
// lookup. Entries are decoded in the default context, never changed once
// cached, and handed out with a reference of their own, so they may outlive
// the call and move to other threads. Certificates of more than
// kCertCacheMaxDer bytes are decoded but not kept. A thread's cache is freed
// with its store at the thread's end. Memory: a decoded certificate holds
// about three to four times its DER (3.8 KB for an 817-byte RSA-2048 one),
// so a thread keeps some 40 KB for the scheme's certificates of 1 to 2 KB,
// and at most 8 times the decoded size of a 16 KiB certificate.
#pragma once

#include <openssl/ocsp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <string_view>

#include "misc/ossl.h"

namespace zmr {

inline constexpr int kCertCacheEntries = 8;
inline constexpr size_t kCertCacheMaxDer = 16 * 1024;

// The certificate whose DER is exactly der, as d2i_X509 makes it; null when
// d2i_X509 refuses it or leaves bytes over. A failed insert into the cache
// (no memory for the thread's cache) still hands out the certificate.
X509Ptr cachedcertificate(std::string_view der);

// Whether cert's key, extensions and signature information read soundly
// (reading them, once for the object's life, if not yet done): false also
// for a certificate that reads so by nature (a key of an unknown type, an
// invalid extension). The errors it raises are taken out again.
bool soundlyread(X509* cert);

// d2i_PKCS7 and d2i_OCSP_BASICRESP to the letter (what they accept and
// refuse, the result, *in moved past what was read, the error queue), the
// certificates of a plain DER SignedData or basic response taken from the
// cache. Anything else (BER, another shape, trailing bytes, a broken
// certificate, a failed allocation) goes through the plain decode of the
// whole input.
PKCS7* d2ipkcs7(const unsigned char** in, long length);
OCSP_BASICRESP* d2iocspbasic(const unsigned char** in, long length);

}  // namespace zmr
