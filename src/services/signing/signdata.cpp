#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <span>
#include <vector>

#include "misc/ossl.h"
#include "store/setup.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/signing/signingops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

// Takes ownership of nothing: the attribute holds copies of value.
bool addattribute(PKCS7_SIGNER_INFO* si, int nid, int type, const void* value, int length) {
  return X509at_add1_attr_by_NID(&si->auth_attr, nid, type, static_cast<const unsigned char*>(value), length) !=
         nullptr;
}

// The SignerInfo the standard set-up would make for the certificate:
// version 1, issuer and serial, digest with NULL parameters, rsaEncryption.
// Built from the certificate alone, so that software and HSM signatures
// have the same shape.
bool addsigner(PKCS7* p7, X509* cert, const EVP_MD* md, PKCS7_SIGNER_INFO*& added) {
  SignerInfoPtr si(PKCS7_SIGNER_INFO_new());
  if (!si || ASN1_INTEGER_set(si->version, 1) != 1 ||
      X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(cert)) != 1)
    return false;
  ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
  if (serial == nullptr) return false;
  ASN1_INTEGER_free(si->issuer_and_serial->serial);
  si->issuer_and_serial->serial = serial;
  if (X509_ALGOR_set0(si->digest_alg, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) != 1 ||
      X509_ALGOR_set0(si->digest_enc_alg, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr) != 1 ||
      PKCS7_add_signer(p7, si.get()) != 1)
    return false;
  added = si.release();  // owned by p7 now
  return true;
}

// SEQUENCE { SEQUENCE { SEQUENCE { OID sha256, OCTET STRING hash } } } over
// the certificate: the layout the library's own signature check reads.
bool signingcertvalue(X509* cert, std::array<unsigned char, 51>& out) {
  static constexpr unsigned char prefix[19] = {0x30, 0x31, 0x30, 0x2F, 0x30, 0x2D, 0x06, 0x09, 0x60, 0x86,
                                               0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x04, 0x20};
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) return false;
  unsigned int hashlength = 0;
  bool ok =
      EVP_Digest(der, static_cast<size_t>(n), out.data() + sizeof prefix, &hashlength, EVP_sha256(), nullptr) == 1 &&
      hashlength == 32;
  OPENSSL_free(der);
  std::copy(std::begin(prefix), std::end(prefix), out.begin());
  return ok;
}

// Reads the DER element at p when it has the tag and class given, and moves
// p past it; content and length receive its content. Otherwise p stays.
bool readelement(const unsigned char*& p, const unsigned char* end, int tag, int cls, const unsigned char*& content,
                 long& length) {
  const unsigned char* q = p;
  int foundtag = 0, foundclass = 0;
  int flags = ASN1_get_object(&q, &length, &foundtag, &foundclass, end - p);
  if ((flags & 0x80) != 0 || (flags & 1) != 0 || foundtag != tag || foundclass != cls) return false;
  content = q;
  p = q + length;
  return true;
}

// The signed attributes of the first SignerInfo in a DER ContentInfo of
// signedData, from their [0] tag to their end; empty when there are none
// or the encoding is not such a ContentInfo.
std::span<const unsigned char> signedattributes(const std::vector<unsigned char>& der) {
  const unsigned char* p = der.data();
  const unsigned char* end = p + der.size();
  const unsigned char* content = nullptr;
  long length = 0;
  auto enter = [&](int tag, int cls) {
    if (!readelement(p, end, tag, cls, content, length)) return false;
    p = content;
    end = content + length;
    return true;
  };
  auto skip = [&](int tag, int cls) { return readelement(p, end, tag, cls, content, length); };
  // ContentInfo { contentType, [0] SignedData { version, digestAlgorithms,
  // contentInfo, [0] certificates, [1] crls, signerInfos { SignerInfo {
  // version, issuerAndSerialNumber, digestAlgorithm, [0] attributes ...
  if (!enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL) || !skip(V_ASN1_OBJECT, V_ASN1_UNIVERSAL) ||
      !enter(0, V_ASN1_CONTEXT_SPECIFIC) || !enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL) ||
      !skip(V_ASN1_INTEGER, V_ASN1_UNIVERSAL) || !skip(V_ASN1_SET, V_ASN1_UNIVERSAL) ||
      !skip(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL))
    return {};
  skip(0, V_ASN1_CONTEXT_SPECIFIC);  // optional: a missing element moves nothing
  skip(1, V_ASN1_CONTEXT_SPECIFIC);
  if (!enter(V_ASN1_SET, V_ASN1_UNIVERSAL) || !enter(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL) ||
      !skip(V_ASN1_INTEGER, V_ASN1_UNIVERSAL) || !skip(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL) ||
      !skip(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL))
    return {};
  const unsigned char* start = p;
  if (!skip(0, V_ASN1_CONTEXT_SPECIFIC)) return {};
  return {start, static_cast<size_t>(p - start)};
}

