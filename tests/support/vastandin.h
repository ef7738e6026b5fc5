// A stand-in validation authority (OCSP responder) on the stand-in
// framework: plain HTTP or real TLS on 127.0.0.1, any path. It takes each
// request apart with a DER reader of its own, checks its signature with
// OpenSSL, records what it saw, and answers as the test says: by default a
// fresh good answer about the request's CertID with its nonce echoed,
// signed by the PKI's responder; or from the fixture factory (any status,
// CertID, nonce, age, signer, extensions), an error status, another
// response type, raw bytes, or OpenSSL's own responder run per request.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "keyfiles.h"
#include "merchant.h"
#include "pki.h"
#include "standin.h"

namespace zmrtest {

inline constexpr const char* kOidOcspNonce = "1.3.6.1.5.5.7.48.1.2";
inline constexpr const char* kOidAcceptableResponses = "1.3.6.1.5.5.7.48.1.4";
inline constexpr const char* kOidWanted = "1.2.3.4";
inline constexpr const char* kOidBilling = "2.999.10.1.15.200.1.2.1";
inline constexpr const char* kOidRfc6960Flag = "2.999.10.1.16.7.1";

struct VaExtension {
  std::string oid;  // dotted
  bool critical = false;
  std::string value;  // the extension value's bytes (extnValue content)
};

// One request as the stand-in saw it.
struct VaRequest {
  HttpRequest http;
  bool decoded = false;            // the body is one OCSPRequest, exactly, to OpenSSL and the DER reader
  std::string why;                 // why not, when it was not
  std::vector<std::string> certIds;  // DER of each CertID in the request list
  std::string certIdDigest;        // dotted hash OID of the first CertID
  std::vector<VaExtension> extensions;  // request extensions, in order
  std::string requestorName;       // DER of the directoryName in requestorName; "" when none
  std::string signatureAlgorithm;  // dotted; "" for an unsigned request
  std::vector<std::string> certs;  // DER of each certificate of the signature, in order
  bool signatureValid = false;     // OCSP_request_verify (signature by the carried signer) passed

  std::optional<std::string> extension(const std::string& oid) const;
  // The nonce extension's OCTET STRING content (the random bytes).
  std::optional<std::string> nonce() const;
};

// OpenSSL's responder (`openssl ocsp -index ... -reqin ... -respout ...`)
// as the validation authority: status per certificate from an index file;
// certificates it does not list are "unknown". The CA is the PKI's issuing
// CA, the responder the PKI's responder.
struct OpensslResponder {
  struct Entry {
    const X509* cert = nullptr;
    bool revoked = false;
  };
  std::vector<Entry> index;
  bool rother = false;   // -rother: the issuing CA rides along in the answer
  bool noCerts = false;  // -resp_no_certs
};

class VaStandin {
 public:
  using Answer = std::function<HttpResponse(const VaRequest&)>;
  // tls null: plain HTTP. pki is kept by copy (its certificates shared).
  VaStandin(const TestPki& pki, const TlsServerOptions* tls = nullptr);

  int port() const { return server_.port(); }
  StandinServer& server() { return server_; }
  void answer(Answer a);
  // From now on OpenSSL's responder answers (a working directory of its own).
  void useOpenssl(const OpensslResponder& responder);
  std::vector<VaRequest> requests() const;
  std::optional<VaRequest> lastRequest() const;  // without copying them all
  // Whether requests are kept for requests() and lastRequest() (by default
  // they are). A long run turns it off: the stand-in then answers without
  // growing, and what it returns stays as it was.
  void keepRequests(bool keep);

  // The default answer as a spec to adjust: good, about the request's first
  // CertID as it stands, nonce echoed, signed by the responder, fresh.
  OcspSpec goodSpec(const VaRequest& r) const;
  // HTTP 200, application/ocsp-response, the bytes as body.
  static HttpResponse reply(const std::string& ocspResponseDer);
  static HttpResponse reply(const OcspSpec& spec) { return reply(makeOcspResponseDer(spec)); }

 private:
  HttpResponse handle(const HttpRequest& request);
  HttpResponse runOpenssl(const VaRequest& r);
  TestPki pki_;
  mutable std::mutex mutex_;
  Answer answer_;
  std::string openssldir_;
  OpensslResponder openssl_;
  int runs_ = 0;
  bool keep_ = true;
  std::vector<VaRequest> seen_;
  StandinServer server_;  // last: stopped first
};

// A merchant whose properties name the stand-in: vaport, and vassldisabled
// "true" for a plain stand-in; extra properties after those.
struct VaSetup {
  MerchantFiles merchant;
  std::unique_ptr<VaStandin> va;
};
VaSetup makeVaSetup(const std::string& tag, const TestPki& pki, bool tls, const Properties& extra = {},
                    const std::function<void(KeyFileSpec&)>& layout = {});

// The plain stand-in with its default answers in a process of its own,
// for tests that fork while it serves: a child forked while a stand-in
// thread of the same process is inside OpenSSL inherits the locks that
// thread holds and waits on them for ever. The process is forked when no
// other thread runs, and ends with the object.
class VaProcess {
 public:
  explicit VaProcess(const TestPki& pki);
  ~VaProcess();
  VaProcess(const VaProcess&) = delete;
  VaProcess& operator=(const VaProcess&) = delete;
  int port() const { return port_; }

 private:
  void end();  // closes the stop pipe and waits for the process
  int pid_ = -1;
  int stopfd_ = -1;
  int port_ = -1;
};

// makeVaSetup's merchant files (plain HTTP) naming a VaProcess.
struct VaProcessSetup {
  MerchantFiles merchant;
  std::unique_ptr<VaProcess> va;
};
VaProcessSetup makeVaProcessSetup(const std::string& tag, const TestPki& pki);

// A PKCS#7 by the PKI's end user with the issuing CA in it: what the
// certificate-status operation asks about.
std::string endUserPkcs7(const TestPki& pki, const TestCert* signer = nullptr);

}  // namespace zmrtest
