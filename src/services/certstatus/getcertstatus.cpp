#include <chrono>
#include <climits>

#include "misc/status.h"
#include "net/http_lib.h"
#include "services/certstatus/certstatusops.h"
#include "services/entry.h"
#include "services/signing/signingops.h"
#include "store/loaders/configuration.h"
#include "tools/base64.h"
#include "tools/certtools.h"
#include "tools/pkcs7internal.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

constexpr const char* kPolicyPersonal = "2.999.10.1.16.1.12.2.1";
constexpr const char* kOcspRequestType = "application/ocsp-request";
constexpr int kNonceBytes = 16;

constexpr Where kAt{"getcertstatus_getcertstatus: "};
constexpr Where kAtStatus{"getcertstatus_getocspresponsestatus: "};

// "signing", "authentication" or both, as the validation authority bills
// the check. Personal certificates do both, so the transaction says which.
int usagetext(int session, X509* signer, std::string& usage) {
  std::string policy;
  if (int rc = getpolicyoid(session, signer, policy); rc != kOk)
    return fail(rc, kAt, "An error occured trying to find the certificate policy oid in the pkcs#7.\n");
  if (policy == kPolicyPersonal) {
    std::string operation;
    if (int rc = popinfoitem(session, "operation", operation); rc != kOk)
      return fail(rc, kAt, "An error occured trying to fetch infoitem \"operation\" from session store.\n");
    usage = operation == "verifySign" ? "signing" : "authentication";
    return kOk;
  }
  if (int rc = getkeyusage(session, signer, usage); rc != kOk)
    return fail(rc, kAt, "An error occured trying to find the keyusage in the pkcs#7.\n");
  return kOk;
}

// CertID (SHA-1), AcceptableResponses (basic only) and a fresh nonce.
int startrequest(X509* signer, X509* issuer, OcspRequestPtr& request) {
  request.reset(OCSP_REQUEST_new());
  if (!request) return kOutOfMemory;
  OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha1(), signer, issuer);
  if (id == nullptr) return kOutOfMemory;
  if (OCSP_request_add0_id(request.get(), id) == nullptr) {
    OCSP_CERTID_free(id);
    return kOutOfMemory;
  }
  char basic[] = "basicOCSPResponse";
  char* accepted[] = {basic, nullptr};
  X509_EXTENSION* ext = OCSP_accept_responses_new(accepted);
  if (ext == nullptr) return kOutOfMemory;
  int added = OCSP_REQUEST_add_ext(request.get(), ext, -1);
  X509_EXTENSION_free(ext);
  if (added != 1 || OCSP_request_add1_nonce(request.get(), nullptr, kNonceBytes) != 1) return kOutOfMemory;
  return kOk;
}

// A decimal in [low, high] with blanks around it; nullopt otherwise.
std::optional<long> decimal(std::string_view text, long low, long high) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}

// A property where absence is normal; another look-up failure is reported.
int property(const Session& s, const char* key, std::optional<std::string>& out, std::string_view line) {
  out.reset();
  std::string value;
  int rc = getproperty(s, key, value);
  if (rc == kPropertyAbsent) return kOk;
  if (rc != kOk) return fail(rc, kAt, line);
  out = std::move(value);
  return kOk;
}

// Steps 11 to 14: where the request goes, under which limit, and whether
// over TLS (the URL's scheme only chooses the default port).
struct Destination {
  VaAddress address;
  int timeout = kVaDefaultTimeoutSeconds;
  SSL_CTX* ctx = nullptr;
};

