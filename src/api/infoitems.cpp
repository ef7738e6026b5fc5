// Exported functions of the recent error, info items and documents.
#include <openssl/crypto.h>

#include "api/frame.h"
#include "services/items/itemsops.h"

using namespace zmr;

ZMR_EXPORT int zmr_getrecenterror(int session, char** out) {
  // The number is passed on untested: the text of a failed opening, whose
  // number is no longer open, must still be readable.
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    std::optional<std::string> text;
    ZMR_TRY(getrecenterror(session, text));
    return handout(text, out);
  });
}

ZMR_EXPORT int zmr_setinfoitem(int session, const char* key, const char* value) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(key));
  ZMR_TRY(requiredtext(value));
  return guarded([&] { return setinfoitem(session, key, value); });
}

static int getitem(int session, const char* key, char** out) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(key));
  ZMR_TRY(required(out));
  *out = nullptr;
  return guarded([&] {
    std::string value;
    int rc = getinfoitem(session, key, value);
    if (rc == kOk) rc = handout(value, out);
    // Items may hold secrets (the transaction's base key): the caller's copy
    // is the only one left behind.
    OPENSSL_cleanse(value.data(), value.size());
    return rc;
  });
}

ZMR_EXPORT int zmr_getinfoitem(int session, const char* key, char** out) { return getitem(session, key, out); }
ZMR_EXPORT int zmr_getreportdata(int session, const char* key, char** out) { return getitem(session, key, out); }

ZMR_EXPORT int zmr_removeinfoitems(int session) {
  if (session < 0) return kBadArgument;
  return guarded([&] { return removeinfoitems(session); });
}

static int adddoc(int session, const char* content, const char* xsl, int type, const char* description) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(content));
  if (type == 1) ZMR_TRY(requiredtext(xsl));
  ZMR_TRY(requiredtext(description));
  return guarded([&] { return adddocument(session, content, xsl != nullptr ? xsl : "", type, description); });
}

ZMR_EXPORT int zmr_adddocumenttext(int session, const char* text, const char* description) {
  return adddoc(session, text, nullptr, 0, description);
}
ZMR_EXPORT int zmr_adddocumentxml(int session, const char* xml, const char* xsl, const char* description) {
  return adddoc(session, xml, xsl, 1, description);
}
ZMR_EXPORT int zmr_adddocumentpdf(int session, const char* pdf, const char* description) {
  return adddoc(session, pdf, nullptr, 2, description);
}

ZMR_EXPORT int zmr_setsigneddata(int session, const char* signeddata) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(signeddata));
  return guarded([&] { return setsigneddata(session, signeddata); });
}

using DocumentGetter = int (*)(int, int, std::string&, std::string&);

static int getpair(DocumentGetter getter, int session, int index, char** first, char** second) {
  if (session < 0) return kBadArgument;
  if (index < 0) return kBadArgument;
  ZMR_TRY(required(first));
  ZMR_TRY(required(second));
  *first = nullptr;
  *second = nullptr;
  return guarded([&] {
    std::string a, b;
    ZMR_TRY(getter(session, index, a, b));
    ZMR_TRY(handout(a, first));
    if (int rc = handout(b, second); rc != kOk) {
      std::free(*first);
      *first = nullptr;
      return rc;
    }
    return 0;
  });
}

ZMR_EXPORT int zmr_getsigneddata(int session, int index, char** signeddata, char** merchantpkcs7) {
  return getpair(getsigneddata, session, index, signeddata, merchantpkcs7);
}
ZMR_EXPORT int zmr_getsignatureandocsp(int session, int index, char** clientpkcs7, char** ocsp) {
  return getpair(getsignatureandocsp, session, index, clientpkcs7, ocsp);
}
ZMR_EXPORT int zmr_getsignatureandfullocsp(int session, int index, char** clientpkcs7, char** fullocsp) {
  return getpair(getsignatureandfullocsp, session, index, clientpkcs7, fullocsp);
}
