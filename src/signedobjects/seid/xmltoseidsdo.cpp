// SEID SDO XML to a record tree, streaming on Expat. A start tag creates the
// record it names (replacing any there was) or points the text target at
// the field its character data fills, until its end tag. Only names and the
// records an element needs are checked here; completeness is the checker's.
#include <expat.h>

#include <algorithm>
#include <array>
#include <climits>

#include "misc/status.h"
#include "services/entry.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/xmlreading.h"

namespace zmr {
namespace {

// An SDO nests nine deep; anything much deeper is not one, and is stopped
// before the parser's own tag stack grows with it.
constexpr int kMaxDepth = 32;

enum class tag {
  SDOList,
  SDO,
  SEIDSDOVersion,
  SDODataPart,
  SignatureElement,
  CMSSignatureElement,
  SDOProfile,
  SignaturePolicyIdentifier,
  SignaturePolicyId,
  SigPolicyId,
  Identifier,
  XAdESIdentifier,
  SignersDocumentFormat,
  MimeType,
  HashedData,
  DigestMethod,
  DigestValue,
  CMSSignature,
  UserCertificateAndRevocationData,
  RevocationValues,
  OCSPValues,
  EncapsulatedOCSPValue,
  SDOSeal,
  SDOSignature,
  SignedObject,
  SignersDocument,
  Metadata,
  ValuePair,
  Description,
  Name,
  Value,
};

// Exactly the names the writer uses, prefixed ones as written; sorted.
constexpr std::array<std::pair<std::string_view, tag>, 35> kTags{{
    {"CMSSignature", tag::CMSSignature},
    {"CMSSignatureElement", tag::CMSSignatureElement},
    {"Description", tag::Description},
    {"DigestMethod", tag::DigestMethod},
    {"DigestValue", tag::DigestValue},
    {"EncapsulatedOCSPValue", tag::EncapsulatedOCSPValue},
    {"HashedData", tag::HashedData},
    {"Identifier", tag::Identifier},
    {"Metadata", tag::Metadata},
    {"MimeType", tag::MimeType},
    {"Name", tag::Name},
    {"OCSPValues", tag::OCSPValues},
    {"RevocationValues", tag::RevocationValues},
    {"SDO", tag::SDO},
    {"SDODataPart", tag::SDODataPart},
    {"SDOList", tag::SDOList},
    {"SDOProfile", tag::SDOProfile},
    {"SDOSeal", tag::SDOSeal},
    {"SDOSignature", tag::SDOSignature},
    {"SEIDSDOVersion", tag::SEIDSDOVersion},
    {"SigPolicyId", tag::SigPolicyId},
    {"SignatureElement", tag::SignatureElement},
    {"SignaturePolicyId", tag::SignaturePolicyId},
    {"SignaturePolicyIdentifier", tag::SignaturePolicyIdentifier},
    {"SignedObject", tag::SignedObject},
    {"SignersDocument", tag::SignersDocument},
    {"SignersDocumentFormat", tag::SignersDocumentFormat},
    {"UserCertificateAndRevocationData", tag::UserCertificateAndRevocationData},
    {"Value", tag::Value},
    {"ValuePair", tag::ValuePair},
    {"XAdES:EncapsulatedOCSPValue", tag::EncapsulatedOCSPValue},
    {"XAdES:Identifier", tag::XAdESIdentifier},
    {"XAdES:OCSPValues", tag::OCSPValues},
    {"ds:DigestMethod", tag::DigestMethod},
    {"ds:DigestValue", tag::DigestValue},
}};
static_assert(std::is_sorted(kTags.begin(), kTags.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));

struct seidparsecontext {
  seidsdocell* root = nullptr;
  sdotext* target = nullptr;  // where character data goes, until the end tag
  int failed = 0;             // 1: not SEID SDO XML
  int stopped = 0;            // the code the parse was stopped with
  XML_Parser parser = nullptr;
  std::string_view xml;  // the whole input, for the room a text takes
  int depth = 0;
  // The form of the data part's identifiers, once one is read; mixed: a
  // later one took another.
  std::optional<int32_t> form;
  bool mixed = false;
  // The tails, so that every append and lookup takes constant time: the
  // last SDO, the last node of its data part and the last pair of its
  // metadata (null when that list is empty).
  seidsdo* lastsdo = nullptr;
  signatureelement* lastnode = nullptr;
  valuepair* lastpair = nullptr;
};

void stop(seidparsecontext& ctx, int code) {
  if (ctx.stopped != 0) return;
  ctx.stopped = code;
  XML_StopParser(ctx.parser, XML_FALSE);
}

// The element that signature-element names fill: the seal's once an
// SDOSignature is open in the last SDO, else the last data-part node's.
cmssignatureelement* getLastCMSSignatureElem(const seidparsecontext& ctx) {
  const seidsdo* sdo = ctx.lastsdo;
  if (sdo == nullptr) return nullptr;
  if (sdo->seal && sdo->seal->sdosignature) return sdo->seal->sdosignature->element.get();
  return ctx.lastnode != nullptr ? ctx.lastnode->element.get() : nullptr;
}

template <typename Record>
Record* renew(std::unique_ptr<Record>& field) {
  field = std::make_unique<Record>();
  return field.get();
}

// False when the element is unknown or lacks the records it fills.
bool seidmaintainParseStruct(seidparsecontext& ctx, const XML_Char* name, const XML_Char** attrs) {
  ctx.target = nullptr;
  const tag* t = findtag(kTags, name);
  if (t == nullptr) return false;
  seidsdo* sdo = ctx.lastsdo;
  cmssignatureelement* e = getLastCMSSignatureElem(ctx);
  signaturepolicyid* policyid =
      e && e->signaturepolicyidentifier ? e->signaturepolicyidentifier->signaturepolicyid.get() : nullptr;
  revocationvalues* revocation =
      e && e->usercertificateandrevocationdata ? e->usercertificateandrevocationdata->revocationvalues.get() : nullptr;
  const bool attribute = attrs[0] != nullptr;
  switch (*t) {
    case tag::SDOList:
      ctx.root->first.reset();
      ctx.lastsdo = nullptr;
      ctx.lastnode = nullptr;
      ctx.lastpair = nullptr;
      return true;
    case tag::SDO:
      ctx.lastsdo = renew(sdo != nullptr ? sdo->next : ctx.root->first);
      ctx.lastnode = nullptr;
      ctx.lastpair = nullptr;
      return true;
    case tag::SEIDSDOVersion:
      if (sdo == nullptr) return false;
      ctx.target = &sdo->version;
      return true;
    case tag::SDODataPart:
      if (sdo == nullptr) return false;
      renew(sdo->datapart);
      ctx.lastnode = nullptr;
      return true;
    case tag::SignatureElement:
      // After the seal's SDOSignature the elements below would fill the
      // seal, so this node could never be completed.
      if (sdo == nullptr || !sdo->datapart || (sdo->seal && sdo->seal->sdosignature)) return false;
      ctx.lastnode = renew(ctx.lastnode != nullptr ? ctx.lastnode->next : sdo->datapart->first);
      return true;
    case tag::CMSSignatureElement:
      if (sdo == nullptr) return false;
      if (sdo->seal && sdo->seal->sdosignature)
        renew(sdo->seal->sdosignature->element);
      else if (ctx.lastnode != nullptr)
        renew(ctx.lastnode->element);
      else
        return false;
      return true;
    case tag::SDOProfile:
      if (e == nullptr) return false;
      ctx.target = &e->sdoprofile;
      return true;
    case tag::SignaturePolicyIdentifier:
      if (e == nullptr) return false;
      renew(e->signaturepolicyidentifier);
      return true;
    case tag::SignaturePolicyId:
      if (e == nullptr || !e->signaturepolicyidentifier) return false;
      renew(e->signaturepolicyidentifier->signaturepolicyid);
      return true;
    case tag::SigPolicyId:
      if (policyid == nullptr) return false;
      renew(policyid->sigpolicyid);
      return true;
    case tag::Identifier:
    case tag::XAdESIdentifier: {
      if (policyid == nullptr || !policyid->sigpolicyid) return false;
      if (attribute)
        policyid->sigpolicyid->identifier = attrs[1];
      else
        ctx.target = &policyid->sigpolicyid->identifier;
      // The seal is written compliant whatever form its data part takes, so
      // the data part's identifiers alone name the flavour (kept in the
      // first SDO); they must agree, as a seal covers its data part in one
      // form and the writer writes it in one.
      if (sdo->seal && sdo->seal->sdosignature) return true;
      const int32_t form = attribute ? kSdoQualifier : *t == tag::Identifier ? kSdoPlain : kSdoCompliant;
      if (ctx.form && *ctx.form != form) {
        ctx.mixed = true;
        return false;
      }
      ctx.form = form;
      ctx.root->first->flavour = form;
      return true;
    }
    case tag::SignersDocumentFormat:
      if (e == nullptr) return false;
      renew(e->signersdocumentformat);
      return true;
    case tag::MimeType:
      if (e == nullptr || !e->signersdocumentformat) return false;
      ctx.target = &e->signersdocumentformat->mimetype;
      return true;
    case tag::HashedData:
      if (e == nullptr) return false;
      renew(e->hasheddata);
      return true;
    case tag::DigestMethod:
      if (!attribute || e == nullptr || !e->hasheddata) return false;
      e->hasheddata->digestmethod = attrs[1];
      return true;
    case tag::DigestValue:
      if (e == nullptr || !e->hasheddata) return false;
      ctx.target = &e->hasheddata->digestvalue;
      return true;
    case tag::CMSSignature:
      if (e == nullptr) return false;
      ctx.target = &e->cmssignature;
      return true;
    case tag::UserCertificateAndRevocationData:
      if (e == nullptr) return false;
      renew(e->usercertificateandrevocationdata);
      return true;
    case tag::RevocationValues:
      if (e == nullptr || !e->usercertificateandrevocationdata) return false;
      renew(e->usercertificateandrevocationdata->revocationvalues);
      return true;
    case tag::OCSPValues:
      if (revocation == nullptr) return false;
      renew(revocation->ocspvalues);
      return true;
    case tag::EncapsulatedOCSPValue:
      if (revocation == nullptr || !revocation->ocspvalues) return false;
      ctx.target = &revocation->ocspvalues->encapsulatedocspvalue;
      return true;
    case tag::SDOSeal:
      if (sdo == nullptr) return false;
      renew(sdo->seal);
      return true;
    case tag::SDOSignature:
      if (sdo == nullptr || !sdo->seal) return false;
      renew(sdo->seal->sdosignature);
      return true;
    case tag::SignedObject:
      if (sdo == nullptr) return false;
      renew(sdo->signedobject);
      return true;
    case tag::SignersDocument:
      if (sdo == nullptr || !sdo->signedobject) return false;
      ctx.target = &sdo->signedobject->signersdocument;
      return true;
    case tag::Metadata:
      if (sdo == nullptr) return false;
      renew(sdo->metadata);
      ctx.lastpair = nullptr;
      return true;
    case tag::ValuePair:
      if (sdo == nullptr || !sdo->metadata) return false;
      ctx.lastpair = renew(ctx.lastpair != nullptr ? ctx.lastpair->next : sdo->metadata->first);
      return true;
    case tag::Description:
    case tag::Name:
    case tag::Value:
      if (sdo == nullptr || !sdo->metadata || ctx.lastpair == nullptr) return false;
      ctx.target = *t == tag::Description ? &ctx.lastpair->description
                   : *t == tag::Name      ? &ctx.lastpair->name
                                          : &ctx.lastpair->value;
      // A pair's texts are written only when present, so an empty one is
      // kept present: the pair then writes again as it was read.
      if (!*ctx.target) ctx.target->emplace();
      return true;
  }
  return false;
}

// No exception may cross Expat's frames: running out of memory stops the
// parse instead.
void XMLCALL seidstartElement(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto& ctx = *static_cast<seidparsecontext*>(data);
  if (ctx.stopped != 0) return;
  if (++ctx.depth > kMaxDepth) return stop(ctx, kSdoXmlNotSdo);
  if (ctx.failed != 0) return;
  try {
    if (!seidmaintainParseStruct(ctx, name, attrs)) ctx.failed = 1;
  } catch (...) {
    stop(ctx, kOutOfMemory);
  }
}

void XMLCALL seidendElement(void* data, const XML_Char*) {
  auto& ctx = *static_cast<seidparsecontext*>(data);
  --ctx.depth;
  ctx.target = nullptr;
}

void XMLCALL seidhandleData(void* data, const XML_Char* s, int length) {
  auto& ctx = *static_cast<seidparsecontext*>(data);
  if (ctx.target == nullptr || ctx.failed != 0 || ctx.stopped != 0) return;
  try {
    if (!*ctx.target) ctx.target->emplace();
    appendcharacterdata(**ctx.target, ctx.parser, ctx.xml, s, length);
  } catch (...) {
    stop(ctx, kOutOfMemory);
  }
}

// SEID SDO XML has no document type; refusing it here also keeps entity
// declarations, and so any expansion, out.
void XMLCALL seidstartDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  stop(*static_cast<seidparsecontext*>(data), kSdoXmlNotSdo);
}

}  // namespace

