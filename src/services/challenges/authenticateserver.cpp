#include <openssl/rand.h>

#include <vector>

#include "misc/status.h"
#include "services/challenges/challengesops.h"
#include "services/entry.h"
#include "services/mobile/mobiletext.h"
#include "services/signing/signingops.h"
#include "store/loaders/configuration.h"
#include "tools/base64.h"
#include "tools/certtools.h"

namespace zmr {
namespace {

constexpr Where kAt{"authenticateserver_authenticateserver: ", true};

bool alphanumeric(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Six letters or digits, each a random byte drawn until it is one.
int drawreference(int session, std::string& out) {
  out.clear();
  while (out.size() < kMobileReferenceLength) {
    unsigned char b = 0;
    if (RAND_bytes(&b, 1) != 1) {
      setlasterror(session,
                   "generatemerchantreference_generatemerchantreference: An error occured trying to generate random "
                   "merchant reference.\n");
      return kReferenceRandom;
    }
    if (alphanumeric(b)) out.push_back(static_cast<char>(b));
  }
  return kOk;
}

int browserchallenge(int session, std::string_view webaddress, std::string& out) {
  std::string challenge(kServerRandomLength, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(challenge.data()), static_cast<int>(kServerRandomLength)) != 1)
    return fail(kChallengeRandom, kAt, "An error occured trying to generate the 20 byte serverchallenge random.");
  challenge.append(webaddress);
  if (int rc = encodebase64(session, challenge, out); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the serverchallenge.");
  return kOk;
}

int mobilechallenge(const Session& s, std::string_view header, std::optional<std::string_view> flag, std::string& out) {
  const int session = s.number;
  std::string merchant;
  if (int rc = get_merchant_name(s, merchant); rc != kOk)
    return fail(rc, kAt, "An error occured trying to get merchant name.");
  std::vector<unsigned char> decoded;
  if (int rc = decodebase64(session, header, decoded); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 decode the authentication header.");
  std::string_view text = mobiletext({reinterpret_cast<const char*>(decoded.data()), decoded.size()});
  if (text.find(merchant) == std::string_view::npos)
    return fail(kChallengeNoMerchant, kAt, "The mobile server challenge does not contain the merchant's name.");
  std::string reference;
  if (int rc = drawreference(session, reference); rc != kOk) return rc;
  if (!text.empty() && text.back() == '(') text.remove_suffix(1);
  std::string converted;
  if (int rc = preparetextformobileauth(session, text, reference, converted, flag); rc != kOk)
    return fail(rc, kAt, "An error occured trying to convert the mobile challenge.");
  if (int rc = encodebase64(session, converted, out); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the serverchallenge.");
  return kOk;
}

}  // namespace

int authenticateserver(int session, std::string& signature, std::string& serverchallenge,
                       std::string_view clientchallenge, std::optional<std::string_view> header,
                       std::optional<std::string_view> flag) {
  signature.clear();
  serverchallenge.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;
  return authenticateserver(*s, signature, serverchallenge, clientchallenge, header, flag);
}

int authenticateserver(const Session& s, std::string& signature, std::string& serverchallenge,
                       std::string_view clientchallenge, std::optional<std::string_view> header,
                       std::optional<std::string_view> flag) {
  const int session = s.number;
  signature.clear();
  serverchallenge.clear();
  if (int rc = enterservice(s); rc != kOk) return rc;
  std::vector<unsigned char> challenge;
  if (int rc = decodebase64(session, clientchallenge, challenge); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 decode the clientchallenge.");
  const bool mobile = header && !header->empty();
  std::string webaddress;
  if (!mobile) {
    if (int rc = getproperty(s, "webaddress", webaddress); rc != kOk)
      return fail(rc, kAt, "Unable to find the webaddress configuration file parameter.");
  }
  if (int rc = signdata(s, challenge.data(), challenge.size(), signature, KeyRole::authentication, ChannelNonce::with);
      rc != kOk)
    return fail(rc, kAt, "An error occured trying to sign the clientchallenge and webaddress.");
  return mobile ? mobilechallenge(s, *header, flag, serverchallenge)
                : browserchallenge(session, webaddress, serverchallenge);
}

}  // namespace zmr
