// The pieces of SEID SDO XML below the document: data part, seal and
// metadata.
#include "signedobjects/sdointernal.h"

namespace zmr {
namespace {

std::string_view escapeof(char c) {
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
  s.text(&e.sdoprofile);
  s.markup("</SDOProfile><SignaturePolicyIdentifier><SignaturePolicyId><SigPolicyId>");
  if (compliant) {
    s.markup("<XAdES:Identifier>");
    s.text(identifierof(e));
    s.markup("</XAdES:Identifier>");
  } else if (flavour == kSdoPlain) {
    s.markup("<Identifier>");
    s.text(identifierof(e));
    s.markup("</Identifier>");
  } else {
    s.markup("<Identifier Qualifier=\"");
    s.text(identifierof(e));
    s.markup("\"/>");
  }
  s.markup("</SigPolicyId></SignaturePolicyId></SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>");
  s.text(mimetypeof(e));
  s.markup("</MimeType></SignersDocumentFormat><HashedData>");
  s.markup(compliant ? "<ds:DigestMethod Algorithm=\"" : "<DigestMethod Algorithm=\"");
  s.text(digestmethodof(e));
  s.markup(compliant ? "\"/><ds:DigestValue>" : "\"/><DigestValue>");
  s.text(digestvalueof(e));
  s.markup(compliant ? "</ds:DigestValue>" : "</DigestValue>");
  s.markup("</HashedData><CMSSignature>");
  s.text(&e.cmssignature);
  s.markup("</CMSSignature><UserCertificateAndRevocationData><RevocationValues>");
  s.markup(compliant ? "<XAdES:OCSPValues><XAdES:EncapsulatedOCSPValue>" : "<OCSPValues><EncapsulatedOCSPValue>");
  s.text(ocspvalueof(e));
  s.markup(compliant ? "</XAdES:EncapsulatedOCSPValue></XAdES:OCSPValues>" : "</EncapsulatedOCSPValue></OCSPValues>");
  s.markup("</RevocationValues></UserCertificateAndRevocationData>");
}

}  // namespace

void xmlsink::text(const sdotext* t) {
  if (t == nullptr || !*t) return;
  std::string_view rest = **t;
  size_t i = 0;
  while (i < rest.size()) {
    std::string_view entity = escapeof(rest[i]);
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
      s.text(&pair->description);
      s.markup("</Description>");
    }
    if (pair->name) {
      s.markup("<Name>");
      s.text(&pair->name);
      s.markup("</Name>");
    }
    if (pair->value) {
      s.markup("<Value>");
      s.text(&pair->value);
      s.markup("</Value>");
    }
    s.markup("</ValuePair>");
  }
  s.markup("</Metadata>");
}

}  // namespace zmr
