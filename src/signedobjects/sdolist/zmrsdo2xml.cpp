#include <cstdint>
#include <new>

#include "misc/status.h"
#include "signedobjects/sdolist/sdolistinternal.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr std::string_view kListStart =
    "<SDOList xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xsi:noNamespaceSchemaLocation=\"Zelmor_SDO_099.xsd\">";

bool hasbytes(const sdobytes& bytes) { return bytes && !bytes->empty(); }

void metadatatoxml(xmlsink& s, const sdometadata& metadata) {
  s.markup("<Metadata><Keywords>");
  s.text(&metadata.keywords, "Keywords");
  s.markup("</Keywords><Description>");
  s.text(&metadata.description, "Description");
  s.markup("</Description><MetaAttributeList>");
  for (const namevaluepair* pair = metadata.attributes.get(); pair != nullptr; pair = pair->next.get()) {
    s.markup("<NameValuePair><Name>");
    s.text(&pair->name, "Name");
    s.markup("</Name><Value>");
    s.text(&pair->value, "Value");
    s.markup("</Value></NameValuePair>");
  }
  s.markup("</MetaAttributeList></Metadata>");
}

int listtoxml(int session, xmlsink& s, const sdolist& list) {
  s.markup(kDeclaration);
  s.markup(kListStart);
  for (const sdoelement* sdo = list.first.get(); sdo != nullptr; sdo = sdo->nextsdoelement.get()) {
    s.markup("<SDO><Zelmor_SDOVersion>");
    s.text(&sdo->szzmr_sdoversion, "Zelmor_SDOVersion");
    s.markup("</Zelmor_SDOVersion>");
    if (sdo->sdodatapart) {
      if (int rc = dataparttoxml(session, s, *sdo->sdodatapart); rc != kOk) return rc;
    }
    s.markup("<SDOSignature>");
    s.text(&sdo->szsdosignature, "SDOSignature");
    s.markup("</SDOSignature>");
    if (sdo->metadata) metadatatoxml(s, *sdo->metadata);
    if (sdo->locationurl) {
      s.markup("<LocationURL>");
      s.text(&sdo->locationurl, "LocationURL");
      s.markup("</LocationURL>");
    }
    if (hasbytes(sdo->storeddata)) {
      s.markup("<StoredData>");
      base64piece(s, *sdo->storeddata);
      s.markup("</StoredData>");
    }
    s.markup("</SDO>");
  }
  s.markup("</SDOList>");
  return 0;
}

}  // namespace

int zmrsdo2xml(int session, const sdolist& list, std::string& out) {
  try {
    // Room for the stored documents up front; the markup grows as needed.
    size_t expected = 4096;
    for (const sdoelement* sdo = list.first.get(); sdo != nullptr; sdo = sdo->nextsdoelement.get()) {
      expected += 1024;
      if (hasbytes(sdo->storeddata)) expected += base64_encodedlength(sdo->storeddata->size());
    }
    std::string text;
    text.reserve(expected);
    xmlsink sink{&text, SIZE_MAX};
    if (int rc = listtoxml(session, sink, list); rc != kOk) return rc;
    if (!sink.refused.empty()) {
      setlasterror(session, refusedtextline("sdotools_zmrsdotoxml", sink.refused));
      return kBadArgument;
    }
    out = std::move(text);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
