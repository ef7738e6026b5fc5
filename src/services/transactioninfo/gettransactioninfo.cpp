#include "misc/status.h"
#include "net/http_lib.h"
#include "net/stringmap.h"
#include "misc/centralservers.h"
#include "services/entry.h"
#include "services/initsession/initsessionops.h"
#include "services/signing/signingops.h"
#include "services/transactiondata/transactiondataops.h"
#include "services/transactioninfo/transactioninfoops.h"
#include "store/loaders/configuration.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded; charset=iso-8859-1";

constexpr Where kAt{"transactioninfo::gettransactioninfo: ", true};
// The lines of the reply and payload checks read "...gettransactioninfo - ".
constexpr Where kAtReply{"transactioninfo::gettransactioninfo - ", true};

}  // namespace

int getservicesurl(const Session& s, std::string& url) {
  const int session = s.number;
  url.clear();
  int environment = 0;
  if (int rc = getenvironment(s, &environment); rc != kOk) {
    setlasterror(session, "transactioninfo::getservicesurl: Error getting environment");
    return rc;
  }
  if ((environment == 1 || environment == 2) && getproperty(s, "servicehostdns", url) == kOk) return kOk;
  std::optional<std::string> builtin = centralserverurl(environment, CentralServer::services);
  if (!builtin) return kTxinfoEnvironment;
  url = std::move(*builtin);
  return kOk;
}

int readservicesreply(int session, std::string_view reply, std::string& encdata, std::string& encauth) {
  encdata.clear();
  encauth.clear();
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    setlasterror(session, "transactioninfo::parseresponse: Incorrect response from COI.\n");
    return fail(kTxinfoReply, kAtReply, "Error parsing response from servicehost.");
  }
  stringmap map;
  if (createstringmap(reply.substr(end + 4), "&", 0, map) != kOk)
    return fail(kTxinfoReply, kAtReply, "Error parsing response from servicehost.");

  std::string errorcode, errormessage;
  if (getrawelementvalue(&map, "ErrorCode", errorcode) == kOk) {
    fail(kTxinfoReply, kAtReply, "Unencrypted error returned from servicehost.");
    // The host's texts are data: they go into the line as they stand.
    if (getrawelementvalue(&map, "ErrorMsg", errormessage) == kOk)
      setlasterror(session, "transactioninfo::gettransactioninfo: " + errormessage + " (" + errorcode + ").");
    return kTxinfoReply;
  }
  if (int rc = getrawelementvalue(&map, "encAuth", encauth); rc != kOk)
    return fail(rc, kAt, "Unable to extract encAuth from response.");
  if (int rc = getrawelementvalue(&map, "encData", encdata); rc != kOk)
    return fail(rc, kAt, "Unable to extract encData from response.");
  return kOk;
}

bool verify_nonce(int session, std::string_view answer, std::string_view popinfo) {
  std::vector<unsigned char> decoded;
  if (!base64_decode(popinfo, decoded)) {
    setlasterror(session, "transactioninfo::verify_nonce: Base64decode failed.\n");
    return false;
  }
  std::string_view info(reinterpret_cast<const char*>(decoded.data()), decoded.size());
  // The nonce is the POP information's last field.
  size_t sent = info.rfind("nonce=");
  size_t at = answer.find("nonce=");
  size_t end = at == std::string_view::npos ? at : answer.find('&', at);
  if (sent == std::string_view::npos || end == std::string_view::npos ||
      info.substr(sent + 6) != answer.substr(at + 6, end - at - 6)) {
    setlasterror(session, "transactioninfo::verify_nonce: Nonce in response not equal to nonce in request.\n");
    return false;
  }
  return true;
}

int parse_payload(int, std::string_view answer, std::string_view key, PayloadItems& items) {
  items.clear();
  auto bad = [&] {
    items.clear();
    return fail(kTxinfoReply, kAtReply, "Error parsing payload from servicehost.");
  };
  size_t at = answer.find("data=");
  if (at == std::string_view::npos) return bad();
  SecretString payload, name, field, value;
  if (http_urldecode(answer.substr(at + 5), payload.value) != kOk) return bad();
  bool readable = true;
  splitformpairs(payload.view(), [&](std::string_view keytext, std::string_view valuetext) {
    if (!readable) return;
    readable = http_urldecode(keytext, name.value) == kOk && http_urldecode(valuetext, field.value) == kOk;
    size_t found = readable ? name.view().find(key) : std::string_view::npos;
    if (found == std::string_view::npos) return;
    readable = http_urldecode(field.view(), value.value) == kOk;
    if (readable) items.emplace_back(name.value.substr(found + key.size()), value.value);
  });
  if (!readable) return bad();
  return kOk;
}

