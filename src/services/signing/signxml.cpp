#include <cstring>
#include <new>

#include "misc/status.h"
#include "services/entry.h"
#include "services/signing/signingops.h"
#include "tools/base64.h"

namespace zmr {
namespace {

// A text ends at its length or at its first NUL, whichever comes first.
std::string_view uptonul(const char* text, size_t length) {
  if (text == nullptr) return {};
  const void* nul = std::memchr(text, '\0', length);
  return {text, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length};
}

}  // namespace

int signxml(int session, const char* xml, size_t xmllength, const char* xsl, size_t xsllength, std::string& pkcs7,
            std::string& envelope) {
  pkcs7.clear();
  envelope.clear();
  SessionRef state;
  if (int rc = usesession(session, state); rc != kOk) return rc;
  return signxml(*state, xml, xmllength, xsl, xsllength, pkcs7, envelope);
}

int signxml(const Session& state, const char* xml, size_t xmllength, const char* xsl, size_t xsllength,
            std::string& pkcs7, std::string& envelope) {
  const int session = state.number;
  pkcs7.clear();
  envelope.clear();
  if (int rc = enterservice(state); rc != kOk) return rc;
  std::string text;
  try {
    std::string_view x = uptonul(xml, xmllength);
    std::string_view s = uptonul(xsl, xsllength);
    text.reserve(x.size() + s.size() + 57);
    text.append("<ZelmorXML><ZMRXML>").append(x).append("</ZMRXML><ZMRXSL>").append(s).append("</ZMRXSL></ZelmorXML>");
  } catch (const std::bad_alloc&) {
    return fail(kOutOfMemory, "signxml::signxml: Error allocating memory.\n");
  } catch (const std::length_error&) {
    return fail(kOutOfMemory, "signxml::signxml: Error allocating memory.\n");
  }
  if (int rc = signdata(state, text, pkcs7, KeyRole::signing, ChannelNonce::with); rc != kOk)
    return fail(rc, "signxml_signxml: An error occured trying to sign the ZMRXML xml structure.\n");
  if (int rc = encodebase64(session, text, envelope); rc != kOk) {
    envelope.clear();
    return fail(rc, "signxml_signxml: An error occured trying to base64 encode the ZelmorXML structure.\n");
  }
  return 0;
}

}  // namespace zmr
