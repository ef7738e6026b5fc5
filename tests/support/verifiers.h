// Independent checks of the library's signatures by real tools: openssl
// cms, openssl pkeyutl and xmlsec1, run as separate processes over files in
// a fresh directory. Each returns true when the tool accepts; log (when
// given) receives the tool's output for failure messages.
#pragma once

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace zmrtest {

// Decodes one line (or lines) of standard base64 with OpenSSL's own codec;
// "" for text that is not base64.
std::string fromBase64(const std::string& text);
std::string toBase64(const std::string& bytes);  // one line

// openssl cms -verify over a detached DER SignedData (given in base64) and
// the content, trusting the given roots (-purpose any).
bool cmsVerifies(const std::string& pkcs7Base64, const std::string& content, const std::vector<const X509*>& roots,
                 std::string* log = nullptr);

// openssl pkeyutl -verify of a PKCS#1 v1.5 signature (base64) over data,
// with the certificate's public key, hashing with digest ("sha1",
// "sha256").
bool pkeyutlVerifies(const std::string& signatureBase64, const std::string& data, const X509* cert,
                     const std::string& digest, std::string* log = nullptr);

// In this process, for checks too many for a process each: the detached
// PKCS#7 (base64) verifies over content under the signer's certificate
// alone (no chain), so the bytes signed are the signed attributes it
// carries.
bool pkcs7VerifiesWith(const std::string& pkcs7Base64, const std::string& content, X509* signer);

// xmlsec1 --verify of an XML-DSig document, roots trusted, intermediates
// untrusted.
bool xmlsecVerifies(const std::string& document, const std::vector<const X509*>& roots,
                    const std::vector<const X509*>& intermediates, std::string* log = nullptr);

}  // namespace zmrtest
