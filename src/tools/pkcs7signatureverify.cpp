#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "store/setup.h"
#include "misc/status.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

constexpr size_t kMaxGivenDigest = 64;

const EVP_MD* supporteddigest(PKCS7_SIGNER_INFO* si) {
  switch (signerdigestnid(si)) {
    case NID_sha1:
      return EVP_sha1();
    case NID_sha256:
      return EVP_sha256();
    case NID_md5:
      return EVP_md5();
    default:
      return nullptr;
  }
}

// The OtherSigningCertificate attribute: SEQUENCE whose first OBJECT
// IDENTIFIER names the hash algorithm (SHA-256 only) and whose first OCTET
// STRING is the hash of the signer certificate.
int checksigningcertificate(const ASN1_STRING* sequence, X509* signer) {
  const unsigned char* der = ASN1_STRING_get0_data(sequence);
  size_t length = static_cast<size_t>(ASN1_STRING_length(sequence));
  const unsigned char* end = der + length;
  const unsigned char* oidpos = findObject(V_ASN1_OBJECT, der, length);
  const unsigned char* hashpos = findObject(V_ASN1_OCTET_STRING, der, length);
  if (oidpos == nullptr || hashpos == nullptr)
    return fail(kP7SignerInfo,
                "pkcs7tools_pkcs7signatureverify: Error parsing the singer info structure in the PKCS7.\n");
  Asn1ObjectPtr algorithm(d2i_ASN1_OBJECT(nullptr, &oidpos, end - oidpos));
  if (!algorithm)
    return fail(kP7SignerInfo,
                "pkcs7tools_pkcs7signatureverify: Error parsing the signer info structure in the PKCS7.\n");
  OctetStringPtr hash(d2i_ASN1_OCTET_STRING(nullptr, &hashpos, end - hashpos));
  if (!hash)
    return fail(kP7SignerInfo,
                "pkcs7tools_pkcs7signatureverify: Error extracting the hash algorithm from the signer info "
                "structure.\n");
  if (OBJ_cmp(algorithm.get(), OBJ_nid2obj(NID_sha256)) != 0)
    return fail(kP7CertHash, "pkcs7tools_pkcs7signatureverify: The PKCS7 doesn't use sha-256 for other cert hash.\n");

  unsigned char* raw = nullptr;
  int n = i2d_X509(signer, &raw);
  OsslMemoryPtr<unsigned char> certder(raw);
  if (n <= 0) return kP7CertDer;
  unsigned char expected[EVP_MAX_MD_SIZE];
  unsigned int expectedlength = 0;
  int rc = pkcs7digest(EVP_sha256(), certder.get(), static_cast<size_t>(n), expected, expectedlength);
  if (rc != kOk) return rc;
  if (static_cast<unsigned int>(ASN1_STRING_length(hash.get())) != expectedlength ||
      CRYPTO_memcmp(ASN1_STRING_get0_data(hash.get()), expected, expectedlength) != 0)
    return fail(kP7CertHashMismatch, "pkcs7tools_pkcs7signatureverify: The hash didn't verify.\n");
  return kOk;
}

int digestdata(const EVP_MD* md, const unsigned char* data, size_t length, unsigned char* out,
               unsigned int& outlength) {
  switch (int rc = pkcs7digest(md, data, length, out, outlength)) {
    case kOk:
      return kOk;
    case kDigestInit:
      return fail(rc, "pkcs7tools_pkcs7signatureverify: Error initializing the digest.\n");
    case kDigestUpdate:
      return fail(rc, "pkcs7tools_pkcs7signatureverify: Error updating the digest.\n");
    case kDigestFinal:
      return fail(rc, "pkcs7tools_pkcs7signatureverify: Error getting the digest.\n");
    default:
      return rc;
  }
}

// RSA PKCS#1 v1.5 (or the key type's own scheme) over a DigestInfo of md:
// padding and algorithm are checked, not just the digest bytes.
bool signatureverifies(EVP_PKEY* key, const EVP_MD* md, const ASN1_OCTET_STRING* signature, const unsigned char* digest,
                       size_t digestlength) {
  if (signature == nullptr || digestlength != static_cast<size_t>(EVP_MD_get_size(md))) return false;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
  if (EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) return false;
  if (EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) return false;
  return EVP_PKEY_verify(ctx.get(), ASN1_STRING_get0_data(signature),
                         static_cast<size_t>(ASN1_STRING_length(signature)), digest, digestlength) == 1;
}

}  // namespace

