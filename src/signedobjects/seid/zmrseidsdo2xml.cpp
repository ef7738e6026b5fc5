#include "signedobjects/seid/sdointernal.h"

namespace zmr {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr std::string_view kListStart =
    "<SDOList xmlns=\"http://www.zelmor.example/seid/xmlschema/SDO_v1.0\""
    " xmlns:XAdES=\"http://uri.etsi.org/01903/v1.2.2#\""
    " xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">";

void documenttoxml(xmlsink& s, const seidsdocell& handle, int32_t flavour) {
  s.markup(kDeclaration);
  s.markup(kListStart);
  for (const seidsdo* sdo = handle.first.get(); sdo != nullptr; sdo = sdo->next.get()) {
    s.markup("<SDO><SEIDSDOVersion>");
    s.text(&sdo->version, "SEIDSDOVersion");
    s.markup("</SEIDSDOVersion>");
    if (sdo->datapart) seiddataparttoxml(s, *sdo->datapart, flavour);
    if (sdo->seal) seidsdosealtoxml(s, *sdo->seal);
    if (sdo->metadata) seidsdometadatatoxml(s, *sdo->metadata);
    if (sdo->signedobject) {
      s.markup("<SignedObject><SignersDocument>");
      s.text(&sdo->signedobject->signersdocument, "SignersDocument");
      s.markup("</SignersDocument></SignedObject>");
    }
    s.markup("</SDO>");
  }
  s.markup("</SDOList>");
}

}  // namespace

int zmrseidsdo2xml(int session, const seidsdocell& handle, std::string& out, int32_t flavour) {
  return writexml(session, out, [&](xmlsink& s) { documenttoxml(s, handle, flavour); });
}

int zmrseidsdo2xml(int session, const seidsdocell& handle, char* (*take)(size_t size), char*& out, int32_t flavour) {
  return writexmlinto(session, take, out, [&](xmlsink& s) { documenttoxml(s, handle, flavour); });
}

}  // namespace zmr
