// Exported functions of signing with the merchant's keys.
#include "api/frame.h"
#include "services/signing/signingops.h"

using namespace zmr;

ZMR_EXPORT int zmr_signdata(int session, const unsigned char* data, uint64_t length, char** pkcs7) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(data));
  ZMR_TRY(required(pkcs7));
  *pkcs7 = nullptr;
  return guarded([&] {
    std::string text;
    ZMR_TRY(signdata(session, data, length, text, KeyRole::signing, ChannelNonce::with));
    return handout(text, pkcs7);
  });
}

ZMR_EXPORT int zmr_signdatap1(int session, const unsigned char* data, uint64_t length, char** signature) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(data));
  ZMR_TRY(required(signature));
  *signature = nullptr;
  return guarded([&] {
    std::string text;
    ZMR_TRY(signdatap1(session, data, length, text, KeyRole::signing));
    return handout(text, signature);
  });
}

ZMR_EXPORT int zmr_signxml(int session, const char* xml, uint64_t xmllength, const char* xsl, uint64_t xsllength,
                           char** pkcs7, char** envelope) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(xml));
  ZMR_TRY(required(xsl));
  ZMR_TRY(required(pkcs7));
  ZMR_TRY(required(envelope));
  *pkcs7 = nullptr;
  *envelope = nullptr;
  return guarded([&] {
    std::string signature, text;
    int rc = signxml(session, xml, xmllength, xsl, xsllength, signature, text);
    // Whatever was made is handed over, also with a failure code.
    if (!signature.empty()) ZMR_TRY(handout(signature, pkcs7));
    if (!text.empty()) ZMR_TRY(handout(text, envelope));
    return rc;
  });
}

ZMR_EXPORT int zmr_createxmldsig(int session, const char* order, char** xml, int* days) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(order));
  ZMR_TRY(required(xml));
  ZMR_TRY(required(days));
  *xml = nullptr;
  *days = 0;
  return guarded([&] {
    std::string document;
    int value = 0;
    int rc = createxmldsig(session, order, document, value);
    // Only the days can fail after the document is made: it is handed over
    // with that code.
    if (!document.empty()) ZMR_TRY(handout(document, xml));
    if (rc == kOk) *days = value;
    return rc;
  });
}
