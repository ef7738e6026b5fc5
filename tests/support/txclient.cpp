#include "txclient.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <cctype>
#include <stdexcept>

#include "fixtures.h"
#include "gsm.h"
#include "sdmstandin.h"

namespace zmrtest {
namespace {

constexpr const char* kChannelOid = "1.2.840.113549.1.9.25.3";
constexpr const char* kSigningTimeOid = "1.2.840.113549.1.9.5";
constexpr const char* kSigningCertOid = "1.2.840.113549.1.9.16.2.19";
constexpr const char* kSigningCertV2Oid = "1.2.840.113549.1.9.16.2.47";
constexpr const char* kOptionalNames[5] = {"userID", "OTPService", "timeout", "nextURL", "userIDKeystrokeData"};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool iequal(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string upToNul(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string latin1ToUtf8(const std::string& latin1) {
  std::string out;
  for (unsigned char c : latin1) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string opensslError() {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return text;
}

std::string sha1Of(const std::string& bytes) { return digestOf(EVP_sha1(), bytes); }
std::string sha256Of(const std::string& bytes) { return digestOf(EVP_sha256(), bytes); }

// The first value of the signed attribute of oid, or null.
ASN1_TYPE* signedAttribute(PKCS7_SIGNER_INFO* si, const char* oid) {
  const STACK_OF(X509_ATTRIBUTE)* attributes = PKCS7_get_signed_attributes(si);
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(attributes, i);
    char text[80];
    OBJ_obj2txt(text, sizeof text, X509_ATTRIBUTE_get0_object(a), 1);
    if (std::string(text) == oid) return X509_ATTRIBUTE_get0_type(a, 0);
  }
  return nullptr;
}

zmr::Pkcs7Ptr parse(const std::string& b64) {
  std::string der;
  if (!tx::unb64(b64, der)) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  zmr::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) return nullptr;
  return p7;
}

PKCS7_SIGNER_INFO* firstSigner(PKCS7* p7) {
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
  return sk_PKCS7_SIGNER_INFO_num(infos) == 1 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
}

std::vector<std::string> splitComma(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

std::string commonName(X509* cert) {
  char text[256] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, text, sizeof text);
  return text;
}

// The bytes a document's signature covers.
std::string signedBytes(const TxDocument& d) {
  return d.kind == TxDocument::xml ? TxClient::xmlEnvelope(d.content, d.xsl) : d.content;
}

enum class Kind { auth20, sign20, sign21, ncAuth, ncSign, mobileAuth, mobileSign, none };

Kind kindOf(const TxRequest& r) {
  std::optional<std::string> carrier = r.field("carrier");
  if (!carrier) return r.operation == "initAuth" ? Kind::ncAuth : r.operation == "initSign" ? Kind::ncSign : Kind::none;
  if (*carrier == "mobile")
    return r.operation == "initAuth" ? Kind::mobileAuth : r.operation == "initSign" ? Kind::mobileSign : Kind::none;
  if (*carrier != "NC_ZMR20" || !r.field("clientInfo")) return Kind::none;
  if (r.operation != "initSign") return Kind::auth20;
  return *r.field("clientInfo") == "2.1" ? Kind::sign21 : Kind::sign20;
}

}  // namespace

zmr::EvpPkeyPtr devCoiKey(int environment) {
  return devPrivateKey("env" + std::to_string(environment) + ".coi.key.pem");
}

void setField(tx::Form& form, const std::string& key, const std::string& value) {
  for (auto& [k, v] : form) {
    if (k == key) {
      v = value;
      return;
    }
  }
  form.emplace_back(key, value);
}

void dropField(tx::Form& form, const std::string& key) {
  std::erase_if(form, [&](const auto& pair) { return pair.first == key; });
}

int MerchantItems::apply(int session) const {
  auto set = [&](const std::string& key, const std::optional<std::string>& value) {
    return value ? zmr_setinfoitem(session, key.c_str(), value->c_str()) : 0;
  };
  int rc = set("traceId", traceId);
  for (const auto& [k, v] : channel)
    if (rc == 0) rc = set(k, v);
  for (const auto& [k, v] : optional)
    if (rc == 0) rc = set(k, v);
  if (rc == 0) rc = set("mimeType", mimeType);
  if (rc == 0 && data) rc = set("data", tx::b64(*data));
  if (rc == 0) rc = set("xml", xml);
  if (rc == 0) rc = set("xsl", xsl);
  if (rc == 0) rc = set("dataDescription", description);
  if (rc == 0) rc = set("signers", signers);
  if (rc == 0) rc = set("extPDFUrl", extPDFUrl);
  if (rc == 0) rc = set("cmsFormat", cmsFormat);
  if (rc == 0) rc = set("ocspFormat", ocspFormat);
  for (const TxDocument& d : documents) {
    if (rc != 0) break;
    switch (d.kind) {
      case TxDocument::text:
        rc = zmr_adddocumenttext(session, tx::b64(d.content).c_str(), d.description.c_str());
        break;
      case TxDocument::pdf:
        rc = zmr_adddocumentpdf(session, tx::b64(d.content).c_str(), d.description.c_str());
        break;
      case TxDocument::xml:
        rc = zmr_adddocumentxml(session, d.content.c_str(), d.xsl.c_str(), d.description.c_str());
        break;
    }
  }
  return rc;
}

TxClient::TxClient(const TestPki& pki, std::string webaddress, zmr::EvpPkeyPtr coiKey)
    : auth_(pki.merchantAuth), sign_(pki.merchantSign), root_(pki.root), ca_(pki.ca), responder_(pki.responder),
      user_(makeEndUser(pki)), webaddress_(std::move(webaddress)), coiKey_(std::move(coiKey)) {}

tx::Form TxClient::signFields(Carrier carrier, const std::string& clientInfo, const std::string& traceId) const {
  switch (carrier) {
    case Carrier::nczmr20: return {{"carrier", "NC_ZMR20"}, {"clientInfo", clientInfo}, {"traceId", traceId}};
    case Carrier::none: return {{"clientIp", "192.0.2.10"}};
    case Carrier::mobile: return {{"carrier", "mobile"}, {"prepareText", "false"}};
  }
  return {};
}

tx::Form TxClient::authFields(Carrier carrier, const std::string& clientInfo, const std::string& traceId) const {
  tx::Form form = signFields(carrier, clientInfo, traceId);
  form.emplace_back("clientChallenge", tx::b64(tx::randomBytes(20)));
  // "Log in at <merchant> on your phone (" in Latin-1.
  if (carrier == Carrier::mobile)
    form.emplace_back("authHeader", tx::b64("Logg inn hos " + commonName(sign_.get()) + " p\xE5 mobilen ("));
  return form;
}

TxRequest TxClient::request(const std::string& operation, const tx::Form& fields) const {
  return request(operation, fields, Tamper{});
}

TxRequest TxClient::request(const std::string& operation, const tx::Form& fields, const Tamper& how) const {
  TxRequest r;
  r.operation = operation;
  r.fields = fields;
  r.extra = how.extra;
  EVP_PKEY* to = how.to != nullptr ? how.to : X509_get0_pubkey(auth_.get());
  r.envelope = tx::clientRequest(to, how.plain.value_or(tx::renderForm(fields)), how.tagOperation.value_or(operation),
                                 how.extra, how.basekey, &r.basekey);
  if (how.flipTag) {
    std::string tag;
    if (!tx::unb64(r.envelope.encAuth, tag) || tag.empty()) throw std::runtime_error("tag");
    tag[tag.size() / 2] = static_cast<char>(tag[tag.size() / 2] ^ 0x10);
    r.envelope.encAuth = tx::b64(tag);
  }
  return r;
}

// ---- verification ----

int ResponseItems::apply(int session) const {
  int rc = 0;
  for (const auto& [key, value] : {std::pair{"errorCode", errorCode}, std::pair{"sdo", sdo},
                                   std::pair{"target", target}, std::pair{"nextURL", nextURL}})
    if (rc == 0 && value) rc = zmr_setinfoitem(session, key, value->c_str());
  return rc;
}

std::string reportText(const tx::Form& pairs) { return tx::renderForm(pairs); }

namespace {

// carrier, clientInfo and traceId of the init request, those it had.
tx::Form repeated(const TxRequest& init) {
  tx::Form out;
  for (const char* name : {"carrier", "clientInfo", "traceId"})
    if (std::optional<std::string> v = init.field(name)) out.emplace_back(name, *v);
  return out;
}

}  // namespace

std::string TxClient::userSignature(const std::string& content, const TestCert& signer, bool binary,
                                    bool withCa) const {
  const int flags = PKCS7_DETACHED | (binary ? PKCS7_BINARY : 0);
  zmr::BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  zmr::Pkcs7Ptr p7(in ? PKCS7_sign(nullptr, nullptr, nullptr, in.get(), flags | PKCS7_PARTIAL) : nullptr);
  if (!p7 || PKCS7_sign_add_signer(p7.get(), signer.get(), signer.key.get(), EVP_sha256(), flags) == nullptr ||
      (withCa && PKCS7_add_certificate(p7.get(), user_.ca.get()) != 1) || PKCS7_final(p7.get(), in.get(), flags) != 1)
    throw std::runtime_error("user signature: " + opensslError());
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(p7.get(), &der);
  if (length <= 0) throw std::runtime_error("user signature DER");
  std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return tx::b64(out);
}

std::string TxClient::serverOcsp() const {
  return tx::b64(makeOcspBasicDer(ocspFor(responder_, sign_.get(), ca_.get())));
}

std::vector<std::string> TxClient::documentsData(const std::string& json) {
  static const std::string kMember = "\"data\":\"";
  std::vector<std::string> out;
  for (size_t at = json.find(kMember); at != std::string::npos; at = json.find(kMember, at)) {
    at += kMember.size();
    const size_t end = json.find('"', at);
    std::string bytes;
    if (end == std::string::npos || !tx::unb64(json.substr(at, end - at), bytes))
      throw std::runtime_error("Documents: a data member that is not base64");
    out.push_back(bytes);
  }
  return out;
}

tx::Form TxClient::verifyAuthFields(const TxRequest& init, const TxAnswer& answer,
                                    const std::optional<std::string>& rtReport) const {
  std::string challenge = answer.serverChallenge;
  if (challenge.empty() && !tx::unb64(answer.field("serverChallenge").value_or(""), challenge))
    throw std::runtime_error("the answer has no serverChallenge");
  tx::Form form = repeated(init);
  form.emplace_back("pkcs7", userSignature(challenge, user_.auth));
  if (rtReport) form.emplace_back("rtReport", *rtReport);
  return form;
}

tx::Form TxClient::verifySignFields(const TxRequest& init, const TxAnswer& answer,
                                    const std::optional<std::string>& rtReport, const std::string& cpReport) const {
  tx::Form form = repeated(init);
  if (std::optional<std::string> documents = answer.field("Documents")) {
    std::string signatures;
    for (const std::string& data : documentsData(*documents))
      signatures += (signatures.empty() ? "" : ",") + userSignature(data, user_.sign);
    form.emplace_back("clientpkcs7s", signatures);
    form.emplace_back("ocsp", serverOcsp());
    form.emplace_back("cpReport", tx::formEncode(cpReport));
    if (rtReport) form.emplace_back("rtReport", *rtReport);
    return form;
  }
  std::string data;
  if (!tx::unb64(answer.field("data").value_or(""), data)) throw std::runtime_error("the answer has no data");
  form.emplace_back("pkcs7", userSignature(data, user_.sign));
  form.emplace_back("ocsp", serverOcsp());
  if (rtReport) form.emplace_back("rtReport", *rtReport);
  return form;
}

tx::Form TxClient::handleErrorFields(const TxRequest& init, const std::string& errCode,
                                     const std::optional<std::string>& rtReport) const {
  tx::Form form = repeated(init);
  form.emplace_back("errCode", errCode);
  if (rtReport) form.emplace_back("rtReport", *rtReport);
  return form;
}

TxAnswer TxClient::checkResponse(const TxRequest& init, const TxRequest& verification, const std::string& answer,
                                 const ResponseItems& items) const {
  TxAnswer a;
  auto fail = [&](const std::string& why) {
    a.ok = false;
    a.why = why;
    return a;
  };
  std::string plain;
  if (!tx::openAnswer(init.basekey, answer, plain)) {
    if (tx::openAnswer(verification.basekey, answer, plain))
      return fail("the answer opens with the verification request's key, not the init request's");
    return fail("the answer does not open under the init request's key");
  }
  if (!tx::parseForm(plain, a.fields)) return fail("the answer is not a form: " + plain);

  const std::optional<std::string> carrier =
      verification.field("carrier") ? verification.field("carrier") : init.field("carrier");
  const bool asked = verification.operation == "verifyAuth" || verification.operation == "verifySign";
  tx::Form want;
  if (verification.operation == "handleError" && verification.field("errCode"))
    want.emplace_back("errCode", *verification.field("errCode"));
  else if (items.errorCode)
    want.emplace_back("errCode", *items.errorCode);
  else
    want.emplace_back("status", "OK");
  if (items.sdo) want.emplace_back("sdo", *items.sdo);
  if (carrier != "mobile") {
    if (items.target) want.emplace_back("target", *items.target);
    if (items.nextURL) want.emplace_back("nextURL", *items.nextURL);
  }
  const bool vaPerf = items.vaPerf.value_or(asked);
  std::string got, expected;
  for (const auto& [k, v] : a.fields) got += k + " ";
  for (const auto& [k, v] : want) expected += k + " ";
  if (vaPerf) expected += "vaPerf ";
  if (got != expected) return fail("fields " + got + "instead of " + expected);
  for (size_t i = 0; i < want.size(); ++i)
    if (a.fields[i].second != want[i].second)
      return fail(want[i].first + ": \"" + a.fields[i].second + "\", expected \"" + want[i].second + "\"");
  if (vaPerf) {
    const std::string& ms = a.fields.back().second;
    if (ms.empty() || ms.find_first_not_of("0123456789") != std::string::npos)
      return fail("vaPerf: \"" + ms + "\" is not a decimal number");
  }
  a.ok = true;
  return a;
}

std::string TxClient::xmlEnvelope(const std::string& xml, const std::string& xsl) {
  return "<ZelmorXML><ZMRXML>" + upToNul(xml) + "</ZMRXML><ZMRXSL>" + upToNul(xsl) + "</ZMRXSL></ZelmorXML>";
}

std::string TxClient::documentsJson(const std::vector<TxDocument>& documents) {
  static const char* const kMime[] = {"text/plain", "application/pdf", "text/ZMRXML"};
  std::string out = "[";
  for (size_t i = 0; i < documents.size(); ++i) {
    const TxDocument& d = documents[i];
    std::string description;
    for (unsigned char c : latin1ToUtf8(d.description)) {
      switch (c) {
        case '"': description += "\\\""; break;
        case '\\': description += "\\\\"; break;
        case '\b': description += "\\b"; break;
        case '\f': description += "\\f"; break;
        case '\n': description += "\\n"; break;
        case '\r': description += "\\r"; break;
        case '\t': description += "\\t"; break;
        default:
          if (c < 0x20) {
            static const char hex[] = "0123456789ABCDEF";
            description += std::string("\\u00") + hex[c >> 4] + hex[c & 15];
          } else {
            description.push_back(static_cast<char>(c));
          }
      }
    }
    out += i == 0 ? "{\n" : ",{\n";
    out += std::string("    \"mimeType\":\"") + kMime[d.kind] + "\",\n";
    out += "    \"data\":\"" + tx::b64(signedBytes(d)) + "\",\n";
    out += "    \"description\":\"" + description + "\",\n";
    out += "    \"encoding\":\"ISO-8859-1\"\n}";
  }
  return out + "]";
}

std::string TxClient::channelText(const std::string& pkcs7Der, X509* signer, const tx::Form& channelItems,
                                  const std::string& hashed) {
  const bool small = EVP_PKEY_get_bits(X509_get0_pubkey(signer)) <= 1024;
  std::string text = "h=" + tx::b64(small ? sha1Of(pkcs7Der) : sha256Of(pkcs7Der));
  for (const auto& [k, v] : channelItems) text += "&" + lower(k) + "=" + v;
  return text + "&c_sc=" + tx::b64(sha1Of(hashed)) + "&c_scsha256=" + tx::b64(sha256Of(hashed));
}

bool TxClient::verifyDetached(const std::string& pkcs7, const std::string& content, X509* signer, bool channel,
                              std::string& why) const {
  zmr::Pkcs7Ptr p7 = parse(pkcs7);
  if (!p7 || !PKCS7_type_is_signed(p7.get())) return why = "not a base64 DER SignedData", false;
  if (!PKCS7_get_detached(p7.get())) return why = "not detached", false;
  zmr::X509StorePtr store(X509_STORE_new());
  zmr::BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!store || !in || X509_STORE_add_cert(store.get(), root_.get()) != 1 ||
      X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY) != 1)
    return why = "no store", false;
  if (PKCS7_verify(p7.get(), nullptr, store.get(), in.get(), nullptr, PKCS7_BINARY) != 1)
    return why = "does not verify: " + opensslError(), false;
  STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
  const bool rightsigner = sk_X509_num(signers) == 1 && X509_cmp(sk_X509_value(signers, 0), signer) == 0;
  sk_X509_free(signers);
  if (!rightsigner) return why = "signed by another certificate", false;
  ASN1_TYPE* value = signedAttribute(firstSigner(p7.get()), kChannelOid);
  const bool haschannel = value != nullptr && value->type == V_ASN1_OCTET_STRING &&
                          std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value->value.octet_string)),
                                      ASN1_STRING_length(value->value.octet_string)) == "ZMR Channel";
  if (value != nullptr && !haschannel) return why = "a channel attribute of another value", false;
  if (haschannel != channel) return why = channel ? "no channel attribute" : "an unexpected channel attribute", false;
  return true;
}

