#include <openssl/objects.h>

#include "misc/status.h"
#include "services/certstatus/certstatusops.h"
#include "services/signing/signingops.h"
#include "store/sessionstore.h"
#include "tools/derelement.h"

namespace zmr {
namespace {

constexpr Where kAt{"getcertstatus_signocsprequest: "};

template <typename T, typename F>
bool toder(const T* object, F i2d, std::string& out) {
  int n = i2d(object, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  return i2d(object, &p) == n;
}

std::optional<std::string> sequence(std::string_view content) {
  return writederelement(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, content);
}
std::optional<std::string> explicit0(std::optional<std::string> content) {
  if (!content) return std::nullopt;
  return writederelement(0, V_ASN1_CONTEXT_SPECIFIC, true, *content);
}

// OCSPRequest ::= SEQUENCE { TBSRequest, [0] EXPLICIT Signature }
// Signature ::= SEQUENCE { AlgorithmIdentifier, BIT STRING,
//                          [0] EXPLICIT SEQUENCE OF Certificate }
// with the certificate twice, as OpenSSL's own request signer lists it.
std::optional<std::string> assemble(std::string_view tbs, const EVP_MD* md, const std::vector<unsigned char>& signature,
                                    X509* cert) {
  AlgorPtr algorithm(X509_ALGOR_new());
  int nid = EVP_MD_get_type(md) == NID_sha1 ? NID_sha1WithRSAEncryption : NID_sha256WithRSAEncryption;
  std::string algorithmder, certder;
  if (!algorithm || X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(nid), V_ASN1_NULL, nullptr) != 1 ||
      !toder(algorithm.get(), i2d_X509_ALGOR, algorithmder) || !toder(cert, i2d_X509, certder))
    return std::nullopt;
  std::string bits(1, '\0');  // no unused bits
  bits.append(reinterpret_cast<const char*>(signature.data()), signature.size());
  std::optional<std::string> bitstring = writederelement(V_ASN1_BIT_STRING, V_ASN1_UNIVERSAL, false, bits);
  std::optional<std::string> certs = explicit0(sequence(certder + certder));
  if (!bitstring || !certs) return std::nullopt;
  std::optional<std::string> signed_ = explicit0(sequence(algorithmder + *bitstring + *certs));
  if (!signed_) return std::nullopt;
  return sequence(std::string(tbs) + *signed_);
}

// The TBSRequest as the request stands (names and extensions included) is
// signed with the merchant's key, in software or in the HSM, and the signed
// request is assembled around it: the bytes sent are the bytes signed,
// never a re-encoding. OpenSSL's own request signer is not used: in
// OpenSSL 3.0 it frees a half-made algorithm identifier when an allocation
// fails while it signs, and crashes.
int signtbs(const Session& s, std::string_view tbs, bool hsm, int64_t keybits, std::vector<unsigned char>& signature) {
  const int session = s.number;
  const auto* data = reinterpret_cast<const unsigned char*>(tbs.data());
  if (hsm) {
    std::string label;
    if (int rc = gethsm_signkeylabel(s, label); rc != kOk) return rc;
    static constexpr const char* kHsmFailed =
        "getcertstatus_signocsprequest: An error occured signing the data with HSM private keys\n";
    static constexpr HsmSignLines lines = {
        kHsmFailed,
        kHsmFailed,
        "getcertstatus_signocsprequest: The signature is to large to fit in internal buffer\n",
        kSignHsm,
    };
    return hsmsign(s, label, data, tbs.size(), keybits, lines, signature);
  }
  EVP_PKEY* key = nullptr;
  if (int rc = getsignkey(s, &key); rc != kOk)
    return fail(rc, kAt, "An error occured trying to retrieve the merchant's own signing private key\n");
  static constexpr const char* kSignFailed =
      "getcertstatus_signocsprequest: An error occured trying to sign the ocsp request using OCSP_request_sign\n";
  static constexpr SoftwareSignLines lines = {kOcspSign, kSignFailed, kOcspSign, kSignFailed, kOcspSign, kSignFailed};
  return softwaresign(session, key, merchantdigest(keybits), data, tbs.size(), lines, signature);
}

}  // namespace

int signocsprequest(const Session& s, OCSP_REQUEST* request, std::string& signedder) {
  signedder.clear();
  X509* cert = nullptr;
  if (int rc = getsigncert(s, &cert); rc != kOk)
    return fail(rc, kAt, "An error occured trying to retrieve the merchant's own signing certificate\n");
  uint64_t hsmcontext = 0;
  if (gethsm_sessioncontext(s, &hsmcontext) != kOk)
    return fail(kOcspHsmContext, kAt, "An error occured getting the HSM context for merchant\n");
  int64_t keybits = 0;
  if (int rc = getmerchantkeysize(s, &keybits); rc != kOk)
    return fail(rc, kAt, "An error occured getting the merchants key size.\n");
  bool hsm = hsmcontext != 0;

  if (OCSP_request_set1_name(request, X509_get_subject_name(cert)) != 1)
    return fail(kOcspSign, kAt,
                hsm ? "An error occured trying to add signer info to the ocsp request using OCSP_request_sign\n"
                    : "An error occured trying to sign the ocsp request using OCSP_request_sign\n");
  std::string unsignedder;
  if (!toder(request, i2d_OCSP_REQUEST, unsignedder)) return kOutOfMemory;
  std::string_view rest = unsignedder;
  DerElement outer;
  if (!readderelement(rest, outer) || !rest.empty()) return kOutOfMemory;
  std::string_view tbs = outer.content;

  std::vector<unsigned char> signature;
  if (int rc = signtbs(s, tbs, hsm, keybits, signature); rc != kOk) return rc;
  std::optional<std::string> der = assemble(tbs, merchantdigest(keybits), signature, cert);
  if (!der) return kOutOfMemory;
  signedder = std::move(*der);
  return kOk;
}

}  // namespace zmr
