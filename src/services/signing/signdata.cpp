#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <span>
#include <vector>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/entry.h"
#include "services/signing/signeddata.h"
#include "services/signing/signingops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr const char* kElementLine =
    "signdata_signdata: An error occured trying to add a signature element to the PKCS7\n";
constexpr const char* kSignerInfoLine =
    "signdata_signdata: An error occurred trying to add signer info to the PKCS7\n";

// The signer's identification in the SignerInfo, as its DER pieces: the
// issuer name as the certificate carries it, the serial number, and the
// digest's object identifier. Built from the certificate alone, so that
// software and HSM signatures have the same shape.
struct SignerId {
  const unsigned char* issuer = nullptr;
  size_t issuerlength = 0;
  std::vector<unsigned char> serial;
  std::span<const unsigned char> digestoid;
};

bool signerid(X509* cert, const EVP_MD* md, SignerId& id) {
  if (X509_NAME_get0_der(X509_get_issuer_name(cert), &id.issuer, &id.issuerlength) != 1) return false;
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  int n = i2d_ASN1_INTEGER(serial, nullptr);
  if (n <= 0) return false;
  id.serial.resize(static_cast<size_t>(n));
  unsigned char* p = id.serial.data();
  if (i2d_ASN1_INTEGER(serial, &p) != n) return false;
  const ASN1_OBJECT* oid = OBJ_nid2obj(EVP_MD_get_type(md));
  if (oid == nullptr || OBJ_length(oid) == 0) return false;
  id.digestoid = {OBJ_get0_data(oid), OBJ_length(oid)};
  return true;
}

// Appends the certificate's DER.
bool appendcertificate(X509* cert, std::vector<unsigned char>& out) {
  int n = i2d_X509(cert, nullptr);
  if (n <= 0) return false;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n));
  unsigned char* p = out.data() + at;
  return i2d_X509(cert, &p) == n;
}

// SEQUENCE { SEQUENCE { SEQUENCE { OID sha256, OCTET STRING hash } } } over
// the certificate's DER: the layout the library's own signature check reads.
bool signingcertvalue(std::span<const unsigned char> der, std::array<unsigned char, 51>& out) {
  static constexpr unsigned char prefix[19] = {0x30, 0x31, 0x30, 0x2F, 0x30, 0x2D, 0x06, 0x09, 0x60, 0x86,
                                               0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x04, 0x20};
  unsigned int hashlength = 0;
  bool ok = EVP_Digest(der.data(), der.size(), out.data() + sizeof prefix, &hashlength, EVP_sha256(), nullptr) == 1 &&
            hashlength == 32;
  std::copy(std::begin(prefix), std::end(prefix), out.begin());
  return ok;
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
  return signdata(s, data, length, out, role, nonce, profile, std::time(nullptr));
}

int signdata(const Session& s, const unsigned char* data, size_t length, std::string& out, KeyRole role,
             ChannelNonce nonce, CmsProfile profile, std::time_t now) {
  out.clear();
  const int session = s.number;
  if (int rc = enterservice(s); rc != kOk) return rc;
  int64_t keybits = 0;
  if (int rc = getmerchantkeysize(s, &keybits); rc != kOk) return rc;
  const EVP_MD* md = merchantdigest(keybits);

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

  SignerId id;
  if (!signerid(cert, md, id)) return fail(kSignSignerInfo, kElementLine);

  bool iso = profile == CmsProfile::fromitem && isoprofile(session, role);
  // The signer's DER, hashed into the signing-certificate value, is the
  // first of the certificates.
  std::vector<unsigned char> certificates;
  std::array<unsigned char, 51> certvalue{};
  if (!appendcertificate(cert, certificates) || !signingcertvalue(certificates, certvalue))
    return fail(kSignSignerInfo, kSignerInfoLine);

  // Then the chain without its self-signed root.
  STACK_OF(X509)* cas = nullptr;
  if (int rc = getcacerts(s, &cas); rc != kOk)
    return fail(rc,
                "signdata_signdata: An error occured trying to retrieve the merchant's ca chain from session "
                "store.\n");
  certificates.reserve(certificates.size() * static_cast<size_t>(1 + sk_X509_num(cas)));
  for (int i = 0; i < sk_X509_num(cas); ++i) {
    X509* ca = sk_X509_value(cas, i);
    if (X509_NAME_cmp(X509_get_subject_name(ca), X509_get_issuer_name(ca)) == 0) continue;
    // Only memory fails the encoding of a decoded certificate.
    if (!appendcertificate(ca, certificates)) return kOutOfMemory;
  }

  std::array<unsigned char, 13> signingtime{};
  if (!iso && !utctime(now, signingtime)) return fail(kSignSignerInfo, kElementLine);

  std::vector<unsigned char> attributes;
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
    SignedAttributeValues values;
    values.digest = {digest, digestlength};
    values.signingcert = certvalue;
    values.v2 = iso;
    values.nonce = nonce == ChannelNonce::with;
    values.signingtime = iso ? nullptr : &signingtime;
    attributes = signedattributes(values);
  }

  std::vector<unsigned char> signature;
  if (!hsm) {
    static constexpr SoftwareSignLines lines = {
        kSignInit,   "signdata_signdata: An error occured calling EVP_SignInit\n",
        kSignUpdate, "signdata_signdata: An error occured calling EVP_SignUpdate\n",
        kSignFinal,  "signdata_signdata: An error occured calling EVP_SignFinal\n",
    };
    if (int rc = softwaresign(session, key, md, attributes.data(), attributes.size(), lines, signature);
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
    if (int rc = hsmsign(s, label, attributes.data(), attributes.size(), keybits, lines, signature);
        rc != kOk)
      return rc;
  }
  SignedDataParts parts;
  parts.digestoid = id.digestoid;
  parts.issuer = {id.issuer, id.issuerlength};
  parts.serial = id.serial;
  parts.certificates = certificates;
  parts.attributes = attributes;
  parts.signature = signature;
  std::vector<unsigned char> der = signeddata(parts);
  if (int rc = encodebase64(session, der.data(), der.size(), out); rc != kOk) {
    out.clear();
    return fail(rc, "signdata_signdata: An error occured trying to base64 encode the der encoded pkcs7 signature.\n");
  }
  return 0;
}

}  // namespace zmr
