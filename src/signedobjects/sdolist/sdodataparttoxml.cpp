// The data part of SDO-list XML: what the SDO signature covers.
#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int signaturelisttoxml(int session, xmlsink& s, const sigelement* element) {
  s.markup("<SignatureList>");
  for (; element != nullptr; element = element->next.get()) {
    s.markup("<SignatureElement>");
    if (element->szdatetime) {
      s.markup("<DateTime>");
      s.text(&element->szdatetime, "DateTime");
      s.markup("</DateTime>");
    }
    s.markup("<SignatureDataAndDateTime>");
    s.text(&element->signature, "SignatureDataAndDateTime");
    s.markup("</SignatureDataAndDateTime>");
    if (element->szocspresponse && !element->szocspresponse->empty()) {
      std::string ocsp;
      if (int rc = encodebase64(session, element->szocspresponse->data(), element->szocspresponse->size(), ocsp);
          rc != kOk) {
        setlasterror(session,
                     "sdotools_signaturelisttoxml: Bse64 encoding of the signatureelements ocsp response failed.\n");
        return rc;
      }
      s.markup("<OCSPResponse>");
      s.markup(ocsp);
      s.markup("</OCSPResponse>");
    }
    if (element->timestampauthority) {
      s.markup("<SignatureTimestampAuthority>");
      s.text(&element->timestampauthority, "SignatureTimestampAuthority");
      s.markup("</SignatureTimestampAuthority>");
    }
    s.markup("</SignatureElement>");
  }
  s.markup("</SignatureList>");
  return 0;
}

}  // namespace

int dataparttoxml(int session, xmlsink& s, const sdodatapart& datapart) {
  const size_t start = s.length;
  const bool refusedbefore = !s.refused.empty();
  // The encoder refuses an empty digest as it refuses an absent one.
  std::string digest;
  const auto& bytes = datapart.szhasheddata;
  if (int rc = encodebase64(session, bytes ? bytes->data() : nullptr, bytes ? bytes->size() : 0, digest); rc != kOk) {
    setlasterror(session, "sdotools_dataparttoxml: Base64 encoding of dataparts hasheddata failed.\n");
    return rc;
  }
  s.markup("<SDODataPart><Policy>");
  s.text(&datapart.szpolicy, "Policy");
  s.markup("</Policy><HashedData>");
  s.markup(digest);
  s.markup("</HashedData><DataType>");
  s.text(&datapart.szdatatype, "DataType");
  s.markup("</DataType>");
  if (int rc = signaturelisttoxml(session, s, datapart.siglist.get()); rc != kOk) return rc;
  s.markup("</SDODataPart>");
  if (!refusedbefore && !s.refused.empty()) {
    setlasterror(session, refusedtextline("sdotools_dataparttoxml", s.refused));
    return kBadArgument;
  }
  // Refused whole rather than cut: a signature over part of it would be
  // worthless.
  if (s.length - start + 1 > kMaxSignableDataPart) {
    setlasterror(session, kSdoListTooLarge);
    return kSdoTooLarge;
  }
  return 0;
}

}  // namespace zmr
