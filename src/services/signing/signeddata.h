// The detached PKCS#7 SignedData of signdata written straight as DER: each
// piece encoded once into a buffer of its exact size, in the bytes
// OpenSSL's PKCS7 encoder gives for the same values.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <span>
#include <vector>

namespace zmr {

// signingTime's UTCTime text, YYMMDDHHMMSSZ; false for a moment outside
// 1950..2049, which UTCTime cannot hold.
bool utctime(std::time_t now, std::array<unsigned char, 13>& out);

// The values of the signed attributes.
struct SignedAttributeValues {
  std::span<const unsigned char> digest;       // messageDigest: the data's digest
  std::span<const unsigned char> signingcert;  // the signing-certificate value, whole DER
  bool v2 = false;                             // as signingCertificateV2, else as the other signing certificate
  bool nonce = false;                          // the channel attribute
  const std::array<unsigned char, 13>* signingtime = nullptr;  // none: no signingTime
};

// The attributes as a DER SET OF (tag 0x31) in DER's order: the bytes the
// signature covers.
std::vector<unsigned char> signedattributes(const SignedAttributeValues& values);

// Everything the ContentInfo holds, each piece as its DER.
struct SignedDataParts {
  std::span<const unsigned char> digestoid;     // the digest's OBJECT IDENTIFIER, its content alone
  std::span<const unsigned char> issuer;        // Name: the signer's issuer
  std::span<const unsigned char> serial;        // INTEGER: the signer's serial number
  std::span<const unsigned char> certificates;  // the certificates one after another, the signer first
  std::span<const unsigned char> attributes;    // signedattributes' result
  std::span<const unsigned char> signature;
};

// ContentInfo of signedData: version 1, the digest with NULL parameters,
// detached id-data, the certificates, one SignerInfo (version 1, issuer and
// serial, the digest, the attributes under [0], rsaEncryption with NULL
// parameters, the signature). Throws std::bad_alloc.
std::vector<unsigned char> signeddata(const SignedDataParts& parts);

}  // namespace zmr
