// Exported functions of signed data objects. A handle is the library's cell
// (seidsdocell) under the opaque public type.
#include "api/frame.h"
#include "signedobjects/seid/sdooperations.h"

using namespace zmr;

namespace {

seidsdocell* cellof(::seidsdo** handle) { return reinterpret_cast<seidsdocell*>(handle); }
::seidsdo** handleof(std::unique_ptr<seidsdocell> cell) { return reinterpret_cast<::seidsdo**>(cell.release()); }

// Every node of a list given to the library: its ocsp, then its pkcs7, then
// its next before the walk moves on to it.
int checklist(const ::signatures* list) {
  for (const ::signatures* node = list; node != nullptr; node = node->next) {
    ZMR_TRY(requiredtext(node->ocsp));
    ZMR_TRY(requiredtext(node->pkcs7));
    ZMR_TRY(optional(node->next));
  }
  return kOk;
}

// A list of malloc'ed nodes and texts for the caller.
int handoutlist(const std::vector<std::pair<std::string, std::string>>& pairs, ::signatures** out) {
  ::signatures* first = nullptr;
  ::signatures** link = &first;
  for (const auto& [pkcs7, ocsp] : pairs) {
    auto* node = static_cast<::signatures*>(std::calloc(1, sizeof(::signatures)));
    if (node == nullptr || handout(pkcs7, &node->pkcs7) != kOk || handout(ocsp, &node->ocsp) != kOk) {
      if (node != nullptr) {
        std::free(node->pkcs7);
        std::free(node);
      }
      signaturesfree(-1, first);
      return kOutOfMemory;
    }
    *link = node;
    link = &node->next;
  }
  *out = first;
  return kOk;
}

}  // namespace

ZMR_EXPORT int zmr_createsdo(int session, ::seidsdo*** sdo, const char* data, const char* mimetype,
                             const char* description, const char* userpkcs7, const char* merchantpkcs7,
                             const char* userocsp, const char* merchantocsp) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(requiredtext(data));
  ZMR_TRY(requiredtext(mimetype));
  ZMR_TRY(requiredtext(description));
  ZMR_TRY(requiredtext(userpkcs7));
  ZMR_TRY(requiredtext(merchantpkcs7));
  ZMR_TRY(requiredtext(userocsp));
  ZMR_TRY(requiredtext(merchantocsp));
  *sdo = nullptr;
  return guarded([&] {
    std::unique_ptr<seidsdocell> cell;
    ZMR_TRY(createsdo(session, cell, data, mimetype, description, {userpkcs7, merchantpkcs7, userocsp, merchantocsp},
                      nullptr));
    *sdo = handleof(std::move(cell));
    return kOk;
  });
}

ZMR_EXPORT int zmr_createdynamicsdo(int session, ::seidsdo*** sdo, const char* data, const char* mimetype,
                                    const char* description, const ::signatures* list) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(requiredtext(data));
  ZMR_TRY(requiredtext(mimetype));
  ZMR_TRY(requiredtext(description));
  ZMR_TRY(required(list));
  ZMR_TRY(checklist(list));
  *sdo = nullptr;
  return guarded([&] {
    std::unique_ptr<seidsdocell> cell;
    ZMR_TRY(createsdo(session, cell, data, mimetype, description, {}, list));
    *sdo = handleof(std::move(cell));
    return kOk;
  });
}

ZMR_EXPORT int zmr_sdoadddata(int session, ::seidsdo** sdo, const char* data) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(probetext(data));
  return guarded([&] { return sdoadddata(session, cellof(sdo), data); });
}

ZMR_EXPORT int zmr_sdoaddsignature(int session, ::seidsdo** sdo, const ::signatures* list, const char* data) {
  if (session < 0) return kBadArgument;
  // Probed as every other handle: an unreadable one would be followed.
  ZMR_TRY(required(sdo));
  ZMR_TRY(required(list));
  ZMR_TRY(optionaltext(data));
  ZMR_TRY(checklist(list));
  return guarded([&] {
    std::optional<std::string_view> given;
    if (data != nullptr) given = data;
    return sdoaddsignature(session, cellof(sdo), list, given);
  });
}

ZMR_EXPORT int zmr_sdoseal(int session, ::seidsdo** sdo, const char* merchantocsp, const char* data) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(requiredtext(merchantocsp));
  ZMR_TRY(optionaltext(data));
  return guarded([&] {
    std::optional<std::string_view> given;
    if (data != nullptr) given = data;
    return sdoseal(session, cellof(sdo), merchantocsp, given);
  });
}

