#include "mobilestandin.h"

#include "sdmstandin.h"

namespace zmrtest {

MobileGatewayStandin::MobileGatewayStandin(const TlsServerOptions& tls, X509* merchantAuth)
    : merchantAuth_(merchantAuth), server_(tls) {
  server_.handle("/RAVUD/MobileMerchantFE", [this](const HttpRequest& r) { return handle(r, false); });
  server_.handle("/RAVUD/MobileUtility", [this](const HttpRequest& r) { return handle(r, true); });
}

MobileGatewayStandin::~MobileGatewayStandin() {
  release();
  server_.stop();
}

std::vector<GatewayRequest> MobileGatewayStandin::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void MobileGatewayStandin::answerFrontEnd(Answer a) {
  std::lock_guard<std::mutex> lock(mutex_);
  frontEndAnswer_ = std::move(a);
}

void MobileGatewayStandin::answerUtility(Answer a) {
  std::lock_guard<std::mutex> lock(mutex_);
  utilityAnswer_ = std::move(a);
}

void MobileGatewayStandin::setLists(const std::string& locale, const std::string& list1, const std::string& list2) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.erase(locale);
  lists_[locale] = {list1, list2};
}

void MobileGatewayStandin::setUtilityReply(const std::string& locale, HttpResponse reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  lists_.erase(locale);
  replies_[locale] = std::move(reply);
}

int MobileGatewayStandin::dictionaryRequests(const std::string& locale) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(locale);
  return it == counts_.end() ? 0 : it->second;
}

void MobileGatewayStandin::hold(const std::string& locale) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = locale;
}

void MobileGatewayStandin::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.reset();
  }
  released_.notify_all();
}

int MobileGatewayStandin::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

HttpResponse MobileGatewayStandin::reply(const std::string& body) {
  HttpResponse out;
  out.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  out.body = body;
  return out;
}

HttpResponse MobileGatewayStandin::rawReply(const std::string& raw) {
  HttpResponse out;
  out.raw = raw;
  return out;
}

std::string MobileGatewayStandin::wordList(const std::string& prefix, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (i == 0 ? "" : ",") + prefix + std::to_string(i);
  return out;
}

HttpResponse MobileGatewayStandin::handle(const HttpRequest& request, bool utility) {
  GatewayRequest r;
  r.http = request;
  r.utility = utility;
  // Pairs split at "&" and the first "="; the values kept as they came too.
  size_t pos = 0;
  while (pos <= request.body.size() && !request.body.empty()) {
    size_t amp = request.body.find('&', pos);
    std::string piece = request.body.substr(pos, amp == std::string::npos ? amp : amp - pos);
    size_t eq = piece.find('=');
    std::string name = piece.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : piece.substr(eq + 1);
    std::string decoded;
    if (!tx::formDecode(value, decoded)) decoded = "<undecodable>";
    r.pairs.emplace_back(name, decoded);
    r.encoded.emplace_back(name, value);
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  if (!utility) {
    auto raw = [&](const std::string& key) { return tx::field(r.encoded, key); };
    if (auto signature = r.field("popSignature")) {
      std::optional<std::string> sid = raw("sid");
      r.popText = "URL=" + raw("URL").value_or("") + "&" + (sid ? "sid=" + *sid + "&" : "") +
                  "mitm=" + raw("mitm").value_or("") + "&popInfo=" + raw("popInfo").value_or("");
      r.popSignatureValid = merchantSignatureValid(merchantAuth_, r.popText, *signature);
      std::string listed;
      r.popParametersValid = tx::unb64(r.field("popParameters").value_or(""), listed) &&
                             listed == (sid ? "URL,sid,mitm,popInfo" : "URL,mitm,popInfo");
    }
  }
  Answer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(r);
    answer = utility ? utilityAnswer_ : frontEndAnswer_;
  }
  if (utility) {
    std::string locale = r.field("locale").value_or("");
    std::unique_lock<std::mutex> lock(mutex_);
    ++counts_[locale];
    ++waiting_;
    released_.wait(lock, [&] { return held_ != locale; });
    --waiting_;
  }
  if (answer) return answer(r);
  return utility ? dictionary(r) : frontEnd(r);
}

HttpResponse MobileGatewayStandin::frontEnd(const GatewayRequest& r) const {
  std::string action = r.field("action").value_or("");
  if (action == "getStatus") return reply("statusCode=0&transactionStatus=" + tx::formEncode(kStatus));
  if (action == "pushSMS") return reply("statusCode=0");
  return reply("statusCode=0&transactionReference=" + tx::formEncode(kReference));
}

HttpResponse MobileGatewayStandin::dictionary(const GatewayRequest& r) {
  std::string locale = r.field("locale").value_or("");
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = replies_.find(locale); it != replies_.end()) return it->second;
  auto it = lists_.find(locale);
  if (r.field("action") != "getDictionary" || it == lists_.end()) return reply("statusCode=4");
  return reply("statusCode=0&dictionary1=" + tx::formEncode(it->second.first) +
               "&dictionary2=" + tx::formEncode(it->second.second));
}

MobileSetup mobileSetupFor(MerchantFiles merchant, const Properties& extra) {
  MobileSetup s;
  s.merchant = std::move(merchant);
  const TestPki& pki = s.merchant.pki;
  TlsServerOptions tls{pki.server.get(), pki.server.key.get(), {pki.ca.get()}, ""};
  s.gateway = std::make_unique<MobileGatewayStandin>(tls, pki.merchantAuth.get());
  Properties properties = standardProperties(s.merchant.truststore);
  properties.emplace_back("mgmfedns", s.gateway->frontEndUrl());
  properties.emplace_back("mgmfeutildns", s.gateway->utilityUrl());
  properties.insert(properties.end(), extra.begin(), extra.end());
  writePropertiesFile(s.merchant.properties, properties);
  return s;
}

MobileSetup makeMobileSetup(const std::string& tag, int environment, const Properties& extra) {
  return mobileSetupFor(makeMerchantFiles(tag, environment), extra);
}

}  // namespace zmrtest
