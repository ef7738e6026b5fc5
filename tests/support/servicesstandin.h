// A stand-in for the services host (transaction information): the engine
// of the Rirorer Idor Azoriva stand-in (sdmstandin.h) at
// "/zelmor/transactiondata/" with the list field params. It opens each
// request with the central server's private key and records both forms,
// the signature and params checks, and the nonce of certinfo as it stands
// (still form-encoded).
//
// By default it answers, encrypted under the request's key,
//   "nonce=" + that nonce + "&data=" + formEncode(P)
// with P the pairs formEncode(name) "=" formEncode(formEncode(value)) of
// the items the test set, joined by "&". ServicesAnswer bends any part.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "merchant.h"
#include "sdmstandin.h"

namespace zmrtest {

struct ServicesAnswer {
  tx::Form items{};                       // the payload pairs
  // The decrypted answer as it stands, made for the request (for its nonce).
  std::function<std::string(const SdmRequest&)> answerText{};
  tx::Form clearFields{};                 // clear fields before encData (ErrorCode, ErrorMsg)
  bool withEncData = true;
  bool withEncAuth = true;
  bool flipTagBit = false;                // one bit of the tag turned over
  std::optional<std::string> rawHttp{};   // the whole HTTP reply, sent as it stands
  // Any reply made for the request, in place of all of the above.
  std::function<HttpResponse(const SdmRequest&)> made{};
};

class ServicesStandin {
 public:
  ServicesStandin(const TlsServerOptions& tls, EVP_PKEY* serverKey, X509* merchantAuth);
  std::string url() const { return engine_.url(); }
  StandinServer& server() { return engine_.server(); }
  std::vector<SdmRequest> requests() const { return engine_.requests(); }
  void answer(ServicesAnswer a);

  // The nonce of a request's certinfo as it stands ("" when unreadable).
  static std::string nonceOf(const SdmRequest& r);
  // formEncode(P) of the items.
  static std::string payloadText(const tx::Form& items);

 private:
  HttpResponse reply(const SdmRequest& r) const;
  mutable std::mutex mutex_;
  ServicesAnswer answer_;
  SdmStandin engine_;
};

// A merchant of environment 1 or 2 whose properties name the stand-in as
// servicehostdns (then extra), the development key, and the stand-in
// serving the environment's TLS server certificate.
struct ServicesSetup {
  MerchantFiles merchant;
  zmr::EvpPkeyPtr centralKey;
  std::unique_ptr<ServicesStandin> host;
};
ServicesSetup makeServicesSetup(const std::string& tag, int environment, const Properties& extra = {});
// The same for merchant files already written (another key-file layout).
ServicesSetup servicesSetupFor(MerchantFiles merchant, int environment, const Properties& extra = {});

}  // namespace zmrtest
