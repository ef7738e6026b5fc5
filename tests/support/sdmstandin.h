// A stand-in for the Rirorer Idor Azoriva (client session set-up) on the
// stand-in framework: real TLS on 127.0.0.1, path "/sdm/". It opens each
// initSession request with the central server's private key through the
// test-side scheme (txscheme.h), checks the merchant's PKCS#1 signature and
// the popParameters list, records what it saw, and answers as the test
// says (by default: the nonce echoed, with cdmUri, tid and cid, encrypted
// under the request's base key). The same engine serves any central server
// that takes such signed, encrypted forms at another path and with another
// list field (the services host: servicesstandin.h).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "merchant.h"
#include "misc/ossl.h"
#include "standin.h"
#include "txscheme.h"

namespace zmrtest {

// The private key of the development central-server key set of an
// environment (1 or 2) that the build made; null when the build has none.
zmr::EvpPkeyPtr devCentralKey(int environment);
// A private key of the build's development set by its file name
// (envN.key.pem, envN.coi.key.pem); null when the build has none.
zmr::EvpPkeyPtr devPrivateKey(const std::string& name);

// True when signatureB64 is the merchant's PKCS#1 v1.5 signature over text
// by the key of cert (SHA-1 for a 1024-bit key, else SHA-256).
bool merchantSignatureValid(X509* cert, const std::string& text, const std::string& signatureB64);

// One request as the stand-in saw it.
struct SdmRequest {
  HttpRequest http;
  tx::Form outer;          // the posted form (encKey, encData, encAuth)
  bool opened = false;     // the envelope opened (key, tag, decryption)
  std::string why;         // why not, when it did not
  std::string basekey;     // raw 32 bytes
  std::string plain;       // the inner form as sent
  tx::Form fields;         // the inner form, decoded
  bool signatureValid = false;  // PKCS#1 over the form before "&signature="
  bool popValid = false;        // the list field (popParameters) lists every field before signature
  std::optional<std::string> field(const std::string& key) const { return tx::field(fields, key); }
};

class SdmStandin {
 public:
  using Answer = std::function<HttpResponse(const SdmRequest&)>;
  // serverKey: the central server's private key (borrowed). merchantAuth:
  // the merchant's authentication certificate, to check signatures with.
  // path and listField: where it serves, and the field that must list the
  // names of every field before signature, itself included (base64 of the
  // names joined by ",").
  SdmStandin(const TlsServerOptions& tls, EVP_PKEY* serverKey, X509* merchantAuth, std::string path = "/sdm/",
             std::string listField = "popParameters");

  std::string url() const { return server_.url(path_); }
  int port() const { return server_.port(); }
  StandinServer& server() { return server_; }
  void answer(Answer a);
  std::vector<SdmRequest> requests() const;

  // Answers to build on. reply: HTTP 200 with encData and encAuth of the
  // payload form under the request's key (clear fields before them);
  // replyText the same for an answer text as it stands.
  static HttpResponse reply(const SdmRequest& r, const tx::Form& payload, const tx::Form& clearBefore = {});
  static HttpResponse replyText(const SdmRequest& r, const std::string& plain, const tx::Form& clearBefore = {});
  // The good payload: nonce echoed, then cdmUri, tid, cid.
  static tx::Form goodPayload(const SdmRequest& r);
  static constexpr const char* kCdmUri = "https://cdm.example.test/client?x=1&y=2";
  static constexpr const char* kTid = "tid-0042";
  static constexpr const char* kCid = "cid-0042";

 private:
  HttpResponse handle(const HttpRequest& request);
  EVP_PKEY* serverKey_;
  X509* merchantAuth_;
  std::string path_;
  std::string listField_;
  mutable std::mutex mutex_;
  Answer answer_;
  std::vector<SdmRequest> seen_;
  StandinServer server_;  // last: stopped first
};

// A merchant of one environment and the stand-in of its Rirorer Idor
// Azoriva: merchant files (their properties file also names the stand-in
// as initsessiondns, plus extra), the development key, and the stand-in
// serving the environment's TLS server certificate.
struct SdmSetup {
  MerchantFiles merchant;
  zmr::EvpPkeyPtr centralKey;  // null when the build has no development set
  std::unique_ptr<SdmStandin> sdm;
};
SdmSetup makeSdmSetup(const std::string& tag, int environment, const Properties& extra = {});

// The request options every initSession needs (action "auth").
inline const Properties& initSessionItems() {
  static const Properties items = {{"action", "auth"},
                                   {"merchantUrl", "https://shop.example.test/"},
                                   {"merchantFEDomain", "shop.example.test"},
                                   {"useragent", "Mozilla/5.0 (test)"}};
  return items;
}

}  // namespace zmrtest
