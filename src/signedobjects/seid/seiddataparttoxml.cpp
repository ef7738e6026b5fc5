// The pieces of SEID SDO XML below the document: data part, seal and
// metadata.
#include "signedobjects/seid/sdointernal.h"

namespace zmr {
namespace {

// The escape of a character, or nothing for one written as it stands. A CR
// in any text, and a tab or LF in an attribute value, would come back
// changed from a reader's end-of-line and attribute normalisation.
std::string_view escapeof(char c, bool attribute) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    case '\r':
      return "&#13;";
    case '\t':
      return attribute ? "&#9;" : std::string_view();
    case '\n':
      return attribute ? "&#10;" : std::string_view();
    default:
      return {};
  }
}

const sdotext* digestmethodof(const cmssignatureelement& e) {
  return e.hasheddata ? &e.hasheddata->digestmethod : nullptr;
}
const sdotext* digestvalueof(const cmssignatureelement& e) {
  return e.hasheddata ? &e.hasheddata->digestvalue : nullptr;
}

// From SDOProfile to the revocation data; the seal always takes the
// compliant forms.
void cmselementtoxml(xmlsink& s, const cmssignatureelement& e, int32_t flavour) {
  const bool compliant = flavour == kSdoCompliant;
  s.markup("<SDOProfile>");
  s.text(&e.sdoprofile, "SDOProfile");
  s.markup("</SDOProfile><SignaturePolicyIdentifier><SignaturePolicyId><SigPolicyId>");
  if (compliant) {
    s.markup("<XAdES:Identifier>");
    s.text(identifierof(e), "Identifier");
    s.markup("</XAdES:Identifier>");
  } else if (flavour == kSdoPlain) {
    s.markup("<Identifier>");
    s.text(identifierof(e), "Identifier");
    s.markup("</Identifier>");
  } else {
    s.markup("<Identifier Qualifier=\"");
    s.attribute(identifierof(e), "Identifier");
    s.markup("\"/>");
  }
  s.markup("</SigPolicyId></SignaturePolicyId></SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>");
  s.text(mimetypeof(e), "MimeType");
  s.markup("</MimeType></SignersDocumentFormat><HashedData>");
  s.markup(compliant ? "<ds:DigestMethod Algorithm=\"" : "<DigestMethod Algorithm=\"");
  s.attribute(digestmethodof(e), "DigestMethod");
  s.markup(compliant ? "\"/><ds:DigestValue>" : "\"/><DigestValue>");
  s.text(digestvalueof(e), "DigestValue");
  s.markup(compliant ? "</ds:DigestValue>" : "</DigestValue>");
  s.markup("</HashedData><CMSSignature>");
  s.text(&e.cmssignature, "CMSSignature");
  s.markup("</CMSSignature><UserCertificateAndRevocationData><RevocationValues>");
  s.markup(compliant ? "<XAdES:OCSPValues><XAdES:EncapsulatedOCSPValue>" : "<OCSPValues><EncapsulatedOCSPValue>");
  s.text(ocspvalueof(e), "EncapsulatedOCSPValue");
  s.markup(compliant ? "</XAdES:EncapsulatedOCSPValue></XAdES:OCSPValues>" : "</EncapsulatedOCSPValue></OCSPValues>");
  s.markup("</RevocationValues></UserCertificateAndRevocationData>");
}

}  // namespace

void xmlsink::escaped(const sdotext* t, std::string_view field, bool attribute) {
  if (t == nullptr || !*t) return;
  std::string_view rest = **t;
  if (check && refused.empty() && !isxmltext(rest)) refused = field;
  size_t i = 0;
  while (i < rest.size()) {
    std::string_view entity = escapeof(rest[i], attribute);
    if (entity.empty()) {
      ++i;
      continue;
    }
    markup(rest.substr(0, i));
    markup(entity);
    rest.remove_prefix(i + 1);
    i = 0;
  }
  markup(rest);
}

void seiddataparttoxml(xmlsink& s, const seidsdodatapart& datapart, int32_t flavour) {
  s.markup("<SDODataPart>");
  for (const signatureelement* node = datapart.first.get(); node != nullptr; node = node->next.get()) {
    s.markup("<SignatureElement><CMSSignatureElement>");
    if (node->element) cmselementtoxml(s, *node->element, flavour);
    s.markup("</CMSSignatureElement></SignatureElement>");
  }
  s.markup("</SDODataPart>");
}

void seidsdosealtoxml(xmlsink& s, const seidsdoseal& seal) {
  s.markup("<SDOSeal><SDOSignature><CMSSignatureElement>");
  if (seal.sdosignature && seal.sdosignature->element)
    cmselementtoxml(s, *seal.sdosignature->element, kSdoCompliant);
  s.markup("</CMSSignatureElement></SDOSignature></SDOSeal>");
}

void seidsdometadatatoxml(xmlsink& s, const metadata& metadata) {
  if (!metadata.first) return;
  s.markup("<Metadata>");
  for (const valuepair* pair = metadata.first.get(); pair != nullptr; pair = pair->next.get()) {
    s.markup("<ValuePair>");
    if (pair->description) {
      s.markup("<Description>");
      s.text(&pair->description, "Description");
      s.markup("</Description>");
    }
    if (pair->name) {
      s.markup("<Name>");
      s.text(&pair->name, "Name");
      s.markup("</Name>");
    }
    if (pair->value) {
      s.markup("<Value>");
      s.text(&pair->value, "Value");
      s.markup("</Value>");
    }
    s.markup("</ValuePair>");
  }
  s.markup("</Metadata>");
}

}  // namespace zmr
