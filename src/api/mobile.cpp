// Exported functions of the mobile channel and of merchant references.
#include "api/frame.h"
#include "services/mobile/mobileops.h"

using namespace zmr;

ZMR_EXPORT int zmr_requestmobileaction(int session, char** reference) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(reference));
  *reference = nullptr;
  return guarded([&] {
    std::string result;
    ZMR_TRY(requestmobileaction(session, result));
    return handout(result, reference);
  });
}

ZMR_EXPORT int zmr_requestmobilestatus(int session, const char* reference, char** status) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(reference));
  ZMR_TRY(required(status));
  *status = nullptr;
  return guarded([&] {
    std::string result;
    ZMR_TRY(requestmobilestatus(session, reference, result));
    return handout(result, status);
  });
}

ZMR_EXPORT int zmr_pushsms(int session, const char* reference, const char* text) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(reference));
  ZMR_TRY(requiredtext(text));
  return guarded([&] { return pushsms(session, reference, text); });
}

ZMR_EXPORT int zmr_generatemerchantreference(int session, const char* locale, char** reference) {
  if (session < 0) return kBadArgument;
  // The out pointer is only probed, and before the locale.
  ZMR_TRY(probe(reference));
  ZMR_TRY(requiredtext(locale));
  *reference = nullptr;
  return guarded([&] {
    std::string result;
    ZMR_TRY(generatemerchantreference(session, locale, result));
    return handout(result, reference);
  });
}