int gettransactioninfo(int session, std::string_view key, std::string_view oids) {
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;

  stringmap map;
  if (addelement(map, "key", key) != kOk) return fail(kOutOfMemory, kAt, "Error creating stringmap with key.");
  if (int rc = addelement(map, "oids", oids); rc != kOk) return fail(rc, kAt, "Error adding element oids to request.");
  std::string popinfo, serverinfo;
  if (int rc = get_pop_info(*s, popinfo); rc != kOk) return fail(rc, kAt, "Error fetching certificate info.");
  if (int rc = addelement(map, "certinfo", popinfo); rc != kOk)
    return fail(rc, kAt, "Error adding element certinfo to request.");
  if (int rc = get_server_info(*s, serverinfo); rc != kOk) return fail(rc, kAt, "Error fetching server info.");
  if (int rc = addelement(map, "serverinfo", serverinfo); rc != kOk)
    return fail(rc, kAt, "Error adding element serverinfo to request.");

  // params lists the names of the fields before it, and its own.
  std::string names, params;
  for (const element& e : map.elements) names.append(*e.key).append(",");
  names += "params";
  int rc = encodebase64(session, names, params);
  if (rc == kOk) rc = addelement(map, "params", params);
  if (rc != kOk) return fail(rc, kAt, "Error creating params parameter.");

  std::string signedtext, signature, request;
  if (int rc = tourlencodedstring(&map, signedtext); rc != kOk)
    return fail(rc, kAt, "Error getting request as url encoded string.");
  if (int rc = signdatap1(*s, signedtext, signature, KeyRole::authentication); rc != kOk)
    return fail(rc, kAt, "Error signing request.");
  if (int rc = addelement(map, "signature", signature); rc != kOk)
    return fail(rc, kAt, "Error adding signature to request.");
  if (int rc = tourlencodedstring(&map, request); rc != kOk) return fail(rc, kAt, "Error fetching final request.");

  int environment = 0;
  if (int rc = getenvironment(*s, &environment); rc != kOk)
    return fail(rc, kAt, "An error occured trying to retrieve the current environment.");
  const char* modulus = centralservermodulus(environment);
  if (modulus == nullptr) return fail(kTxinfoEnvironment, kAt, "An error occured trying to get the public key.");

  EncryptedRequest encrypted;
  if (int rc = encrypttransactiondata(session, request, modulus, encrypted); rc != kOk)
    return fail(rc, kAt, "Error encrypting request.");
  stringmap outer = createstringmapwithvalues("encKey", encrypted.enckey);
  std::string body;
  if (addelement(outer, "encData", encrypted.encdata) != kOk ||
      addelement(outer, "encAuth", encrypted.encauth) != kOk || tourlencodedstring(&outer, body) != kOk)
    return fail(kOutOfMemory, kAt, "Error encrypting request.");

  SSL_CTX* ctx = nullptr;
  if (int rc = getservicessslcontext(*s, &ctx); rc != kOk)
    return fail(rc, kAt, "Error getting SSL context for communication.");
  std::string url;
  if (int rc = getservicesurl(*s, url); rc != kOk) return fail(rc, kAt, "Error getting url for services.");

  std::string reply;
  if (int rc = http_post_url(*s, ctx, url, body, kFormType, reply, kServicesTimeoutSeconds, "services"); rc != kOk)
    return fail(rc, kAt, "Error communicating with servicehost.");

  std::string encdata, encauth;
  SecretString answer;
  if (int rc = readservicesreply(session, reply, encdata, encauth); rc != kOk) return rc;
  if (int rc = decrypttransactionresponse(session, encrypted.basekey.view(), encdata, encauth, answer); rc != kOk)
    return fail(rc, kAt, "Error decrypting response.");
  if (!verify_nonce(session, answer.view(), popinfo))
    return fail(kTxinfoValidation, kAtReply, "Response validation error.");

  PayloadItems items;
  if (int rc = parse_payload(session, answer.view(), key, items); rc != kOk) return rc;
  for (const auto& [name, value] : items) {
    if (int rc = pushinfoitem(session, name, value); rc != kOk)
      return fail(rc, kAt, "Error storing payload item in session store.");
  }
  return kOk;
}

}  // namespace zmr
