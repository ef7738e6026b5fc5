#include <charconv>

#include "misc/setup.h"
#include "misc/status.h"
#include "services/challenges.h"
#include "services/common.h"
#include "services/services.h"
#include "services/signing.h"
#include "services/verifying.h"
#include "tools/base64.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

constexpr const char* kPrefix = "createsecurechannel_createsecurechannel: ";
constexpr const char* kNoSize =
    "createsecurechannel_createsecurechannel: An error occured trying to calculate the size of the channel. No "
    "channel data present in sessionstore\n";

int fail(int session, int code, std::string_view text) {
  setlasterror(session, std::string(kPrefix).append(text).append("\n"));
  return code;
}

// Appends "&key=value" for every channel item of the calling thread.
int appendchannelitems(int session, std::string& channel) {
  int count = 0;
  int rc = wildcard_countinfoitems(session, "c_", &count);
  if (rc != kOk && rc != 2022) {
    setlasterror(session,
                 "createsecurechannel_calculate_channel_size: An error occured trying to get the the number of "
                 "channel items stored in sessioncontext.\n");
    setlasterror(session, kNoSize);
    return rc;
  }
  if (count == 0) {
    setlasterror(session,
                 "createsecurechannel_calculate_channel_size: No channel parameters with the prefix \"c_\" was "
                 "present in sessionstore\n");
    setlasterror(session, kNoSize);
    return 2022;
  }
  for (int i = 0; i < count; ++i) {
    std::string key, value;
    if (int rc = wildcard_popinfoitem(session, "c_", i, key, value); rc != kOk) {
      setlasterror(session,
                   "createsecurechannel_calculate_channel_size: An error occured trying to get a wildcard infoitem "
                   "from sessionstore.\n");
      setlasterror(session, kNoSize);
      return rc;
    }
    channel.append("&").append(key).append("=").append(value);
  }
  return kOk;
}

}  // namespace

int createsecurechannel(int session, std::string_view pkcs7, std::string& signature, std::string& channel) {
  signature.clear();
  channel.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  std::string keysize;
  if (int rc = getpkcs7info(session, pkcs7, "keysize", keysize); rc != kOk)
    return fail(session, rc, "The pkcs7 doesn't have a keysize attribute.");
  if (int rc = check_signed_attribute(session, pkcs7, NID_pkcs9_randomNonce); rc != kOk)
    return fail(session, rc, "The incoming pkcs#7 does not contain the ZMR Channel signed attribute.");
  int64_t bits = 0;
  std::from_chars(keysize.data(), keysize.data() + keysize.size(), bits);
  std::string digest;
  if (int rc = hashdata(session, digest, bits < 1025 ? "sha1" : "sha256", pkcs7); rc != kOk)
    return fail(session, rc, "An error occured trying to digest the base64 encoded order.");

  std::string text = "h=" + digest;
  if (int rc = appendchannelitems(session, text); rc != kOk) return rc;

  std::string usage;
  if (int rc = getpkcs7info(session, pkcs7, "keyusage", usage); rc != kOk)
    return fail(session, rc, "Unable to extract keyusage from signing certificate in pkcs7.");
  const int certtype = usage == "authentication" ? kCertAuthentication : kCertSigning;
  if (int rc = signdata(session, text, signature, certtype, 0); rc != kOk)
    return fail(session, rc, "An error occured trying to sign the encrypted channel.");
  if (int rc = encodebase64(session, text, channel); rc != kOk)
    return fail(session, rc, "An error occured trying to base64 encode the channel data.");
  return kOk;
}

}  // namespace zmr
