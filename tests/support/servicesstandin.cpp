#include "servicesstandin.h"

namespace zmrtest {

ServicesStandin::ServicesStandin(const TlsServerOptions& tls, EVP_PKEY* serverKey, X509* merchantAuth)
    : engine_(tls, serverKey, merchantAuth, "/zelmor/transactiondata/", "params") {
  engine_.answer([this](const SdmRequest& r) { return reply(r); });
}

void ServicesStandin::answer(ServicesAnswer a) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(a);
}

std::string ServicesStandin::nonceOf(const SdmRequest& r) {
  std::string info;
  if (!tx::unb64(r.field("certinfo").value_or(""), info)) return "";
  size_t at = info.rfind("nonce=");
  return at == std::string::npos ? "" : info.substr(at + 6);
}

std::string ServicesStandin::payloadText(const tx::Form& items) {
  std::string p;
  for (const auto& [name, value] : items)
    p += (p.empty() ? "" : "&") + tx::formEncode(name) + "=" + tx::formEncode(tx::formEncode(value));
  return tx::formEncode(p);
}

HttpResponse ServicesStandin::reply(const SdmRequest& r) const {
  ServicesAnswer a;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    a = answer_;
  }
  if (a.made) return a.made(r);
  HttpResponse out;
  if (a.rawHttp) {
    out.raw = a.rawHttp;
    return out;
  }
  if (!r.opened) {
    out.status = 400;
    out.reason = "Bad Request";
    return out;
  }
  std::string plain = a.answerText ? a.answerText(r) : "nonce=" + nonceOf(r) + "&data=" + payloadText(a.items);
  tx::Envelope e = tx::serverResponse(r.basekey, plain);
  if (a.flipTagBit) {
    std::string tag;
    tx::unb64(e.encAuth, tag);
    tag[tag.size() / 2] ^= 0x10;
    e.encAuth = tx::b64(tag);
  }
  tx::Form body = a.clearFields;
  if (a.withEncData) body.emplace_back("encData", e.encData);
  if (a.withEncAuth) body.emplace_back("encAuth", e.encAuth);
  out.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  out.body = tx::renderForm(body);
  return out;
}

ServicesSetup servicesSetupFor(MerchantFiles merchant, int environment, const Properties& extra) {
  ServicesSetup s;
  s.merchant = std::move(merchant);
  s.centralKey = devCentralKey(environment);
  if (!s.centralKey) s.centralKey = testKey(2048, 57);  // answers nothing the library could open
  const TestPki& pki = s.merchant.pki;
  TlsServerOptions tls{pki.server.get(), pki.server.key.get(), {pki.ca.get()}, ""};
  s.host = std::make_unique<ServicesStandin>(tls, s.centralKey.get(), pki.merchantAuth.get());
  Properties properties = standardProperties(s.merchant.truststore);
  properties.emplace_back("servicehostdns", s.host->url());
  properties.insert(properties.end(), extra.begin(), extra.end());
  writePropertiesFile(s.merchant.properties, properties);
  return s;
}

ServicesSetup makeServicesSetup(const std::string& tag, int environment, const Properties& extra) {
  return servicesSetupFor(makeMerchantFiles(tag, environment), environment, extra);
}

}  // namespace zmrtest
