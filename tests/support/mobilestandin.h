// A stand-in for the mobile gateway ("RAVUD") on the stand-in framework:
// real TLS on 127.0.0.1 with the merchant front end
// "/RAVUD/MobileMerchantFE" and the utility endpoint "/RAVUD/MobileUtility".
// It records each request's pairs in order. The front end checks the proof
// of possession the way the gateway does: popSignature (PKCS#1 by the
// merchant's authentication key) over "URL=..&[sid=..&]mitm=..&popInfo=.."
// rebuilt from the values as they travel (still form-encoded), and the
// popParameters list; it answers by action. The utility endpoint answers
// getDictionary from a table per locale, counts the requests per locale,
// and can hold one locale's reply until the test releases it.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "merchant.h"
#include "standin.h"
#include "txscheme.h"

namespace zmrtest {

// One request as the gateway saw it.
struct GatewayRequest {
  HttpRequest http;
  bool utility = false;  // the utility endpoint, else the front end
  tx::Form pairs;        // decoded, in order
  tx::Form encoded;      // the same pairs with the values as they travelled
  // Front end, when the request has popSignature: the text the gateway
  // checks it over, and the results of the checks.
  std::string popText;
  bool popSignatureValid = false;
  bool popParametersValid = false;  // base64 of "URL,[sid,]mitm,popInfo"
  std::optional<std::string> field(const std::string& key) const { return tx::field(pairs, key); }
  std::vector<std::string> names() const { return tx::names(pairs); }
};

class MobileGatewayStandin {
 public:
  using Answer = std::function<HttpResponse(const GatewayRequest&)>;
  // merchantAuth: the merchant's authentication certificate (borrowed).
  MobileGatewayStandin(const TlsServerOptions& tls, X509* merchantAuth);
  ~MobileGatewayStandin();  // releases a held reply first
  MobileGatewayStandin(const MobileGatewayStandin&) = delete;
  MobileGatewayStandin& operator=(const MobileGatewayStandin&) = delete;

  std::string frontEndUrl() const { return server_.url("/RAVUD/MobileMerchantFE"); }
  std::string utilityUrl() const { return server_.url("/RAVUD/MobileUtility"); }
  StandinServer& server() { return server_; }
  std::vector<GatewayRequest> requests() const;

  // Front end. By default: getStatus gives statusCode=0 and
  // transactionStatus=kStatus, pushSMS statusCode=0, any other action
  // statusCode=0 and transactionReference=kReference. answer replaces
  // that (null restores it); reply() and rawReply() build answers.
  void answerFrontEnd(Answer a);
  static constexpr const char* kReference = "TX-0042 a&b";
  static constexpr const char* kStatus = "COMPLETED";

  // Utility endpoint: getDictionary of a locale answers statusCode=0 with
  // the two lists set for it, or the reply set for it; a locale without
  // either answers statusCode=4. answerUtility replaces all of that.
  void setLists(const std::string& locale, const std::string& list1, const std::string& list2);
  void setUtilityReply(const std::string& locale, HttpResponse reply);
  void answerUtility(Answer a);
  int dictionaryRequests(const std::string& locale) const;
  // Requests for locale wait before answering until release() (or the
  // stand-in ends). They are counted when they arrive.
  void hold(const std::string& locale);
  void release();
  // Requests for the held locale now waiting.
  int waiting() const;

  // 200 with this form body; the same sent exactly as it stands.
  static HttpResponse reply(const std::string& body);
  static HttpResponse rawReply(const std::string& raw);
  // n distinct comma-separated words, prefix0, prefix1, ...
  static std::string wordList(const std::string& prefix, int n);

 private:
  HttpResponse handle(const HttpRequest& request, bool utility);
  HttpResponse frontEnd(const GatewayRequest& r) const;
  HttpResponse dictionary(const GatewayRequest& r);

  X509* merchantAuth_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<GatewayRequest> seen_;
  Answer frontEndAnswer_;
  Answer utilityAnswer_;
  std::map<std::string, std::pair<std::string, std::string>> lists_;
  std::map<std::string, HttpResponse> replies_;
  std::map<std::string, int> counts_;
  std::optional<std::string> held_;
  int waiting_ = 0;
  StandinServer server_;  // last: stopped first
};

// A merchant of environment 1 or 2 whose properties name the gateway
// stand-in (mgmfedns, mgmfeutildns, then extra), with the stand-in serving
// the environment's TLS server certificate.
struct MobileSetup {
  MerchantFiles merchant;
  std::unique_ptr<MobileGatewayStandin> gateway;
};
MobileSetup makeMobileSetup(const std::string& tag, int environment, const Properties& extra = {});
// The same for merchant files already written (another key-file layout).
MobileSetup mobileSetupFor(MerchantFiles merchant, const Properties& extra = {});

// The info items every mobile action needs.
inline const Properties& mobileActionItems() {
  static const Properties items = {{"action", "sign"},
                                   {"url", "https://shop.example.test/pay?x=1&y=a b"},
                                   {"phonenumber", "+44 7700 900123"},
                                   {"phonealias", "alias"},
                                   {"merchantreference", "alpha beta"}};
  return items;
}

}  // namespace zmrtest