int destination(const Session& s, X509* signer, Destination& out) {
  const int session = s.number;
  std::string url;
  if (int rc = getaialocation(session, signer, url); rc != kOk)
    return fail(rc, kAt, "An error occured trying to retrieve the aia location from the certificate in request.\n");
  if (int rc = getserverandport(session, url, out.address); rc != kOk)
    return fail(rc, kAt,
                "An error occured trying to retrieve the va servername and va port from the aia location in the "
                "certificate in request.\n");

  std::optional<std::string> text;
  if (int rc = property(s, "vaport", text, "An error occured retrieve the vaport setting from sessionstore.\n");
      rc != kOk)
    return rc;
  if (text) out.address.port = static_cast<int>(decimal(*text, 0, 65535).value_or(0));
  if (out.address.port <= 0)
    return fail(kOcspPort, kAt,
                "An error occured trying to parse the portnumber from the certificates AIA location.\n");

  if (int rc = property(s, "vatimeout", text, "An error occured retrieve the vatimeout setting from sessionstore.\n");
      rc != kOk)
    return rc;
  if (text) {
    // A negative limit is passed on; the HTTP client applies its default.
    out.timeout = static_cast<int>(decimal(*text, INT_MIN / 1000, INT_MAX / 1000).value_or(0));
    if (out.timeout == 0)
      return fail(kOcspTimeout, kAt, "The vatimeout property in the configuration file is invalid.\n");
  }

  if (int rc = property(s, "vassldisabled", text,
                        "An error occured retrieve the vassldisabled setting from sessionstore.\n");
      rc != kOk)
    return rc;
  out.ctx = nullptr;
  if (!text || *text == "false") {
    if (int rc = getvasslcontext(s, &out.ctx); rc != kOk)
      return fail(rc, kAt, "An error occured trying to get the SSL context for the merchant session.\n");
  }
  return kOk;
}

// Steps 15 and 16: up to three posts, none after a time-out.
int exchange(const Session& s, const Destination& to, std::string_view body, std::string& reply) {
  const int session = s.number;
  auto started = std::chrono::steady_clock::now();
  int rc = kOk;
  for (int attempt = 0; attempt < kVaAttempts; ++attempt) {
    rc = http_post(s, to.ctx, to.address.host, to.address.port, to.address.path, body, kOcspRequestType, reply,
                   to.timeout, "va");
    if (rc == kOk || rc == kHttpTimeout) break;
  }
  if (rc != kOk) return fail(rc, kAt, "An error occured during VA communication.\n");
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  if (int push = pushinfoitem(session, "vaperf", std::to_string(elapsed.count())); push != kOk)
    return fail(push, kAt, "Failed to push perf time information as infoitem.\n");
  return kOk;
}

// The status's own line, then the summary line of the operation.
int statusfail(int code, std::string_view text) {
  if (int rc = fail(code, kAtStatus, text); rc != code) return rc;
  return fail(code, kAt, "An error occured trying to retrieve the status in the ocsp response\n");
}

// Step 20, on the single response that answers about the certificate.
int getocspresponsestatus(int session, OCSP_BASICRESP* basic, OCSP_SINGLERESP* single) {
  switch (OCSP_single_get0_status(single, nullptr, nullptr, nullptr, nullptr)) {
    case V_OCSP_CERTSTATUS_GOOD:
      if (int rc = getadditionalinformation(session, basic); rc != kOk)
        return fail(rc, kAt, "An error occured trying to retrieve additional information from the ocsp response\n");
      return kOk;
    case V_OCSP_CERTSTATUS_REVOKED:
      return statusfail(kRevoked, "The certificate in request is revoked.\n");
    case V_OCSP_CERTSTATUS_UNKNOWN:
      return statusfail(kOcspUnknown, "The va could not decide the status of the certificate in request.\n");
    default:
      return statusfail(kOcspUnknown,
                        "The va did not respond with neiter REVOKED,UNKNOWN nor GOOD, but an unrecognized certificate "
                        "status\n");
  }
}

}  // namespace

int getcertstatus(int session, const char* pkcs7, std::string& ocsp, std::optional<std::string>* nonce,
                  std::optional<std::string>* fullocsp) {
  ocsp.clear();
  if (nonce != nullptr) nonce->reset();
  if (fullocsp != nullptr) fullocsp->reset();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return getcertstatus(*s, pkcs7, ocsp, nonce, fullocsp);
}

int getcertstatus(const Session& s, const char* pkcs7, std::string& ocsp, std::optional<std::string>* nonce,
                  std::optional<std::string>* fullocsp) {
  return getcertstatus(s, pkcs7, ocsp, nonce, fullocsp, nullptr);
}

