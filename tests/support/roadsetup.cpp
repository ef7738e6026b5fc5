#include "roadsetup.h"

#include <zmr/zmr.h>

#include <utility>

#include "apitest.h"

namespace zmrtest {

RoadSetup makeRoadSetup(const std::string& tag, int environment, bool vaTls, const Properties& extra) {
  RoadSetup s;
  s.merchant = makeMerchantFiles(tag, environment);
  const TestPki& pki = s.merchant.pki;
  s.centralKey = devCentralKey(environment);
  if (!s.centralKey) s.centralKey = testKey(2048, 57);  // answers nothing the library could open
  TlsServerOptions tls{pki.server.get(), pki.server.key.get(), {pki.ca.get()}, ""};
  s.sdm = std::make_unique<SdmStandin>(tls, s.centralKey.get(), pki.merchantAuth.get());
  s.va = std::make_unique<VaStandin>(pki, vaTls ? &tls : nullptr);
  Properties properties = standardProperties(s.merchant.truststore);
  properties.emplace_back("initsessiondns", s.sdm->url());
  properties.emplace_back("vaport", std::to_string(s.va->port()));
  if (!vaTls) properties.emplace_back("vassldisabled", "true");
  properties.insert(properties.end(), extra.begin(), extra.end());
  writePropertiesFile(s.merchant.properties, properties);
  return s;
}

int beginClientSession(int session, const char* action, std::string& tid) {
  tid.clear();
  const std::pair<const char*, const char*> options[] = {{"action", action},
                                                         {"merchantUrl", "https://shop.example.test/"},
                                                         {"merchantFEDomain", "shop.example.test"},
                                                         {"useragent", "Mozilla/5.0 (test)"},
                                                         {"clientVersion", "2.1"},
                                                         {"docDisplayMode", "interior"}};
  for (const auto& [k, v] : options) {
    if (int rc = zmr_setinfoitem(session, k, v); rc != 0) return rc;
  }
  char *cdmuri = nullptr, *t = nullptr, *cid = nullptr;
  const int rc = zmr_initsession(session, &cdmuri, &t, &cid);
  take(cdmuri);
  take(cid);
  tid = take(t);
  return rc;
}

}  // namespace zmrtest
