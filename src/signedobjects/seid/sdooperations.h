// The operations on whole signed data objects behind the exported SDO
// functions: building an SDO from signatures, adding the document and
// further signatures, sealing, writing, listing signers, and taking SDO
// XML apart. Each checks its session and clears the calling thread's
// recent error on entry; trees and lists belong to the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"
#include "zmr/zmr.h"

namespace zmr {

// The Latin-1 description as UTF-8 (the writer escapes it); 33002 with a
// line when it holds a control character XML cannot carry. Does not clear
// the recent error.
int convertDataDescription(int session, std::string_view description, std::string& out);

// The four texts of a classic SDO: the end user's and the merchant's
// signatures and OCSP answers (base64, line breaks allowed).
struct ClassicSdoSignatures {
  std::string_view userpkcs7;
  std::string_view merchantpkcs7;
  std::string_view userocsp;
  std::string_view merchantocsp;
};

// Without a list: the classic SDO (end user's and merchant's elements,
// sealed by the merchant, validated in mode 0); out is set only when it
// validates. With a list: one element per entry, unsealed and not
// validated. data is the base64 document, description Latin-1. A
// description or mime type XML cannot carry gives 33002 with a line.
int createsdo(int session, std::unique_ptr<seidsdocell>& out, std::string_view data, std::string_view mimetype,
              std::string_view description, const ClassicSdoSignatures& classic, const ::signatures* list);

// Replaces the signed object by one holding the data. 26001 when the
// handle holds no SDO; 33002 with a line, the SDO unchanged, for data XML
// cannot carry. An empty text is kept, and counts as no document.
int sdoadddata(int session, seidsdocell* handle, std::string_view data);

// Appends one element per entry, removes the seal and validates the result
// as unsealed (mode 1). A failure before the elements are appended leaves
// the SDO unchanged; 31001 without a document (neither data nor a kept
// one, an empty text counting as none).
int sdoaddsignature(int session, seidsdocell* handle, const ::signatures* list, std::optional<std::string_view> data);

// Seals with the merchant's signing key over the data part in the compliant
// form and validates the sealed SDO (mode 1). The SDO is changed only when
// the new seal is complete: then it stays, whatever the validation finds.
int sdoseal(int session, seidsdocell* handle, std::string_view merchantocsp, std::optional<std::string_view> data);

// The SDO as XML in its own flavour.
int sdotoxml(int session, const seidsdocell* handle, std::string& out);
// The same into the room take(size) gives, left in out whatever the result
// (the caller's to free): a long document is written once, straight into
// the caller's copy.
int sdotoxml(int session, const seidsdocell* handle, char* (*take)(size_t size), char*& out);

// getsigners' text for the data part's signatures (the seal's not listed).
int seidsdogetsigners(int session, const seidsdocell* handle, std::optional<std::string>& out);
// The same for compliant SDO XML.
int seidsdoxmlgetsigners(int session, std::string_view xml, std::optional<std::string>& out);

// What sdoxmlextractsignatures takes out of SDO XML of any flavour.
struct ExtractedSdo {
  std::optional<std::string> document;                          // the signed object's, when kept
  std::string mimetype;                                         // the first element's
  std::optional<std::string> description;                       // "MerchantDesc", Latin-1
  std::vector<std::pair<std::string, std::string>> signatures;  // PKCS#7 and OCSP, in order
};
int sdoxmlextractsignatures(int session, std::string_view xml, ExtractedSdo& out);

// ---- shared by createsdo and sdoseal ----

// The merchant's seal signature (signing key, no nonce, always with
// signingTime) over the data part's compliant text, and the SHA-1 and
// SHA-256 of that text; lines name the failing step.
struct SealSignature {
  std::string pkcs7, sha1, sha256;
};
struct SealLines {
  const char* signable;
  const char* sign;
  const char* encode;
};
int signdatapart(const Session& s, const seidsdodatapart& datapart, const SealLines& lines, SealSignature& out);

}  // namespace zmr