bool TxClient::checkProfile(const std::string& pkcs7, const MerchantItems& items, std::string& why) const {
  zmr::Pkcs7Ptr p7 = parse(pkcs7);
  PKCS7_SIGNER_INFO* si = p7 ? firstSigner(p7.get()) : nullptr;
  if (si == nullptr) return why = "no signer", false;
  const bool iso = items.cmsFormat == "PKCS7_ISO320001";
  const bool time = signedAttribute(si, kSigningTimeOid) != nullptr;
  const bool v1 = signedAttribute(si, kSigningCertOid) != nullptr;
  const bool v2 = signedAttribute(si, kSigningCertV2Oid) != nullptr;
  if (iso ? (time || v1 || !v2) : (!time || !v1 || v2))
    return why = std::string("not the ") + (iso ? "ISO" : "usual") + " signing profile", false;
  return true;
}

bool TxClient::checkServerChallenge(const TxRequest& r, const std::string& b64, TxAnswer& out) const {
  std::string& bytes = out.serverChallenge;
  if (!tx::unb64(b64, bytes)) return out.why = "serverChallenge: not base64", false;
  std::optional<std::string> header = r.field("authHeader");
  if (r.field("carrier") != "mobile" || !header || header->empty()) {
    if (bytes.size() != 20 + webaddress_.size() || bytes.substr(20) != webaddress_)
      return out.why = "serverChallenge: not 20 bytes and the webaddress", false;
    return true;
  }
  std::string text;
  if (!tx::unb64(*header, text)) return out.why = "authHeader: not base64", false;
  text = upToNul(text);
  if (!text.empty() && text.back() == '(') text.pop_back();
  const std::string mapped = toGsm(text);
  std::optional<std::string> flag = r.field("prepareText");
  if (!flag || !iequal(*flag, "true")) {
    if (bytes != mapped) return out.why = "serverChallenge: not the converted header", false;
    return true;
  }
  bool framed = bytes.size() == 8 + mapped.size() && bytes[0] == 0x06 && bytes[7] == 0x04;
  for (size_t i = 1; framed && i < 7; ++i) framed = std::isalnum(static_cast<unsigned char>(bytes[i])) != 0;
  if (!framed || bytes.substr(8) != mapped)
    return out.why = "serverChallenge: not 0x06, six letters or digits, 0x04 and the converted header", false;
  return true;
}

