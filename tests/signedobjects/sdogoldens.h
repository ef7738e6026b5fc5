// Trees with the exact SEID SDO XML the writer must give for them, written
// out here by hand, for the writer's and the reader's tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "signedobjects/seid/seidsdo.h"
#include "support/sdotrees.h"

namespace sdogolden {

inline const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<SDOList xmlns=\"http://www.zelmor.example/seid/xmlschema/SDO_v1.0\" "
    "xmlns:XAdES=\"http://uri.etsi.org/01903/v1.2.2#\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">";
inline const std::string kTail = "</SDOList>";

// The data-part element of zmrtest::shortTexts(), by flavour.
inline std::string shortElement(int flavour) {
  if (flavour == -1)
    return "<SignatureElement><CMSSignatureElement><SDOProfile>P</SDOProfile><SignaturePolicyIdentifier>"
           "<SignaturePolicyId><SigPolicyId><XAdES:Identifier>I</XAdES:Identifier></SigPolicyId>"
           "</SignaturePolicyId></SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>M</MimeType>"
           "</SignersDocumentFormat><HashedData><ds:DigestMethod Algorithm=\"DM\"/><ds:DigestValue>DV"
           "</ds:DigestValue></HashedData><CMSSignature>S</CMSSignature><UserCertificateAndRevocationData>"
           "<RevocationValues><XAdES:OCSPValues><XAdES:EncapsulatedOCSPValue>O</XAdES:EncapsulatedOCSPValue>"
           "</XAdES:OCSPValues></RevocationValues></UserCertificateAndRevocationData></CMSSignatureElement>"
           "</SignatureElement>";
  if (flavour == 0)
    return "<SignatureElement><CMSSignatureElement><SDOProfile>P</SDOProfile><SignaturePolicyIdentifier>"
           "<SignaturePolicyId><SigPolicyId><Identifier>I</Identifier></SigPolicyId></SignaturePolicyId>"
           "</SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>M</MimeType></SignersDocumentFormat>"
           "<HashedData><DigestMethod Algorithm=\"DM\"/><DigestValue>DV</DigestValue></HashedData>"
           "<CMSSignature>S</CMSSignature><UserCertificateAndRevocationData><RevocationValues><OCSPValues>"
           "<EncapsulatedOCSPValue>O</EncapsulatedOCSPValue></OCSPValues></RevocationValues>"
           "</UserCertificateAndRevocationData></CMSSignatureElement></SignatureElement>";
  return "<SignatureElement><CMSSignatureElement><SDOProfile>P</SDOProfile><SignaturePolicyIdentifier>"
         "<SignaturePolicyId><SigPolicyId><Identifier Qualifier=\"I\"/></SigPolicyId></SignaturePolicyId>"
         "</SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>M</MimeType></SignersDocumentFormat>"
         "<HashedData><DigestMethod Algorithm=\"DM\"/><DigestValue>DV</DigestValue></HashedData>"
         "<CMSSignature>S</CMSSignature><UserCertificateAndRevocationData><RevocationValues><OCSPValues>"
         "<EncapsulatedOCSPValue>O</EncapsulatedOCSPValue></OCSPValues></RevocationValues>"
         "</UserCertificateAndRevocationData></CMSSignatureElement></SignatureElement>";
}

// The SDO holding shortTexts() alone, by flavour, without seal, metadata
// or signed object; rest goes before "</SDO>".
inline std::string oneElementDocument(int flavour, const std::string& rest = "") {
  return kHead + "<SDO><SEIDSDOVersion>1.0</SEIDSDOVersion><SDODataPart>" + shortElement(flavour) +
         "</SDODataPart>" + rest + "</SDO>" + kTail;
}

// The seal element, always compliant: shortTexts() with "seal" in front.
inline const std::string kSeal =
    "<SDOSeal><SDOSignature><CMSSignatureElement><SDOProfile>sealP</SDOProfile><SignaturePolicyIdentifier>"
    "<SignaturePolicyId><SigPolicyId><XAdES:Identifier>sealI</XAdES:Identifier></SigPolicyId></SignaturePolicyId>"
    "</SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>sealM</MimeType></SignersDocumentFormat>"
    "<HashedData><ds:DigestMethod Algorithm=\"sealDM\"/><ds:DigestValue>sealDV</ds:DigestValue></HashedData>"
    "<CMSSignature>sealS</CMSSignature><UserCertificateAndRevocationData><RevocationValues><XAdES:OCSPValues>"
    "<XAdES:EncapsulatedOCSPValue>sealO</XAdES:EncapsulatedOCSPValue></XAdES:OCSPValues></RevocationValues>"
    "</UserCertificateAndRevocationData></CMSSignatureElement></SDOSignature></SDOSeal>";

inline zmrtest::SdoElementTexts sealTexts() { return {"sealP", "sealI", "sealM", "sealDM", "sealDV", "sealS", "sealO"}; }

// Every character the writer escapes.
inline const std::string kMarkupChars = "a&b<c>d\"e'f";
inline const std::string kMarkupEscaped = "a&amp;b&lt;c&gt;d&quot;e&apos;f";

struct Golden {
  std::string name;
  std::unique_ptr<zmr::seidsdocell> tree;
  int flavour;
  std::string xml;
  bool sealed;
};

inline std::vector<Golden> goldens() {
  using zmrtest::sdoTree;
  using zmrtest::shortTexts;
  std::vector<Golden> out;
  for (int flavour : {-1, 0, 1}) {
    out.push_back({"one element, flavour " + std::to_string(flavour), sdoTree({shortTexts()}), flavour,
                   oneElementDocument(flavour), false});

    auto sealed = sdoTree({shortTexts(), shortTexts()}, sealTexts());
    zmrtest::addPair(*sealed, "MerchantDesc", kMarkupChars, std::nullopt);
    sealed->first->signedobject = std::make_unique<zmr::signedobject>();
    sealed->first->signedobject->signersdocument = "";
    out.push_back({"sealed, flavour " + std::to_string(flavour), std::move(sealed), flavour,
                   kHead + "<SDO><SEIDSDOVersion>1.0</SEIDSDOVersion><SDODataPart>" + shortElement(flavour) +
                       shortElement(flavour) + "</SDODataPart>" + kSeal +
                       "<Metadata><ValuePair><Name>MerchantDesc</Name><Value>" + kMarkupEscaped +
                       "</Value></ValuePair></Metadata><SignedObject><SignersDocument></SignersDocument>"
                       "</SignedObject></SDO>" +
                       kTail,
                   true});
  }
  auto noPairs = sdoTree({shortTexts()});
  noPairs->first->metadata = std::make_unique<zmr::metadata>();
  out.push_back({"metadata without pairs", std::move(noPairs), -1, oneElementDocument(-1), false});

  auto nameOnly = sdoTree({shortTexts()});
  zmrtest::addPair(*nameOnly, "only", std::nullopt, std::nullopt);
  out.push_back({"pair with only a name", std::move(nameOnly), -1,
                 oneElementDocument(-1, "<Metadata><ValuePair><Name>only</Name></ValuePair></Metadata>"), false});

  auto pairs = sdoTree({shortTexts()});
  zmrtest::addPair(*pairs, "n1", "v1", "d1");
  zmrtest::addPair(*pairs, std::nullopt, "v2", "d2");
  out.push_back({"pairs written description, name, value", std::move(pairs), 0,
                 oneElementDocument(0,
                                    "<Metadata><ValuePair><Description>d1</Description><Name>n1</Name><Value>v1"
                                    "</Value></ValuePair><ValuePair><Description>d2</Description><Value>v2</Value>"
                                    "</ValuePair></Metadata>"),
                 false});
  return out;
}

}  // namespace sdogolden
