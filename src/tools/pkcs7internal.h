// Helpers shared by the PKCS#7 and OCSP checks.
#pragma once

#include <string_view>
#include <vector>

#include "misc/ossl.h"
#include "store/threadstore.h"

namespace zmr {

// Base64 text to a parsed PKCS#7. A decoding failure returns the decoder's
// code after decodeline; a parse failure returns parsecode after parseline.
int decodepkcs7(int session, std::string_view pkcs7base64, Pkcs7Ptr& out, std::string_view decodeline, int parsecode,
                std::string_view parseline);

// Object number of the SignerInfo's digest algorithm (NID_undef when none).
int signerdigestnid(PKCS7_SIGNER_INFO* si);

// Digest of the bytes: 0, or the step that failed: 12006 init, 12007
// update, 12008 final; 33001 without a context. out holds EVP_MAX_MD_SIZE.
int pkcs7digest(const EVP_MD* md, const unsigned char* data, size_t length, unsigned char* out,
                unsigned int& outlength);

}  // namespace zmr