bool TxClient::checkChannel(const TxAnswer& a, const std::string& pkcs7, X509* signer, const MerchantItems& items,
                            const std::string& hashed, std::string& why) const {
  std::string der, text;
  if (!tx::unb64(pkcs7, der) || !tx::unb64(a.field("zmrChannel").value_or(""), text))
    return why = "zmrChannel: not base64", false;
  const std::string expected = channelText(der, signer, items.channel, hashed);
  if (text != expected) return why = "zmrChannel: \"" + text + "\", expected \"" + expected + "\"", false;
  const std::string signature = a.field("zmrChannelSignature").value_or("");
  if (!verifyDetached(signature, text, signer, false, why)) return why = "zmrChannelSignature: " + why, false;
  if (signer == sign_.get() && !checkProfile(signature, items, why)) return why = "zmrChannelSignature: " + why, false;
  return true;
}

bool TxClient::checkCoiData(const std::string& value, const MerchantItems& items, std::string& why) const {
  if (!coiKey_) return why = "coiData: the client has no COI key", false;
  tx::Form outer, inner;
  if (!tx::parseForm(value, outer) || outer.size() != 3 || outer[0].first != "encKey" ||
      outer[1].first != "encData" || outer[2].first != "encAuth")
    return why = "coiData: not encKey, encData, encAuth", false;
  tx::Envelope e{outer[0].second, outer[1].second, outer[2].second};
  std::string basekey, plain, reason;
  if (!tx::openMerchantRequest(coiKey_.get(), e, basekey, plain, &reason))
    return why = "coiData: does not open: " + reason, false;
  if (!tx::parseForm(plain, inner) || inner.size() != 3 || inner[0].first != "toBeSignedHashes" ||
      inner[1].first != "pkcs7s" || inner[2].first != "coiDataSignature")
    return why = "coiData: not toBeSignedHashes, pkcs7s, coiDataSignature: " + plain, false;
  std::string hashes;
  for (size_t i = 0; i < items.documents.size(); ++i)
    hashes += (i == 0 ? "" : ",") + tx::b64(sha256Of(signedBytes(items.documents[i])));
  if (inner[0].second != hashes) return why = "coiData: toBeSignedHashes " + inner[0].second, false;
  std::vector<std::string> signatures = splitComma(inner[1].second);
  if (signatures.size() != items.documents.size()) return why = "coiData: pkcs7s has another count", false;
  for (size_t i = 0; i < signatures.size(); ++i) {
    const TxDocument& d = items.documents[i];
    if (!verifyDetached(signatures[i], signedBytes(d), sign_.get(), d.kind == TxDocument::xml, why) ||
        !checkProfile(signatures[i], items, why))
      return why = "coiData: document " + std::to_string(i) + ": " + why, false;
  }
  const std::string text = "toBeSignedHashes=" + inner[0].second + "pkcs7s=" + inner[1].second;
  std::string signature;
  const EVP_MD* md = EVP_PKEY_get_bits(X509_get0_pubkey(auth_.get())) == 1024 ? EVP_sha1() : EVP_sha256();
  zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!tx::unb64(inner[2].second, signature) ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, X509_get0_pubkey(sign_.get())) != 1 ||
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1)
    return why = "coiData: coiDataSignature does not verify: " + opensslError(), false;
  return true;
}

