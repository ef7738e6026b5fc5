// The pieces of SEID SDO XML below the document: data part, seal and
// metadata.
#include <array>

#include "signedobjects/seid/sdointernal.h"

namespace zmr {
namespace {

// The escape of a character, or nothing for one written as it stands. A CR
// in any text, and a tab or LF in an attribute value, would come back
// changed from a reader's end-of-line and attribute normalisation.
constexpr std::string_view escapeof(char c, bool attribute) {
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

// Whether escapeof changes a byte, for texts ([0]) and attribute values
// ([1]): plain runs between such bytes go out whole.
constexpr auto kEscaped = [] {
  std::array<std::array<unsigned char, 256>, 2> table{};
  for (int kind = 0; kind < 2; ++kind)
    for (int c = 0; c < 256; ++c) table[kind][c] = !escapeof(static_cast<char>(c), kind == 1).empty();
  return table;
}();

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
  const auto& escapes = kEscaped[attribute ? 1 : 0];
  const auto* p = reinterpret_cast<const unsigned char*>(rest.data());
  const size_t n = rest.size();
  size_t from = 0;
  size_t i = 0;
  while (true) {
    // A plain run goes out at most kRun bytes at a time, copied while the
    // scan has just brought it into the cache.
    constexpr size_t kRun = size_t{1} << 14;
    const size_t end = n - from > kRun ? from + kRun : n;
    // Eight bytes at a time past the plain ones.
    while (end - i >= 8 && !(escapes[p[i]] | escapes[p[i + 1]] | escapes[p[i + 2]] | escapes[p[i + 3]] |
                             escapes[p[i + 4]] | escapes[p[i + 5]] | escapes[p[i + 6]] | escapes[p[i + 7]]))
      i += 8;
    while (i < end && !escapes[p[i]]) ++i;
    if (i == n) break;
    markup(rest.substr(from, i - from));
    if (i == end) {
      from = i;
      continue;
    }
    markup(escapeof(rest[i], attribute));
    from = ++i;
  }
  markup(rest.substr(from));
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
  if (seal.sdosignature && seal.sdosignature->element) cmselementtoxml(s, *seal.sdosignature->element, kSdoCompliant);
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