int getcertstatus(const Session& s, const char* pkcs7, std::string& ocsp, std::optional<std::string>* nonce,
                  std::optional<std::string>* fullocsp, PKCS7* parsed) {
  const int session = s.number;
  ocsp.clear();
  if (nonce != nullptr) nonce->reset();
  if (fullocsp != nullptr) fullocsp->reset();
  if (int rc = enterservice(s); rc != kOk) return rc;

  std::string own;
  if (pkcs7 == nullptr) {
    if (int rc = signdata(s, "dummy", own, KeyRole::signing, ChannelNonce::without); rc != kOk)
      return fail(rc, kAt, "An error occured trying to sign dummy data.\n");
    pkcs7 = own.c_str();
  }
  Pkcs7Ptr own7;
  if (parsed == nullptr) {
    if (int rc = decodepkcs7(session, pkcs7, own7,
                             "getcertstatus_getcertstatus: An error occured trying to base64 decode the pkcs7 input.\n",
                             kP7Parse,
                             "getcertstatus_getcertstatus: An error occured trying to build an pkcs7 structure "
                             "based on the DER encoded pkcs7.\n");
        rc != kOk)
      return rc;
    parsed = own7.get();
  }

  X509* signer = nullptr;
  X509* issuer = nullptr;
  if (int rc = getpkcs7signercert(session, parsed, signer); rc != kOk)
    return fail(rc, kAt, "An error occured trying to retrieve the signing certificate from the pkcs7 structure.\n");
  if (int rc = isvalidpolicy(s, signer, nullptr); rc != kOk)
    return fail(rc, kAt, "An error occured during verification of the signing certificate's policy oid.\n");
  if (int rc = getpkcs7issuercert(session, parsed, issuer); rc != kOk)
    return fail(rc, kAt,
                "An error occured trying to retrieve the signing certificate's issuer certificate from the pkcs7.\n");

  std::string format;
  bool rfc6960 = popinfoitem(session, "ocspFormat", format) == kOk && format == kOcspRfc6960;

  OcspRequestPtr request;
  if (int rc = startrequest(signer, issuer, request); rc != kOk) return rc;
  std::string usage;
  if (int rc = usagetext(session, signer, usage); rc != kOk) return rc;
  std::string billing;
  if (int rc = addocsprequestextensions(session, request.get(), usage, rfc6960, billing); rc != kOk)
    return fail(rc, kAt, "An error occured trying to to add ocsp request extensions to the ocsp request.\n");
  if (nonce != nullptr) *nonce = billing;
  std::string body;
  if (int rc = signocsprequest(s, request.get(), body); rc != kOk)
    return fail(rc, kAt,
                "An error occured trying to sign the ocsp request with the merchants own signing certificate.\n");

  Destination to;
  if (int rc = destination(s, signer, to); rc != kOk) return rc;

  std::string reply;
  if (int rc = exchange(s, to, body, reply); rc != kOk) return rc;
  OcspAnswer answer;
  if (int rc = getocspresponse(session, reply, answer); rc != kOk)
    return fail(rc, kAt,
                "An error occured trying to read the va response and parse it into an ocsp basic response "
                "structure\n");

  if (int rc = encodebase64(session, answer.basicder, ocsp); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the der encoded ocsp response from the va\n");
  if (rfc6960 && fullocsp != nullptr) {
    std::string text;
    if (int rc = encodebase64(session, answer.fullder, text); rc != kOk)
      return fail(rc, kAt, "An error occured trying to base64 encode the der encoded full ocsp response from the va\n");
    *fullocsp = std::move(text);
  }

  OCSP_SINGLERESP* single = nullptr;
  if (int rc = verifyocspresponse(s, request.get(), answer.basic.get(), OcspSubject{signer, issuer, nullptr},
                                  rfc6960 ? 1 : 0, OcspTime::live, &single);
      rc != kOk)
    return fail(rc, kAt, "An error occured trying verify the ocsp response\n");
  return getocspresponsestatus(session, answer.basic.get(), single);
}

}  // namespace zmr
