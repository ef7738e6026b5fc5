// getinfoitem and the document getters.
#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {
namespace {

// The record a getter reads, or a code with its line.
int documentat(int session, int index, document** out) {
  document* d = nullptr;
  if (int rc = getdocuments(session, &d); rc != kOk) {
    setlasterror(session, "getinfoitem::getsigneddata: Error fetching the signed data.\n");
    return rc;
  }
  for (int i = 0; i < index && d != nullptr; ++i) d = d->next.get();
  if (d == nullptr || index < 0) {
    setlasterror(session, "getinfoitem::getsigneddata: No document on requested index.\n");
    return kNotFound;
  }
  *out = d;
  return 0;
}

int handpair(int session, const std::optional<std::string>& a, const std::optional<std::string>& b, std::string& outa,
             std::string& outb, const char* getter, const char* missing) {
  if (!a || !b) {
    setlasterror(session, std::string("getinfoitem::") + getter + ": " + missing + "\n");
    return kNotFound;
  }
  outa = *a;
  outb = *b;
  return 0;
}

}  // namespace

int getinfoitem(int session, std::string_view key, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  int rc = popinfoitem(session, key, out);
  if (rc != kOk)
    setlasterror(session,
                 "getinfoitem_getinfoitem: An error occured trying to get the requested item from sessionstore.\n");
  return rc;
}

int getsigneddata(int session, int index, std::string& signeddata, std::string& merchantpkcs7) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  document* d = nullptr;
  if (int rc = documentat(session, index, &d); rc != kOk) return rc;
  return handpair(session, d->signeddata, d->merchantpkcs7, signeddata, merchantpkcs7, "getsigneddata",
                  "Signed data or merchant signature missing on requested index.");
}

int getsignatureandocsp(int session, int index, std::string& clientpkcs7, std::string& ocsp) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  document* d = nullptr;
  if (int rc = documentat(session, index, &d); rc != kOk) return rc;
  return handpair(session, d->clientpkcs7, d->ocsp, clientpkcs7, ocsp, "getsignatureandocsp",
                  "Signature or OCSP missing on requested index.");
}

int getsignatureandfullocsp(int session, int index, std::string& clientpkcs7, std::string& fullocsp) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  document* d = nullptr;
  if (int rc = documentat(session, index, &d); rc != kOk) return rc;
  if (!d->fullocsp) {
    setlasterror(session, "getinfoitem::getsignatureandfullocsp: Full OCSP missing on requested index.\n");
    return kNotFound;
  }
  return handpair(session, d->clientpkcs7, d->fullocsp, clientpkcs7, fullocsp, "getsignatureandfullocsp",
                  "Signature missing on requested index.");
}

}  // namespace zmr