int pkcs7signatureverify(int, PKCS7*, PKCS7_SIGNER_INFO* si, X509* signer, const unsigned char* data, size_t length,
                         DataIs dataisdigest) {
  if (si == nullptr || signer == nullptr || (data == nullptr && length != 0)) return kBadArgument;
  const EVP_MD* md = supporteddigest(si);
  if (md == nullptr)
    return fail(kVerifyFailed, "pkcs7tools_pkcs7signatureverify: The message digest algorithm is not supported.\n");
  // What the signature covers: the signed attributes when there are any,
  // else the content itself.
  unsigned char tbs[EVP_MAX_MD_SIZE];
  unsigned int tbslength = 0;
  const unsigned char* covered = tbs;
  size_t coveredlength = 0;
  STACK_OF(X509_ATTRIBUTE)* attributes = PKCS7_get_signed_attributes(si);
  if (sk_X509_ATTRIBUTE_num(attributes) > 0) {
    const ASN1_TYPE* certhash = PKCS7_get_signed_attribute(si, NID_pkcs9_signerInfo);
    if (certhash != nullptr && certhash->type == V_ASN1_SEQUENCE && certhash->value.sequence != nullptr) {
      int rc = checksigningcertificate(certhash->value.sequence, signer);
      if (rc != kOk) return rc;
    }
    // The digest of the content: given, or computed here.
    unsigned char content[EVP_MAX_MD_SIZE];
    unsigned int contentlength = 0;
    if (dataisdigest == DataIs::digest) {
      if (length > kMaxGivenDigest)
        return fail(kP7DataTooLarge,
                    "pkcs7tools_pkcs7signatureverify: The hashed datalen is too large for internal buffers.\n");
      if (length != 0) std::copy(data, data + length, content);
      contentlength = static_cast<unsigned int>(length);
    } else {
      int rc = digestdata(md, data, length, content, contentlength);
      if (rc != kOk) return rc;
    }
    const ASN1_TYPE* digest = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    if (digest == nullptr || digest->type != V_ASN1_OCTET_STRING || digest->value.octet_string == nullptr)
      return fail(kP7NoAuthAttrs,
                  "pkcs7tools_pkcs7signatureverify: The authentication attributes with the digested data was not "
                  "found in the pkcs7.\n");
    const ASN1_OCTET_STRING* stored = digest->value.octet_string;
    if (static_cast<unsigned int>(ASN1_STRING_length(stored)) != contentlength)
      return fail(kP7DigestLength, "pkcs7tools_pkcs7signatureverify: The length of the digests does not match.\n");
    if (CRYPTO_memcmp(ASN1_STRING_get0_data(stored), content, contentlength) != 0)
      return fail(kP7DigestLength,
                  "pkcs7tools_pkcs7signatureverify: The pkcs7 message digest does not match the digest of the "
                  "data.\n");
    // Signed as a DER SET OF in the order received.
    unsigned char* raw = nullptr;
    int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(attributes), &raw, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    OsslMemoryPtr<unsigned char> encoded(raw);
    if (n <= 0) return kOutOfMemory;
    int rc = digestdata(md, encoded.get(), static_cast<size_t>(n), tbs, tbslength);
    if (rc != kOk) return rc;
    coveredlength = tbslength;
  } else if (dataisdigest == DataIs::digest) {
    // A given digest of any length: one not of the algorithm's size does
    // not verify.
    covered = data;
    coveredlength = length;
  } else {
    int rc = digestdata(md, data, length, tbs, tbslength);
    if (rc != kOk) return rc;
    coveredlength = tbslength;
  }

  EVP_PKEY* key = X509_get0_pubkey(signer);
  if (key == nullptr)
    return fail(kP7NoPubkey, "pkcs7tools_pkcs7signatureverify: Did not find public key of signer in pkcs7.\n");
  if (!signatureverifies(key, md, si->enc_digest, covered, coveredlength))
    return fail(kVerifyFailed, "pkcs7tools_pkcs7signatureverify: The pkcs7 signature does not verify.\n");
  return kOk;
}

}  // namespace zmr
