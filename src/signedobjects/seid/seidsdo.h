// SEID signed data objects in memory: the record tree that mirrors SEID SDO
// XML element by element, its constructors, its completeness check, and the
// XML writer and reader.
//
// Every record is named after its XML element; an element that only wraps
// one child is a record with one pointer. A text is absent (nullopt) or
// present, and an empty text is present: the checker refuses only absent
// ones, and the reader leaves a text absent when its element held no
// character data (but for a metadata pair's, whose elements are written
// only for present texts). Texts hold plain characters; the writer escapes
// them.
//
// A tree belongs to whoever holds its cell. Lists (SDOs, data-part
// elements, metadata pairs) are freed node by node without recursion, so a
// list of any length can be dropped. No lock: a tree is used by one thread
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zmr/zmr.h"

namespace zmr {

struct Session;

using sdotext = std::optional<std::string>;

// The XML forms an SDO is written in.
inline constexpr int32_t kSdoCompliant = -1;  // "XAdES:" and "ds:" prefixes
inline constexpr int32_t kSdoPlain = 0;       // no prefixes
inline constexpr int32_t kSdoQualifier = 1;   // plain, policy in a Qualifier attribute

// Drops a singly linked list from its head, one node at a time. Every list
// node's destructor drops the rest of its list this way.
template <typename Node>
void droplist(std::unique_ptr<Node>& head) {
  while (head) head = std::move(head->next);
}

struct sigpolicyid {
  sdotext identifier;
};
struct signaturepolicyid {
  std::unique_ptr<zmr::sigpolicyid> sigpolicyid;
};
struct signaturepolicyidentifier {
  std::unique_ptr<zmr::signaturepolicyid> signaturepolicyid;
};
struct signersdocumentformat {
  sdotext mimetype;
};
struct hasheddata {
  sdotext digestmethod;
  sdotext digestvalue;
};
struct ocspvalues {
  sdotext encapsulatedocspvalue;
};
struct revocationvalues {
  std::unique_ptr<zmr::ocspvalues> ocspvalues;
};
struct usercertificateandrevocationdata {
  std::unique_ptr<zmr::revocationvalues> revocationvalues;
};

struct cmssignatureelement {
  sdotext sdoprofile;
  std::unique_ptr<zmr::signaturepolicyidentifier> signaturepolicyidentifier;
  std::unique_ptr<zmr::signersdocumentformat> signersdocumentformat;
  std::unique_ptr<zmr::hasheddata> hasheddata;
  sdotext cmssignature;
  std::unique_ptr<zmr::usercertificateandrevocationdata> usercertificateandrevocationdata;
};

// One node of the data part's list, in signature order.
struct signatureelement {
  std::unique_ptr<cmssignatureelement> element;
  std::unique_ptr<signatureelement> next;
  ~signatureelement() { droplist(next); }
};

struct seidsdodatapart {
  std::unique_ptr<signatureelement> first;
};

struct sdosignature {
  std::unique_ptr<cmssignatureelement> element;
};
struct seidsdoseal {
  std::unique_ptr<zmr::sdosignature> sdosignature;
};

struct valuepair {
  sdotext name;
  sdotext value;
  sdotext description;
  std::unique_ptr<valuepair> next;
  ~valuepair() { droplist(next); }
};

struct metadata {
  std::unique_ptr<valuepair> first;
};

struct signedobject {
  sdotext signersdocument;  // the signed document in base64
};

struct seidsdo {
  sdotext version;
  std::unique_ptr<seidsdodatapart> datapart;
  std::unique_ptr<seidsdoseal> seal;  // null: not sealed
  std::unique_ptr<zmr::metadata> metadata;
  std::unique_ptr<zmr::signedobject> signedobject;  // null: the document is not kept
  std::unique_ptr<seidsdo> next;                    // further SDOs of one SDOList
  int32_t flavour = kSdoCompliant;
  ~seidsdo() { droplist(next); }
};

// The texts at the ends of an element's one-pointer chains; null where a
// record on the way is missing.
inline const sdotext* identifierof(const cmssignatureelement& e) {
  const auto* id = e.signaturepolicyidentifier ? e.signaturepolicyidentifier->signaturepolicyid.get() : nullptr;
  return id && id->sigpolicyid ? &id->sigpolicyid->identifier : nullptr;
}
inline const sdotext* mimetypeof(const cmssignatureelement& e) {
  return e.signersdocumentformat ? &e.signersdocumentformat->mimetype : nullptr;
}
inline const sdotext* ocspvalueof(const cmssignatureelement& e) {
  const auto* values =
      e.usercertificateandrevocationdata ? e.usercertificateandrevocationdata->revocationvalues.get() : nullptr;
  return values && values->ocspvalues ? &values->ocspvalues->encapsulatedocspvalue : nullptr;
}

// The cell an SDO handle points to: the first SDO of the list.
struct seidsdocell {
  std::unique_ptr<seidsdo> first;
};

// ---- constructors ----
//
// They copy every text. They neither check the session nor clear the
// recent error; a failure appends its line and leaves out untouched.

// One CMS signature element from a signer's base64 PKCS#7 (which must carry
// a UTCTime signingTime on its first signer) and base64 DER
// BasicOCSPResponse (filling its bytes exactly). With a SHA-1 digest, the
// first signer's digest algorithm picks the digest kept: SHA-1 for SHA-1,
// else "SHA-256" with the SHA-256 digest; without one, the HashedData
// record holds two absent texts. 12012, the code of
// getpkcs7signerhashalgorithm (12001 for an unknown algorithm).
int createseidsdocmssignatureelement(int session, std::string_view pkcs7, std::string_view ocsp,
                                     std::optional<std::string_view> sha1digest, std::string_view sha256digest,
                                     std::optional<std::string_view> mimetype,
                                     std::unique_ptr<cmssignatureelement>& out);
// The same, as a list node of its own.
int createseidsdosignatureelement(int session, std::string_view pkcs7, std::string_view ocsp,
                                  std::optional<std::string_view> sha1digest, std::string_view sha256digest,
                                  std::optional<std::string_view> mimetype, std::unique_ptr<signatureelement>& out);
// A data part over the list starting at first (taken over).
int createseidsdodatapart(std::unique_ptr<signatureelement> first, std::unique_ptr<seidsdodatapart>& out);
// An SDO of version "1.0", flavour -1, over the data part (taken over, and
// freed on failure), with one metadata pair "MerchantDesc" holding the
// description. With both a seal PKCS#7 and a seal SHA-1 digest it is
// sealed: the seal's element carries the OCSP answer of the second
// data-part element (the merchant's) and "text/plain"; without a second
// element that answer is empty, so the seal fails with 12012.
int createseidsdoelement(int session, std::optional<std::string_view> sealpkcs7,
                         std::optional<std::string_view> sealsha1digest, std::string_view sealsha256digest,
                         std::string_view description, std::unique_ptr<seidsdodatapart> datapart,
                         std::unique_ptr<seidsdo>& out);

// ---- release ----
//
// Both release what they are given whatever the session's state (a tree
// must not outlive its session as a leak), and still report 2009 for a
// session that is not open. The recent error is cleared for an open one.
int seidsdofree(int session, seidsdocell* handle);
// A list of the exported interface, whose nodes and texts come from malloc.
int signaturesfree(int session, ::signatures* list);

// ---- completeness ----

// 0 when the handle holds exactly one SDO whose every record and text that
// the writer and the validator read is present; else the code of the first
// gap (18002-18042). Reads only; writes no recent error.
int seidsdonullandconstraintchecker(int session, const seidsdocell* handle);

// ---- XML writer ----
//
// One line, no whitespace between elements. Every text and attribute value
// is written with &, <, >, " and ' escaped, and CR as "&#13;"; attribute
// values also tab and LF as "&#9;" and "&#10;": every text reads back as it
// was. The seal is always written in the compliant forms. The tree must
// have passed the checker. A text XML cannot carry (see isxmltext) gives
// 33002 with a line naming its element, and no text.

// The whole document: 0, 33001, 33002, 18001.
int zmrseidsdo2xml(int session, const seidsdocell& handle, std::string& out, int32_t flavour);
// The same written into the room take(size) gives (null when it has none),
// left in out whatever the result, for the caller to free: the text is
// then written once, where its caller hands it on.
int zmrseidsdo2xml(int session, const seidsdocell& handle, char* (*take)(size_t size), char*& out, int32_t flavour);
// The SDODataPart element alone, the text a seal signs: 0, 33001, 33002.
int seidsdodataparttosignable(int session, const seidsdodatapart& datapart, std::string& out, int32_t flavour);
// Length of that text.
size_t get_signable_datapart_len(const seidsdodatapart& datapart, int32_t flavour);

// ---- XML reader ----

// Reads SEID SDO XML into a new tree. With anyflavour 0, text without
// "XAdES:OCSPValues" is refused (34003). 34001 not well-formed (or 2^31
// bytes or more), 34002 well-formed but not SEID SDO XML (unknown names,
// elements without the records they fill, a document type declaration,
// nesting deeper than any SDO, data-part identifiers of different forms),
// 33001, 2009. On failure out is null. The flavour, kept in the first SDO,
// is the form of the data part's identifiers (-1 when there is none); the
// seal's, always compliant, says nothing of it.
int xmltoseidsdo(int session, std::string_view xml, std::unique_ptr<seidsdocell>& out, int anyflavour);

// ---- validation ----
//
// Read the tree only. Each failure writes its line and returns its code;
// the codes of the checks called (verifydata, the signing-time check,
// verifyocspresponse, hashdata, the decoder) pass through.

// One element: with digestcheck non-zero, its CMS signature over its stored
// digest (verifydata: nonRepudiation, chain without dates); its signing
// time within the signer certificate's validity; its OCSP answer
// (validateocspvalue; 20016 when it has none); then digest method "SHA-1"
// or "SHA-256" (20033), policy "2.999.10.1.16.4.1" or
// "urn:oid:2.999.10.1.16.4.1" in any case (20033, looked at only when the
// element has a policy record), mime type "text/plain", "application/pdf"
// or "text/ZMRXML" (20034), profile "SEID-SDO-Basic-V" (20035).
int seidverifycmssigelement(const Session& s, const cmssignatureelement& element, int digestcheck);

// One SDO, the checks in this order: completeness (18002-18042), version
// "1.0" (20001), every data-part element, the document's digests (data,
// else the kept document), in mode 1 data against the kept document
// (20037) or neither given (20045), each element's digest against the
// document (20037), the count (mode 1 exactly, mode 2 at least, when count
// > 0: 20042), the seal rule (mode 0 and seal rule 0 require a seal: 20043;
// seal rule 1 in modes 1 and 2 forbids one: 20044), the seal's signature
// over the signable data part and its element, and in mode 0 with
// documentcheck non-zero the kept document against the first two elements,
// each by its own digest method (20039 none kept, 20041 differs, or fewer
// than two elements). An empty data text or kept document is none. Modes 0
// (classic), 1 (dynamic), 2 (simple); any other gives 33002. Clears the
// recent error on entry; the number form takes the session (2009).
int seidsdovalidate(int session, const seidsdocell* handle, int32_t documentcheck, std::optional<std::string_view> data,
                    int32_t count, int32_t sealrule, int32_t mode);
int seidsdovalidate(const Session& s, const seidsdocell* handle, int32_t documentcheck,
                    std::optional<std::string_view> data, int32_t count, int32_t sealrule, int32_t mode);

// SEID SDO XML (any flavour) read, validated and freed: sdoxmlvalidate in
// mode 0 with the caller's document check, simpleseidsdoxmlvalidate in
// mode 2 with at least minimum signatures; both require a seal. The
// reader's or the validator's code; after a failure the recent error holds
// the front end's one line alone.
int sdoxmlvalidate(int session, std::string_view xml, int32_t documentcheck);
int simpleseidsdoxmlvalidate(int session, std::string_view xml, int32_t minimum);

}  // namespace zmr
