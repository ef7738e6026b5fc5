#include "services/initsession/initsessionops.h"

#include "misc/status.h"
#include "net/http_lib.h"
#include "misc/centralservers.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/loaders/configuration.h"

namespace zmr {
namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded; charset=iso-8859-1";

constexpr Where kAtUrl{"initsession::get_initsession_url: "};
constexpr Where kAtResponse{"initsession::get_initsession_response: "};
constexpr Where kAtParse{"initsession::parse_initsession_response: "};
constexpr Where kAtDecrypt{"initsession::decrypt_initsession_response: "};
constexpr Where kAtInit{"initsession::initsession: "};

}  // namespace

int get_initsession_url(const Session& s, std::string& url) {
  url.clear();
  int environment = 0;
  if (int rc = getenvironment(s, &environment); rc != kOk)
    return fail(rc, kAtUrl, "Error fetching environment for session.\n");
  if (environment == 1 || environment == 2) {
    if (getproperty(s, "initsessiondns", url) == kOk) return kOk;
    url.clear();
  }
  std::optional<std::string> builtin = centralserverurl(environment, CentralServer::sdm);
  if (!builtin) return fail(kInitSessionEnvironment, kAtUrl, "Error fetching initsession url for environment.\n");
  url = *builtin;
  return kOk;
}

int get_initsession_response(const Session& s, std::string_view body, std::string& response) {
  response.clear();
  std::string url;
  if (int rc = get_initsession_url(s, url); rc != kOk) return fail(rc, kAtResponse, "Error fetching url.\n");
  SSL_CTX* ctx = nullptr;
  if (int rc = getsdmsslcontext(s, &ctx); rc != kOk) return fail(rc, kAtResponse, "Error fetching ssl context.\n");
  if (int rc = http_post_url(s, ctx, url, body, kFormType, response, kInitSessionTimeoutSeconds, "sdm"); rc != kOk)
    return fail(rc, kAtResponse, "Error communicating with Rirorer Idor Azoriva.\n");
  return kOk;
}

int parse_initsession_response(int, std::string_view response, stringmap& map) {
  size_t space = response.find(' ');
  if (space == std::string_view::npos || response.substr(space + 1, 3) != "200")
    return fail(kInitSessionReply, kAtParse, "Non 200 http response from SDM.\n");
  auto outofmemory = [&] { return fail(kOutOfMemory, kAtParse, "out of memory.\n"); };
  if (addelement(map, "HTTPSTATUSCODE", "200") != kOk) return outofmemory();

  // A clear error is "errorCode", one separator and the code, wherever it
  // stands.
  if (size_t at = response.find("errorCode"); at != std::string_view::npos) {
    std::string_view code = at + 10 <= response.size() ? response.substr(at + 10, 4) : std::string_view();
    return addelement(map, "errorCode", code) == kOk ? kOk : outofmemory();
  }
  size_t end = response.find("\r\n\r\n");
  if (end == std::string_view::npos) return fail(kInitSessionReply, kAtParse, "incorrect response from COI.\n");
  std::string_view body = response.substr(end + 4);
  if (body.empty()) return kOk;
  stringmap fields;
  if (createstringmap(body, "&", 0, fields) != kOk)
    return fail(kInitSessionReply, kAtParse, "incorrect response from COI.\n");
  for (element& e : fields.elements) {
    if (!e.key || !e.value) break;
    map.elements.push_back(std::move(e));
  }
  return kOk;
}

int decrypt_initsession_response(int session, const stringmap& map, std::string_view basekey, stringmap& payload) {
  payload.elements.clear();
  std::string encdata, encauth;
  if (int rc = getrawelementvalue(&map, "encData", encdata); rc != kOk)
    return fail(rc, kAtDecrypt, "Error extracting encData from response.\n");
  if (int rc = getrawelementvalue(&map, "encAuth", encauth); rc != kOk)
    return fail(rc, kAtDecrypt, "Error extraction encAuth from response.\n");
  SecretString plain;
  if (int rc = decrypttransactionresponse(session, basekey, encdata, encauth, plain); rc != kOk)
    return fail(rc, kAtDecrypt, "Error decrypting initsession response.\n");
  if (!plain.value.empty() && createstringmap(plain.view(), "&", 0, payload) != kOk)
    return fail(kMapParse, kAtDecrypt, "Error decrypting initsession response.\n");
  return kOk;
}