TxAnswer TxClient::check(const TxRequest& r, const std::string& answer, const MerchantItems& items) const {
  TxAnswer a;
  auto fail = [&](const std::string& why) {
    a.ok = false;
    a.why = why;
    return a;
  };
  std::string plain;
  if (!tx::openAnswer(r.basekey, answer, plain)) return fail("the answer does not open under the request's key");
  if (!tx::parseForm(plain, a.fields)) return fail("the answer is not a form: " + plain);
  const Kind kind = kindOf(r);
  if (kind == Kind::none) return fail("no answer is due to this request");

  // The exact field list of the case.
  std::vector<std::string> names;
  auto add = [&](const char* name, bool when = true) {
    if (when) names.emplace_back(name);
  };
  auto optional = [&](int count) {
    for (int i = 0; i < count; ++i) add(kOptionalNames[i], tx::field(items.optional, kOptionalNames[i]).has_value());
  };
  const bool pdf = items.mimeType && iequal(*items.mimeType, "application/pdf");
  switch (kind) {
    case Kind::auth20:
    case Kind::ncAuth:
      for (const char* n : {"pkcs7", "serverChallenge", "zmrChannel", "zmrChannelSignature"}) add(n);
      optional(kind == Kind::auth20 ? 5 : 4);
      break;
    case Kind::ncSign:
      for (const char* n : {"pkcs7", "mimeType", "dataDescription"}) add(n);
      add("signers", items.signers.has_value());
      for (const char* n : {"data", "zelmorServerVersion", "zmrChannel", "zmrChannelSignature"}) add(n);
      optional(4);
      break;
    case Kind::sign20:
      for (const char* n : {"pkcs7", "mimeType", "dataDescription", "data", "zelmorServerVersion", "zmrChannel",
                            "zmrChannelSignature"})
        add(n);
      add("CMSFormat", items.cmsFormat.has_value());
      add("OCSPFormat", items.ocspFormat.has_value());
      optional(5);
      add("extPDFUrl", pdf);
      break;
    case Kind::sign21:
      add("Documents");
      add("coiData");
      add("CMSFormat", items.cmsFormat.has_value());
      add("OCSPFormat", items.ocspFormat.has_value());
      optional(5);
      break;
    case Kind::mobileAuth: add("pkcs7"); add("serverChallenge"); break;
    case Kind::mobileSign:
      for (const char* n : {"pkcs7", "data", "mimeType", "zelmorServerVersion"}) add(n);
      break;
    case Kind::none: break;
  }
  std::string got;
  for (const auto& [k, v] : a.fields) got += k + " ";
  std::string want;
  for (const std::string& n : names) want += n + " ";
  if (got != want) return fail("fields " + got + "instead of " + want);

  // Values the merchant set, as they stand.
  // (only for the fields of the case: the list above is already right)
  auto same = [&](const char* name, const std::optional<std::string>& value) {
    return !value || !a.field(name) || a.field(name) == value;
  };
  for (const char* n : kOptionalNames)
    if (!same(n, tx::field(items.optional, n))) return fail(std::string(n) + ": not the item's value");
  if (!same("CMSFormat", items.cmsFormat) || !same("OCSPFormat", items.ocspFormat) ||
      !same("extPDFUrl", items.extPDFUrl) || !same("signers", items.signers) || !same("mimeType", items.mimeType))
    return fail("an item copied to the answer differs");
  if (a.field("zelmorServerVersion").value_or("5.2.2") != "5.2.2") return fail("zelmorServerVersion");

  std::string why;
  const std::string pkcs7 = a.field("pkcs7").value_or("");
  switch (kind) {
    case Kind::auth20:
    case Kind::ncAuth:
    case Kind::mobileAuth: {
      std::string challenge;
      if (!tx::unb64(r.field("clientChallenge").value_or(""), challenge)) return fail("the request has no challenge");
      if (!verifyDetached(pkcs7, challenge, auth_.get(), true, why)) return fail("pkcs7: " + why);
      if (!checkServerChallenge(r, a.field("serverChallenge").value_or(""), a)) return a;
      if (kind != Kind::mobileAuth && !checkChannel(a, pkcs7, auth_.get(), items, a.serverChallenge, why))
        return fail(why);
      break;
    }
    case Kind::sign20:
    case Kind::ncSign:
    case Kind::mobileSign: {
      std::string bytes;
      if (kind == Kind::mobileSign) {
        std::optional<std::string> flag = r.field("prepareText");
        bytes = mobileSigningBytes(upToNul(items.data.value_or("")), flag && iequal(*flag, "true"));
      } else if (items.mimeType && iequal(*items.mimeType, "text/ZMRXML")) {
        bytes = xmlEnvelope(items.xml.value_or(""), items.xsl.value_or(""));
      } else {
        bytes = items.data.value_or("");
      }
      if (a.field("data") != tx::b64(bytes)) return fail("data: not the base64 of the bytes signed");
      if (kind != Kind::mobileSign) {
        const std::string description = items.description.value_or("");
        if (a.field("dataDescription") != (kind == Kind::sign20 ? latin1ToUtf8(description) : description))
          return fail("dataDescription");
      }
      if (!verifyDetached(pkcs7, bytes, sign_.get(), true, why) || !checkProfile(pkcs7, items, why))
        return fail("pkcs7: " + why);
      if (kind != Kind::mobileSign && !checkChannel(a, pkcs7, sign_.get(), items, bytes, why)) return fail(why);
      break;
    }
    case Kind::sign21:
      if (a.field("Documents") != documentsJson(items.documents)) return fail("Documents: " + *a.field("Documents"));
      if (!checkCoiData(a.field("coiData").value_or(""), items, why)) return fail(why);
      break;
    case Kind::none: break;
  }
  a.ok = true;
  return a;
}

int initTransaction(int session, const TxRequest& r, std::string& answer) {
  char* out = nullptr;
  int rc = zmr_inittransaction(session, r.envelope.encKey.c_str(), r.envelope.encData.c_str(),
                               r.envelope.encAuth.c_str(), r.operation.c_str(), r.extra ? r.extra->c_str() : nullptr,
                               &out);
  answer = out != nullptr ? out : "";
  if (out != nullptr) std::ignore = zmr_free(out);
  return rc;
}

int verifyTransaction(int session, const TxRequest& r) {
  return zmr_verifytransactionrequest(session, r.envelope.encKey.c_str(), r.envelope.encData.c_str(),
                                      r.envelope.encAuth.c_str(), r.operation.c_str(),
                                      r.extra ? r.extra->c_str() : nullptr);
}

int verifyResponse(int session, std::string& answer) {
  char* out = nullptr;
  answer.clear();
  int rc = zmr_verifytransactionresponse(session, &out);
  answer = out != nullptr ? out : "";
  if (out != nullptr) std::ignore = zmr_free(out);
  return rc;
}

}  // namespace zmrtest
