// Steps shared by the answer builders of transaction initialisation.
#include "misc/status.h"
#include "net/http_lib.h"
#include "services/challenges/challengesops.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"
#include "misc/stringoperations.h"

namespace zmr {

std::optional<std::string> formfield(std::string_view form, std::string_view name) {
  return http_find_value(name, form);
}

int checktraceid(int session, std::string_view form, const BuilderLines& lines) {
  std::optional<std::string> received = formfield(form, "traceId");
  if (!received) return fail(kNoTraceId, lines.at, "TraceID not present in request received from client.\n");
  std::string expected;
  if (int rc = popinfoitem(session, "traceId", expected); rc != kOk)
    return fail(rc, lines.at, "Unable to retrieve infoitem \"traceId\".\n");
  if (*received != expected)
    return fail(kTraceIdMismatch, lines.at, "The received traceid doesn't match the \"traceId\" infoitem.\n");
  return kOk;
}

namespace {

// The digests of a base64 text, or of the bytes it was made from.
int pushhashes(int session, std::string_view value, const std::vector<unsigned char>* bytes,
               const BuilderLines& lines) {
  std::string sha1, sha256;
  int rc = bytes != nullptr ? hashbytespair(session, sha1, sha256, bytes->data(), bytes->size(), nullptr)
                            : hashdatapair(session, sha1, sha256, value, nullptr);
  if (rc != kOk) return fail(rc, lines.at, "Could not hash the server challenge\n");
  if (int rc = pushinfoitem(session, "c_sc", sha1); rc != kOk)
    return fail(rc, lines.at, "Could not set infoitem \"c_sc\".\n");
  if (int rc = pushinfoitem(session, "c_scsha256", sha256); rc != kOk)
    return fail(rc, lines.at, "Could not set infoitem \"c_scsha256\".\n");
  return kOk;
}

}  // namespace

int pushchannelhashes(int session, std::string_view value, const BuilderLines& lines) {
  return pushhashes(session, value, nullptr, lines);
}

int answerchallenge(const Session& s, std::string_view form, std::optional<std::string_view> header,
                    std::optional<std::string_view> flag, stringmap& answer, std::string& pkcs7,
                    const BuilderLines& lines) {
  const int session = s.number;
  std::optional<std::string> challenge = formfield(form, "clientChallenge");
  if (!challenge)
    return fail(kNoClientChallenge, lines.at, "Could not find \"clientChallenge\" in transaction data.\n");
  std::string server;
  if (int rc = authenticateserver(s, pkcs7, server, *challenge, header, flag); rc != kOk)
    return fail(rc, lines.at, "An error occured during AuthenticateServer.\n");
  if (int rc = addelement(answer, "pkcs7", pkcs7); rc != kOk) return rc;
  if (int rc = addelement(answer, "serverChallenge", server); rc != kOk) return rc;
  if (int rc = pushinfoitem(session, "serverChallenge", server); rc != kOk)
    return fail(rc, lines.at, "An error occured setting the infoitem \"serverchallenge\".\n");
  return pushchannelhashes(session, server, lines);
}

int signiteminfo(const Session& s, std::string& mimetype, std::string& pkcs7, std::string& signeddata,
                 const BuilderLines& lines) {
  const int session = s.number;
  if (int rc = popinfoitem(session, "mimeType", mimetype); rc != kOk)
    return fail(rc, lines.at, "Could not retrieve infoitem \"mimetype\".\n");
  const bool xml = iequals(mimetype, "text/ZMRXML");
  if (!xml && !iequals(mimetype, "text/plain") && !iequals(mimetype, "application/pdf"))
    return fail(kBadMimeType, lines.at, "Mime type is not valid for Zelmor use.\n");
  // The bytes behind signeddata, where they are at hand.
  std::vector<unsigned char> bytes;
  if (xml) {
    std::string document, stylesheet;
    if (int rc = popinfoitem(session, "xml", document); rc != kOk)
      return fail(rc, lines.at, "Could not retrieve infoitem \"xml\".\n");
    if (int rc = popinfoitem(session, "xsl", stylesheet); rc != kOk)
      return fail(rc, lines.at, "Could not retrieve infoitem \"xsl\".\n");
    if (int rc = signxml(s, document.data(), document.size(), stylesheet.data(), stylesheet.size(), pkcs7, signeddata);
        rc != kOk)
      return fail(rc, lines.at, "An error occured signing the XML.\n");
    if (int rc = pushinfoitem(session, "signeddata", signeddata); rc != kOk)
      return fail(rc, lines.at, "An error occured setting the infoitem \"signeddata\".\n");
  } else {
    std::string data;
    if (int rc = popinfoitem(session, "data", data); rc != kOk)
      return fail(rc, lines.at, "Could not retrieve infoitem \"data\".\n");
    if (int rc = decodebase64(session, data, bytes); rc != kOk)
      return fail(rc, lines.at, "An error occured base64 decoding the input data to be signed.\n");
    if (int rc = encodebase64(session, bytes.data(), bytes.size(), signeddata); rc != kOk)
      return fail(rc, lines.at, "An error occured base64 encoding the data to be signed.\n");
    if (int rc = pushinfoitem(session, "signeddata", signeddata); rc != kOk)
      return fail(rc, lines.at, "An error occured setting the infoitem \"signeddata\".\n");
    if (int rc = signdata(s, bytes.data(), bytes.size(), pkcs7, KeyRole::signing, ChannelNonce::with); rc != kOk)
      return fail(rc, lines.at, "An error occured during signing of data.\n");
  }
  if (int rc = pushhashes(session, signeddata, xml ? nullptr : &bytes, lines); rc != kOk) return rc;
  if (int rc = pushinfoitem(session, "pkcs7", pkcs7); rc != kOk)
    return fail(rc, lines.at, "An error occured setting the infoitem \"pkcs7\".\n");
  return kOk;
}

int addchannel(const Session& s, std::string_view pkcs7, KeyRole role, stringmap& answer, const BuilderLines& lines) {
  const int session = s.number;
  // The PKCS#7 is the merchant's own: its signer is the certificate of
  // role, which the session holds already parsed.
  X509* cert = nullptr;
  int rc = role == KeyRole::authentication ? getauthcert(s, &cert) : getsigncert(s, &cert);
  std::string signature, channel;
  if (rc == kOk) rc = signchannel(s, pkcs7, channelsigner(session, cert), signature, channel);
  if (rc != kOk) return fail(rc, lines.at, "An error occured creating the ZMR channel.\n");
  if (int rc = addelement(answer, "zmrChannel", channel); rc != kOk) return rc;
  return addelement(answer, "zmrChannelSignature", signature);
}

int addoptionalitems(int session, stringmap& answer, int count, const BuilderLines& lines) {
  for (int i = 0; i < count; ++i) {
    if (int rc = add_infoitem_to_map(session, answer, kOptionalItems[i], std::nullopt, 0); rc != kOk)
      return fail(rc, lines.at, lines.optional[i]);
  }
  return kOk;
}

int encryptinitanswer(int session, const stringmap& answer, std::string_view basekey, std::string& out,
                      const BuilderLines& lines) {
  std::string plain;
  if (int rc = tourlencodedstring(&answer, plain); rc != kOk) return fail(rc, lines.at, lines.encode);
  if (int rc = encrypt_response(session, plain, basekey, out); rc != kOk) return fail(rc, lines.at, lines.encrypt);
  return kOk;
}

}  // namespace zmr