ZMR_EXPORT int zmr_sdotoxmlex(int session, ::seidsdo** sdo, char** xml) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(required(xml));
  *xml = nullptr;
  return guarded([&] {
    // Written straight into the caller's copy: a long document is not
    // written twice nor held twice.
    char* text = nullptr;
    const int rc = sdotoxml(
        session, cellof(sdo), [](size_t size) { return static_cast<char*>(std::malloc(size)); }, text);
    if (rc != kOk) {
      std::free(text);
      return rc;
    }
    *xml = text;
    return kOk;
  });
}

ZMR_EXPORT int zmr_xmltosdoex(int session, const char* xml, ::seidsdo*** sdo) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(xml));
  ZMR_TRY(required(sdo));
  *sdo = nullptr;
  return guarded([&] {
    std::unique_ptr<seidsdocell> cell;
    ZMR_TRY(xmltoseidsdo(session, xml, cell, 0));
    *sdo = handleof(std::move(cell));
    return kOk;
  });
}

ZMR_EXPORT int zmr_sdovalidate(int session, ::seidsdo** sdo, int documentcheck) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  if (documentcheck < 0) return kBadArgument;
  return guarded([&] { return seidsdovalidate(session, cellof(sdo), documentcheck, std::nullopt, 0, 0, 0); });
}

ZMR_EXPORT int zmr_dynamicsdovalidate(int session, ::seidsdo** sdo, const char* data, int signaturecount,
                                      int sealrule) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(optionaltext(data));
  if (sealrule < 0) return kBadArgument;
  return guarded([&] {
    std::optional<std::string_view> given;
    if (data != nullptr) given = data;
    return seidsdovalidate(session, cellof(sdo), -1, given, signaturecount, sealrule, 1);
  });
}

ZMR_EXPORT int zmr_sdoxmlvalidate(int session, const char* xml, int documentcheck) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(xml));
  if (documentcheck < 0) return kBadArgument;
  return guarded([&] { return sdoxmlvalidate(session, xml, documentcheck); });
}

ZMR_EXPORT int zmr_simpledynamicsdoxmlvalidate(int session, const char* xml, int minimum) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(xml));
  if (minimum < 0) return kBadArgument;
  return guarded([&] { return simpleseidsdoxmlvalidate(session, xml, minimum); });
}

ZMR_EXPORT int zmr_dynamicsdoxmlgetsigners(int session, const char* xml, char** signers) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(xml));
  ZMR_TRY(required(signers));
  *signers = nullptr;
  return guarded([&] {
    std::optional<std::string> text;
    ZMR_TRY(seidsdoxmlgetsigners(session, xml, text));
    return handout(text, signers);
  });
}

ZMR_EXPORT int zmr_dynamicsdogetsigners(int session, ::seidsdo** sdo, char** signers) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  ZMR_TRY(required(signers));
  *signers = nullptr;
  return guarded([&] {
    std::optional<std::string> text;
    ZMR_TRY(seidsdogetsigners(session, cellof(sdo), text));
    return handout(text, signers);
  });
}

ZMR_EXPORT int zmr_sdoxmlextractsignatures(int session, const char* xml, char** document, char** mimetype,
                                           char** description, ::signatures** list) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(xml));
  ZMR_TRY(required(document));
  ZMR_TRY(required(mimetype));
  ZMR_TRY(required(description));
  ZMR_TRY(required(list));
  *document = nullptr;
  *mimetype = nullptr;
  *description = nullptr;
  *list = nullptr;
  return guarded([&] {
    ExtractedSdo taken;
    ZMR_TRY(sdoxmlextractsignatures(session, xml, taken));
    // All or nothing: the caller gets the four results or none of them.
    char *doc = nullptr, *mime = nullptr, *desc = nullptr;
    ::signatures* pairs = nullptr;
    int rc = handout(taken.document, &doc);
    if (rc == kOk) rc = handout(taken.mimetype, &mime);
    if (rc == kOk) rc = handout(taken.description, &desc);
    if (rc == kOk) rc = handoutlist(taken.signatures, &pairs);
    if (rc != kOk) {
      std::free(doc);
      std::free(mime);
      std::free(desc);
      return rc;
    }
    *document = doc;
    *mimetype = mime;
    *description = desc;
    *list = pairs;
    return kOk;
  });
}

ZMR_EXPORT int zmr_sdofree(int session, ::seidsdo** sdo) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(sdo));
  return guarded([&] { return seidsdofree(session, cellof(sdo)); });
}

ZMR_EXPORT int zmr_signaturesfree(int session, ::signatures* list) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(list));
  return guarded([&] { return signaturesfree(session, list); });
}