int xmltoseidsdo(int session, std::string_view xml, std::unique_ptr<seidsdocell>& out, int anyflavour) {
  out.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (anyflavour == 0 && xml.find("XAdES:OCSPValues") == std::string_view::npos) {
    setlasterror(session,
                 "xmltoseidsdo_xmltoseidsdo: The SDO must be converted to the compliant format using "
                 "ZMR_SDOExtractSignatures/ZMR_CreateDynamicSDO.\n");
    return kSdoXmlFormat;
  }
  constexpr std::string_view kParseError = "xmltoseidsdo_xmltoseidsdo: Error parsing SEID SDO XML.\n";
  // Expat takes the length as an int.
  if (xml.size() > static_cast<size_t>(INT_MAX)) {
    setlasterror(session, kParseError);
    return kSdoXmlParse;
  }
  ExpatParserPtr parser(XML_ParserCreate(nullptr));
  if (!parser) return kOutOfMemory;
  auto cell = std::make_unique<seidsdocell>();
  seidparsecontext ctx;
  ctx.root = cell.get();
  ctx.parser = parser.get();
  XML_SetUserData(parser.get(), &ctx);
  XML_SetElementHandler(parser.get(), seidstartElement, seidendElement);
  XML_SetCharacterDataHandler(parser.get(), seidhandleData);
  XML_SetStartDoctypeDeclHandler(parser.get(), seidstartDoctype);
  ctx.xml = xml;
  const XML_Status status = parseinpieces(parser.get(), xml, ctx.stopped);
  int rc = 0;
  if (ctx.stopped != 0)
    rc = ctx.stopped;
  else if (status != XML_STATUS_OK)
    rc = XML_GetErrorCode(parser.get()) == XML_ERROR_NO_MEMORY ? kOutOfMemory : kSdoXmlParse;
  else if (ctx.failed != 0)
    rc = kSdoXmlNotSdo;
  if (rc == kSdoXmlParse) setlasterror(session, kParseError);
  if (rc == kSdoXmlNotSdo)
    setlasterror(session, ctx.mixed ? "xmltoseidsdo_xmltoseidsdo: The identifiers of the SDO data part mix XML forms.\n"
                                    : "xmltoseidsdo_xmltoseidsdo: The XML is not SEID SDO XML.\n");
  if (rc != kOk) return rc;
  out = std::move(cell);
  return 0;
}

}  // namespace zmr