// The DER SET OF that was signed, 31 L V, and the attributes the output
// carries, A0 L V: the same but for the implicit tag.
bool sameattributes(std::span<const unsigned char> sent, const unsigned char* signedbytes, size_t length) {
  return sent.size() == length && length > 1 && sent[0] == 0xA0 && signedbytes[0] == 0x31 &&
         std::equal(sent.begin() + 1, sent.end(), signedbytes + 1);
}

bool isoprofile(int session, KeyRole role) {
  if (role != KeyRole::signing) return false;
  std::string format;
  return popinfoitem(session, "cmsFormat", format) == 0 && format == "PKCS7_ISO320001";
}

}  // namespace

int signdata(int session, const unsigned char* data, size_t length, std::string& out, KeyRole role,
             ChannelNonce nonce) {
  out.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return signdata(*s, data, length, out, role, nonce);
}

int signdata(const Session& s, const unsigned char* data, size_t length, std::string& out, KeyRole role,
             ChannelNonce nonce, CmsProfile profile) {
  out.clear();
  const int session = s.number;
  if (int rc = enterservice(s); rc != kOk) return rc;
  int64_t keybits = 0;
  if (int rc = getmerchantkeysize(s, &keybits); rc != kOk) return rc;
  const EVP_MD* md = merchantdigest(keybits);

  Pkcs7Ptr p7(PKCS7_new());
  if (!p7) return fail(kSignPkcs7, "signdata_signdata: Unable to create PKCS7 structure.\n");
  if (PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1)
    return fail(kSignP7Type, "signdata_signdata: Unable to set PKCS7 type in P7 structure.\n");

  uint64_t hsmcontext = 0;
  if (gethsm_sessioncontext(s, &hsmcontext) != 0)
    return fail(kSignHsmContext, "signdata_signdata: An error occured getting the HSM context for merchant\n");
  bool hsm = hsmcontext != 0;

  if (role != KeyRole::signing && role != KeyRole::authentication)
    return fail(kSignCertType,
                "signdata_signdata: The requested certificate type is neither SIGNING nor AUTHENTICATION\n");
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  if (role == KeyRole::signing) {
    if (int rc = getsigncert(s, &cert); rc != kOk)
      return fail(rc,
                  "signdata_signdata: An error occured trying to get the merchants signing certificate from "
                  "sessionstore\n");
    if (!hsm) {
      if (int rc = getsignkey(s, &key); rc != kOk)
        return fail(rc,
                    "signdata_signdata: An error occured trying to get the merchants signing key from "
                    "sessionstore\n");
    }
  } else {
    if (int rc = getauthcert(s, &cert); rc != kOk)
      return fail(rc,
                  "signdata_signdata: An error occured trying to get the merchants auth certificate from "
                  "sessionstore\n");
    if (!hsm) {
      if (int rc = getauthkey(s, &key); rc != kOk)
        return fail(rc,
                    "signdata_signdata: An error occured trying to retrieve the merchant's private "
                    "authentication key from session store.\n");
    }
  }

  PKCS7_SIGNER_INFO* si = nullptr;
  if (!addsigner(p7.get(), cert, md, si))
    return fail(kSignSignerInfo,
                "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");
  if (!addattribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data), -1))
    return fail(kSignSignerInfo,
                "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");

  bool iso = profile == CmsProfile::fromitem && isoprofile(session, role);
  std::array<unsigned char, 51> certvalue{};
  if (!signingcertvalue(cert, certvalue) ||
      !addattribute(si, iso ? NID_pkcs9_signerInfoV2 : NID_pkcs9_signerInfo, V_ASN1_SEQUENCE, certvalue.data(),
                    static_cast<int>(certvalue.size())))
    return fail(kSignSignerInfo, "signdata_signdata: An error occurred trying to add signer info to the PKCS7\n");

  static constexpr char kChannel[] = "ZMR Channel";
  if (nonce == ChannelNonce::with &&
      !addattribute(si, NID_pkcs9_randomNonce, V_ASN1_OCTET_STRING, kChannel, sizeof kChannel - 1))
    return fail(kSignSignerInfo, "signdata_signdata: An error occurred trying to add signer info to the PKCS7\n");

  // The signer first, then the chain without its self-signed root.
  if (PKCS7_add_certificate(p7.get(), cert) != 1)
    return fail(kSignSignerInfo,
                "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");
  STACK_OF(X509)* cas = nullptr;
  if (int rc = getcacerts(s, &cas); rc != kOk)
    return fail(rc,
                "signdata_signdata: An error occured trying to retrieve the merchant's ca chain from session "
                "store.\n");
  for (int i = 0; i < sk_X509_num(cas); ++i) {
    X509* ca = sk_X509_value(cas, i);
    if (X509_NAME_cmp(X509_get_subject_name(ca), X509_get_issuer_name(ca)) == 0) continue;
    if (PKCS7_add_certificate(p7.get(), ca) != 1)
      return fail(kSignSignerInfo,
                  "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");
  }

  // Detached: the content is id-data without its octets.
  if (PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1 || PKCS7_set_detached(p7.get(), 1) != 1)
    return fail(kSignSignerInfo,
                "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");

  if (!iso) {
    Asn1TimePtr now(ASN1_UTCTIME_adj(nullptr, std::time(nullptr), 0, 0));
    if (!now || !addattribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, now.get(), -1))
      return fail(kSignSignerInfo,
                  "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");
  }

  {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
      return fail(kSignDigestInit, "signdata_signdata: An error occured calling EVP_DigestInit\n");
    if (EVP_DigestUpdate(ctx.get(), data, length) != 1)
      return fail(kSignDigestUpdate, "signdata_signdata: An error occured calling EVP_DigestUpdate\n");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestlength = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &digestlength) != 1)
      return fail(kSignDigestFinal, "signdata_signdata: An error occured calling EVP_DigestFinal\n");
    if (!addattribute(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digest, static_cast<int>(digestlength)))
      return fail(kSignSignerInfo,
                  "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");
  }

  // The DER SET OF, sorted; PKCS7_ATTR_SIGN also puts the attributes in that
  // order, so the output carries them as signed.
  unsigned char* attributes = nullptr;
  int attributeslength =
      ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
  if (attributeslength <= 0) return kOutOfMemory;
  OsslMemoryPtr<unsigned char> attributesowner(attributes);

  std::vector<unsigned char> signature;
  if (!hsm) {
    static constexpr SoftwareSignLines lines = {
        kSignInit,   "signdata_signdata: An error occured calling EVP_SignInit\n",
        kSignUpdate, "signdata_signdata: An error occured calling EVP_SignUpdate\n",
        kSignFinal,  "signdata_signdata: An error occured calling EVP_SignFinal\n",
    };
    if (int rc = softwaresign(session, key, md, attributes, static_cast<size_t>(attributeslength), lines, signature);
        rc != kOk)
      return rc;
  } else {
    std::string label;
    if (role == KeyRole::signing) {
      if (int rc = gethsm_signkeylabel(s, label); rc != kOk)
        return fail(rc, "signdata_signdata: An error occured getting the HSM signing key label for the merchant\n");
    } else {
      if (int rc = gethsm_authkeylabel(s, label); rc != kOk)
        return fail(rc,
                    "signdata_signdata: An error occured getting the HSM authentication key label for the "
                    "merchant\n");
    }
    static constexpr const char* kHsmFailed =
        "signdata_signdata: An error occured signing the data with HSM private keys\n";
    static constexpr HsmSignLines lines = {
        kHsmFailed,
        kHsmFailed,
        "signdata_signdata: The signature is to large to fit in internal buffer\n",
        kSignTooLarge,
    };
    if (int rc = hsmsign(s, label, attributes, static_cast<size_t>(attributeslength), keybits, lines, signature);
        rc != kOk)
      return rc;
  }
  if (ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size())) != 1) return kOutOfMemory;

  int n = i2d_PKCS7(p7.get(), nullptr);
  if (n <= 0) return kOutOfMemory;
  std::vector<unsigned char> der(static_cast<size_t>(n));
  unsigned char* p = der.data();
  if (i2d_PKCS7(p7.get(), &p) != n) return kOutOfMemory;
  // OpenSSL's sorting SET OF encoder carries on when its own allocation
  // fails, and its bytes then differ from what the next encoding writes:
  // what goes out must be what was signed.
  if (!sameattributes(signedattributes(der), attributes, static_cast<size_t>(attributeslength)))
    return fail(kSignSignerInfo,
                "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n");
  if (int rc = encodebase64(session, der.data(), der.size(), out); rc != kOk) {
    out.clear();
    return fail(rc, "signdata_signdata: An error occured trying to base64 encode the der encoded pkcs7 signature.\n");
  }
  return 0;
}

}  // namespace zmr
