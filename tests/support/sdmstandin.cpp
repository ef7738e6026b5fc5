#include "sdmstandin.h"

#include <openssl/pem.h>

#include "tempdir.h"

namespace zmrtest {

zmr::EvpPkeyPtr devPrivateKey(const std::string& name) {
#ifdef ZMR_CENTRAL_PRIVATE_DIR
  std::string pem = readFile(std::string(ZMR_CENTRAL_PRIVATE_DIR) + "/" + name);
  zmr::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return zmr::EvpPkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
#else
  (void)name;
  return nullptr;
#endif
}

zmr::EvpPkeyPtr devCentralKey(int environment) {
  return devPrivateKey("env" + std::to_string(environment) + ".key.pem");
}

bool merchantSignatureValid(X509* cert, const std::string& text, const std::string& signatureB64) {
  std::string signature;
  if (cert == nullptr || !tx::unb64(signatureB64, signature)) return false;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  const EVP_MD* md = EVP_PKEY_get_bits(key) == 1024 ? EVP_sha1() : EVP_sha256();
  zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
}

SdmStandin::SdmStandin(const TlsServerOptions& tls, EVP_PKEY* serverKey, X509* merchantAuth, std::string path,
                       std::string listField)
    : serverKey_(serverKey),
      merchantAuth_(merchantAuth),
      path_(std::move(path)),
      listField_(std::move(listField)),
      server_(tls) {
  server_.handle(path_, [this](const HttpRequest& r) { return handle(r); });
}

void SdmStandin::answer(Answer a) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(a);
}

std::vector<SdmRequest> SdmStandin::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

tx::Form SdmStandin::goodPayload(const SdmRequest& r) {
  return {{"nonce", r.field("nonce").value_or("")}, {"cdmUri", kCdmUri}, {"tid", kTid}, {"cid", kCid}};
}

HttpResponse SdmStandin::reply(const SdmRequest& r, const tx::Form& payload, const tx::Form& clearBefore) {
  return replyText(r, tx::renderForm(payload), clearBefore);
}

HttpResponse SdmStandin::replyText(const SdmRequest& r, const std::string& plain, const tx::Form& clearBefore) {
  tx::Envelope e = tx::serverResponse(r.basekey, plain);
  tx::Form body = clearBefore;
  body.emplace_back("encData", e.encData);
  body.emplace_back("encAuth", e.encAuth);
  HttpResponse out;
  out.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  out.body = tx::renderForm(body);
  return out;
}

HttpResponse SdmStandin::handle(const HttpRequest& request) {
  SdmRequest r;
  r.http = request;
  tx::parseForm(request.body, r.outer);
  tx::Envelope e{tx::field(r.outer, "encKey").value_or(""), tx::field(r.outer, "encData").value_or(""),
                 tx::field(r.outer, "encAuth").value_or("")};
  r.opened = tx::openMerchantRequest(serverKey_, e, r.basekey, r.plain, &r.why);
  if (r.opened && tx::parseForm(r.plain, r.fields)) {
    size_t at = r.plain.rfind("&signature=");
    if (at != std::string::npos && !r.fields.empty() && r.fields.back().first == "signature")
      r.signatureValid = merchantSignatureValid(merchantAuth_, r.plain.substr(0, at), r.fields.back().second);
    std::string listed, expected;
    for (const auto& [k, v] : r.fields) {
      if (k == "signature") break;
      if (!expected.empty()) expected += ',';
      expected += k;
      if (k == listField_) r.popValid = tx::unb64(v, listed);
    }
    r.popValid = r.popValid && listed == expected;
  }
  Answer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(r);
    answer = answer_;
  }
  if (answer) return answer(r);
  if (!r.opened) {
    HttpResponse bad;
    bad.status = 400;
    bad.reason = "Bad Request";
    return bad;
  }
  return reply(r, goodPayload(r));
}

SdmSetup makeSdmSetup(const std::string& tag, int environment, const Properties& extra) {
  SdmSetup s;
  s.merchant = makeMerchantFiles(tag, environment);
  s.centralKey = devCentralKey(environment);
  if (!s.centralKey) s.centralKey = testKey(2048, 57);  // answers nothing the library could open
  TlsServerOptions tls{s.merchant.pki.server.get(), s.merchant.pki.server.key.get(), {s.merchant.pki.ca.get()}, ""};
  s.sdm = std::make_unique<SdmStandin>(tls, s.centralKey.get(), s.merchant.pki.merchantAuth.get());
  Properties properties = standardProperties(s.merchant.truststore);
  properties.emplace_back("initsessiondns", s.sdm->url());
  properties.insert(properties.end(), extra.begin(), extra.end());
  writePropertiesFile(s.merchant.properties, properties);
  return s;
}

}  // namespace zmrtest