int initsession(int session, std::optional<std::string>& cdmuri, std::optional<std::string>& tid,
                std::optional<std::string>& cid) {
  cdmuri.reset();
  tid.reset();
  cid.reset();
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;

  SecretString nonce;
  if (int rc = getrandom(session, nonce, 20); rc != kOk)
    return fail(rc, kAtInit, "An error occured trying to generate a random nonce.\n");
  std::string request;
  if (int rc = create_initsession_request(*s, nonce.view(), request); rc != kOk)
    return fail(rc, kAtInit, "An error occured trying to create init session request.\n");
  int environment = 0;
  if (int rc = getenvironment(*s, &environment); rc != kOk)
    return fail(rc, kAtInit, "An error occured trying to retrieve the current environment.\n");
  const char* modulus = centralservermodulus(environment);
  if (modulus == nullptr)
    return fail(kInitSessionEnvironment, kAtInit, "An error occured trying to get the public key.\n");

  EncryptedRequest encrypted;
  if (int rc = encrypttransactiondata(session, request, modulus, encrypted); rc != kOk)
    return fail(rc, kAtInit, "An error occured trying to encrypt the request.\n");
  stringmap outer = createstringmapwithvalues("encKey", encrypted.enckey);
  if (int rc = addelement(outer, "encData", encrypted.encdata); rc != kOk) return rc;
  if (int rc = addelement(outer, "encAuth", encrypted.encauth); rc != kOk) return rc;
  std::string body;
  if (int rc = tourlencodedstring(&outer, body); rc != kOk) return rc;

  std::string response;
  if (int rc = get_initsession_response(*s, body, response); rc != kOk)
    return fail(rc, kAtInit, "An error occured trying to communicate with SDM.\n");
  stringmap map = createstringmapwithvalues("dummy", "dummy");
  if (int rc = parse_initsession_response(session, response, map); rc != kOk)
    return fail(rc, kAtInit, "An error occured while parsing the response.\n");
  std::string errorcode;
  if (getrawelementvalue(&map, "errorCode", errorcode) == kOk) {
    setlasterror(session, "initsession::initsession: Rirorer Idor Azoriva returned an unencrypted error: " + errorcode);
    if (int rc = pushinfoitem(session, "errorcode", errorcode); rc != kOk) {
      setlasterror(session, "\n");  // the line above has no line feed of its own
      return fail(rc, kAtInit, "Could not set infoitem \"errorcode\".\n");
    }
    return kInitSessionErrorCode;
  }

  // From here on only what the tag vouches for counts.
  stringmap payload;
  if (int rc = decrypt_initsession_response(session, map, encrypted.basekey.value, payload); rc != kOk)
    return fail(rc, kAtInit, "An error occured while decrypting the response.\n");
  if (getrawelementvalue(&payload, "errorCode", errorcode) == kOk) {
    setlasterror(session, "initsession::initsession: Rirorer Idor Azoriva returned an errorCode.\n");
    if (int rc = pushinfoitem(session, "errorcode", errorcode); rc != kOk)
      return fail(rc, kAtInit, "Could not set infoitem \"errorcode\".\n");
    return kInitSessionErrorCode;
  }
  std::string echoed;
  if (getrawelementvalue(&payload, "nonce", echoed) != kOk)
    return fail(kInitSessionNoNonce, kAtInit, "Response from Rirorer Idor Azoriva did not contain nonce.\n");
  if (echoed != nonce.view())
    return fail(kInitSessionNonce, kAtInit, "Nonce in response does not match nonce in request.\n");

  std::string value;
  if (getrawelementvalue(&payload, "cdmUri", value) != kOk)
    return fail(kInitSessionNoCdmuri, kAtInit, "Response from Rirorer Idor Azoriva did not contain cdmUri.\n");
  cdmuri = value;
  if (getrawelementvalue(&payload, "tid", value) != kOk)
    return fail(kInitSessionNoTid, kAtInit, "Response from Rirorer Idor Azoriva did not contain tid.\n");
  tid = value;
  if (getrawelementvalue(&payload, "cid", value) != kOk)
    return fail(kInitSessionNoClientId, kAtInit, "Response from Rirorer Idor Azoriva did not contain clientId.\n");
  cid = value;
  return kOk;
}

}  // namespace zmr
