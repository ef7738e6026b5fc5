#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

int sdoaddsignature(int session, seidsdocell* handle, const ::signatures* list, std::optional<std::string_view> data) {
  SessionRef state;
  if (int rc = enterservice(session, state); rc != kOk) return rc;
  if (int rc = seidsdonullandconstraintchecker(session, handle); rc != kOk)
    return fail(rc, "sdoaddsignature_sdoaddsignature: The SDO does not contain all mandatory parameters.\n");
  seidsdo& sdo = *handle->first;

  std::string_view document;
  if (std::optional<std::string_view> given = givendocument(data)) {
    document = *given;
  } else if (const std::string* kept = keptdocument(sdo)) {
    document = *kept;
  } else {
    return fail(kSdoNoContent,
                "sdoaddsignature_sdoaddsignature: The contract must be present in the SDO or as input parameter "
                "data.\n");
  }
  std::string sha1, sha256;
  bool secondfailed = false;
  if (int rc = hashdatapair(session, sha1, sha256, document, &secondfailed); rc != kOk)
    return fail(rc, secondfailed
                        ? "createsdo_createsdo: An error occured trying to hash the input data.\n"
                        : "sdoaddsignature_sdoaddsignature: An error occured trying to create a message digest "
                          "of the sdo's data.\n");

  // The new nodes are chained aside: the SDO changes only once all are made.
  const std::string& mimetype = **mimetypeof(*sdo.datapart->first->element);
  std::unique_ptr<signatureelement> chain;
  signatureelement* chainend = nullptr;
  for (const ::signatures* entry = list; entry != nullptr; entry = entry->next) {
    static constexpr const char* kStripLine =
        "createsdo_createsdo: An error occured trying to strip the pkcs7 for carriage returns and linefeeds.\n";
    std::string pkcs7, ocsp;
    if (int rc = removecrlf(session, entry->pkcs7 ? entry->pkcs7 : "", pkcs7); rc != kOk) return fail(rc, kStripLine);
    if (int rc = removecrlf(session, entry->ocsp ? entry->ocsp : "", ocsp); rc != kOk) return fail(rc, kStripLine);
    std::unique_ptr<signatureelement> node;
    if (int rc = createseidsdosignatureelement(session, pkcs7, ocsp, sha1, sha256, mimetype, node); rc != kOk)
      return fail(rc,
                  "sdoaddsignature_sdoaddsignature: An error occured trying to create the servers sdo signature "
                  "element.\n");
    signatureelement* added = node.get();
    (chainend ? chainend->next : chain) = std::move(node);
    chainend = added;
  }

  signatureelement* last = sdo.datapart->first.get();
  while (last->next) last = last->next.get();
  last->next = std::move(chain);
  sdo.seal.reset();

  if (int rc = seidsdovalidate(*state, handle, 0, data, 0, 1, 1); rc != kOk)
    return fail(rc, "sdoaddsignature_sdoaddsignature: An error occured trying to validate the sdo.\n");
  return 0;
}

}  // namespace zmr
