#include "misc/status.h"
#include "services/entry.h"
#include "services/signing/signingops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr char kBadType[] =
    "signdatap1_signdatap1: The requested certificate type is neither signing nor authentication.\n";

}  // namespace

int signdatap1(int session, const unsigned char* data, size_t length, std::string& out, KeyRole role) {
  out.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return signdatap1(*s, data, length, out, role);
}

int signdatap1(const Session& s, const unsigned char* data, size_t length, std::string& out, KeyRole role) {
  out.clear();
  const int session = s.number;
  if (int rc = enterservice(s); rc != kOk) return rc;
  int64_t keybits = 0;
  if (int rc = getmerchantkeysize(s, &keybits); rc != kOk) return rc;
  uint64_t hsmcontext = 0;
  if (gethsm_sessioncontext(s, &hsmcontext) != 0)
    return fail(kP1HsmContext, "signdatap1_signdatap1: An error occured getting the HSM context for merchant\n");

  std::vector<unsigned char> signature;
  if (hsmcontext == 0) {
    EVP_PKEY* key = nullptr;
    if (role == KeyRole::signing) {
      if (int rc = getsignkey(s, &key); rc != kOk)
        return fail(rc,
                    "signdatap1_signdatap1: An error occured trying to retrieve the merchant's private signing key "
                    "from session store.\n");
    } else if (role == KeyRole::authentication) {
      if (int rc = getauthkey(s, &key); rc != kOk)
        return fail(rc,
                    "signdatap1_signdatap1: An error occured trying to retrieve the merchant's private "
                    "authentication key from session store.\n");
    } else {
      return fail(kP1CertType, kBadType);
    }
    static constexpr SoftwareSignLines lines = {
        kP1Init,   "signdatap1_signdatap1: An error occured calling EVP_SignInit\n",
        kP1Update, "signdatap1_signdatap1: An error occured calling EVP_SignUpdate\n",
        kP1Final,  "signdatap1_signdatap1: An error occured calling EVP_SignFinal\n",
    };
    if (int rc = softwaresign(session, key, merchantdigest(keybits), data, length, lines, signature); rc != kOk)
      return rc;
  } else {
    std::string label;
    if (role == KeyRole::signing) {
      if (int rc = gethsm_signkeylabel(s, label); rc != kOk)
        return fail(rc, "signdatap1_signdatap1: An error occured getting the HSM signing key label for the merchant\n");
    } else if (role == KeyRole::authentication) {
      if (int rc = gethsm_authkeylabel(s, label); rc != kOk)
        return fail(rc,
                    "signdatap1_signdatap1: An error occured getting the HSM authentication key label for the "
                    "merchant\n");
    } else {
      return fail(kP1CertType, kBadType);
    }
    // A DigestInfo that cannot be made is reported under signdata's name.
    static constexpr HsmSignLines lines = {
        "signdata_signdata: An error occured signing the data with HSM private keys\n",
        "signdatap1_signdatap1: An error occured signing the data with HSM private keys\n",
        "signdatap1_signdatap1: The signature is to large to fit in internal buffer\n",
        kP1TooLarge,
    };
    if (int rc = hsmsign(s, label, data, length, keybits, lines, signature); rc != kOk) return rc;
  }

  if (int rc = encodebase64(session, signature.data(), signature.size(), out); rc != kOk) {
    out.clear();
    return fail(rc,
                "signdatap1_signdatap1: An error occured trying to base64 encode the der encoded pkcs7 signature.\n");
  }
  return 0;
}

}  // namespace zmr
