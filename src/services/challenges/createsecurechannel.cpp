#include <charconv>

#include "store/setup.h"
#include "misc/status.h"
#include "services/challenges/challengesops.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "services/verifying/verifyingops.h"
#include "tools/base64.h"
#include "tools/certtools.h"
#include "tools/pkcs7tools.h"

namespace zmr {
namespace {

constexpr const char* kNoSize =
    "createsecurechannel_createsecurechannel: An error occured trying to calculate the size of the channel. No "
    "channel data present in sessionstore\n";

constexpr Where kAt{"createsecurechannel_createsecurechannel: ", true};

// Appends "&key=value" for every channel item of the calling thread.
int appendchannelitems(int session, std::string& channel) {
  int count = 0;
  int rc = wildcard_countinfoitems(session, "c_", &count);
  if (rc != kOk && rc != kNotFound) {
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
    return kNotFound;
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

int64_t keybits(std::string_view text) {
  int64_t bits = 0;
  std::from_chars(text.data(), text.data() + text.size(), bits);
  return bits;
}

}  // namespace

ChannelSigner channelsigner(int session, X509* cert) {
  std::string text;
  return {getkeysize(session, cert, text) == kOk ? keybits(text) : 0, cert};
}

int signchannel(const Session& s, std::string_view pkcs7, const ChannelSigner& signer, std::string& signature,
                std::string& channel) {
  const int session = s.number;
  signature.clear();
  channel.clear();
  std::string digest;
  if (int rc = hashdata(session, digest, signer.keybits < 1025 ? "sha1" : "sha256", pkcs7); rc != kOk)
    return fail(rc, kAt, "An error occured trying to digest the base64 encoded order.");
  std::string text = "h=" + digest;
  if (int rc = appendchannelitems(session, text); rc != kOk) return rc;
  // Read here, after the digest cleared the recent error, so that the
  // reader's lines stay before the channel's.
  std::string usage;
  if (int rc = readpkcs7item(session, nullptr, signer.cert, "keyusage", usage); rc != kOk)
    return fail(rc, kAt, "Unable to extract keyusage from signing certificate in pkcs7.");
  const KeyRole role = usage == "authentication" ? KeyRole::authentication : KeyRole::signing;
  if (int rc = signdata(s, text, signature, role, ChannelNonce::without); rc != kOk)
    return fail(rc, kAt, "An error occured trying to sign the encrypted channel.");
  if (int rc = encodebase64(session, text, channel); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the channel data.");
  return kOk;
}

int createsecurechannel(int session, std::string_view pkcs7, std::string& signature, std::string& channel) {
  signature.clear();
  channel.clear();
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;
  // Read once: decoding a PKCS#7's certificates is most of the work here.
  Pkcs7Ptr p7;
  X509* cert = nullptr;
  std::string keysize;
  int rc = openpkcs7signer(session, pkcs7, p7, cert);
  if (rc == kOk) rc = readpkcs7item(session, p7.get(), cert, "keysize", keysize);
  if (rc != kOk) return fail(rc, kAt, "The pkcs7 doesn't have a keysize attribute.");
  if (int rc = check_signed_attribute(session, p7.get(), NID_pkcs9_randomNonce); rc != kOk)
    return fail(rc, kAt, "The incoming pkcs#7 does not contain the ZMR Channel signed attribute.");
  return signchannel(*s, pkcs7, ChannelSigner{keybits(keysize), cert}, signature, channel);
}

}  // namespace zmr
