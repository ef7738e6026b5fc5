#include <new>

#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

#define ZMR_DSIG_NS "http://www.w3.org/2000/09/xmldsig#"

constexpr char kSignOnlyPolicy[] = "2.999.10.1.16.1.14.1";

struct Algorithms {
  const char* hashname;  // for hashdata
  const char* signature;
  const char* digest;
};
constexpr Algorithms kSha1 = {"sha1", ZMR_DSIG_NS "rsa-sha1", ZMR_DSIG_NS "sha1"};
constexpr Algorithms kSha256 = {"sha256", "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
                                "http://www.w3.org/2001/04/xmlenc#sha256"};

int build(const Session& s, std::string_view order, std::string& document) {
  const int session = s.number;
  int64_t keybits = 0;
  if (int rc = getmerchantkeysize(s, &keybits); rc != kOk) return rc;
  const Algorithms& algorithms = keybits == 1024 ? kSha1 : kSha256;

  std::string object;
  object.append("<Object xmlns=\"" ZMR_DSIG_NS "\" Id=\"envelopingData\">").append(order).append("</Object>");
  std::string digestvalue;
  if (int rc = hashbytes(session, digestvalue, algorithms.hashname,
                         reinterpret_cast<const unsigned char*>(object.data()), object.size());
      rc != kOk)
    return fail(rc, "createxmldsig_createxmldsig: An error occured trying to digest the base64 encoded order.\n");

  static constexpr char kNoCert[] =
      "createxmldsig_createxmldsig: An error occured trying to get the merchants signing certificate from "
      "sessionstore\n";
  X509* cert = nullptr;
  if (int rc = getsigncert(s, &cert); rc != kOk) return fail(rc, kNoCert);
  std::string policy;
  if (int rc = getpolicyoid(session, cert, policy); rc != kOk) return fail(rc, kNoCert);
  if (policy != kSignOnlyPolicy)
    return fail(kXmldsigPolicy,
                "createxmldsig_createxmldsig: To create XMLDSIG signatures an RA Signing certificate must be "
                "aquired\n");
  std::string certificate;
  if (int rc = getsigningcertificate(session, cert, certificate); rc != kOk) return fail(rc, kNoCert);

  std::string signedinfo;
  signedinfo.append("<SignedInfo xmlns=\"" ZMR_DSIG_NS "\">")
      .append("<CanonicalizationMethod Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"></CanonicalizationMethod>")
      .append("<SignatureMethod Algorithm=\"")
      .append(algorithms.signature)
      .append("\"></SignatureMethod>")
      .append("<Reference URI=\"#envelopingData\"><DigestMethod Algorithm=\"")
      .append(algorithms.digest)
      .append("\"></DigestMethod><DigestValue>")
      .append(digestvalue)
      .append("</DigestValue></Reference></SignedInfo>");
  std::string signaturevalue;
  if (int rc = signdatap1(s, signedinfo, signaturevalue, KeyRole::signing); rc != kOk)
    return fail(rc, "createxmldsig_createxmldsig: An error occured trying sign the xml order\n");

  std::string out;
  out.reserve(signedinfo.size() + signaturevalue.size() + certificate.size() + object.size() + 214);
  out.append("<?xml version=\"1.0\" encoding=\"UTF-8\" ?><Signature xmlns=\"" ZMR_DSIG_NS "\">")
      .append(signedinfo)
      .append("<SignatureValue>")
      .append(signaturevalue)
      .append("</SignatureValue><KeyInfo><X509Data><X509Certificate>")
      .append(certificate)
      .append("</X509Certificate></X509Data></KeyInfo>")
      .append(object)
      .append("</Signature>");
  document = std::move(out);
  return 0;
}

}  // namespace

int createxmldsig(int session, std::string_view order, std::string& document, int& days) {
  document.clear();
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;
  try {
    if (int rc = build(*s, order, document); rc != kOk) return rc;
  } catch (const std::bad_alloc&) {
    document.clear();
    return fail(kOutOfMemory, "createxmldsig_createxmldsig: Error allocating memory.\n");
  } catch (const std::length_error&) {
    document.clear();
    return fail(kOutOfMemory, "createxmldsig_createxmldsig: Error allocating memory.\n");
  }
  X509* cert = nullptr;
  int rc = getsigncert(*s, &cert);
  if (rc == kOk) rc = getdaysuntilexpire(session, cert, days);
  if (rc != kOk)
    return fail(rc,
                "createxmldsig_createxmldsig: An error occured trying to get the days until the certificate "
                "expires\n");
  return 0;
}

}  // namespace zmr
