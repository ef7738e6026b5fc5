// The older SDO list in memory: one data part over a digest of the stored
// document with its signature elements (the end user's and the
// merchant's), one SDO signature over the data part's XML text, metadata,
// and optionally the stored document itself; its XML writer and reader,
// release and validator. Nothing outside this area calls them.
//
// Texts are absent (nullopt) or present, as in the SEID tree; bytes are
// held decoded and their count is their size. Lists (SDOs, signature
// elements, pairs) are freed node by node without recursion. A tree
// belongs to whoever holds its cell; no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signedobjects/seid/seidsdo.h"

namespace zmr {

using sdobytes = std::optional<std::vector<unsigned char>>;

inline constexpr std::string_view kSdoListVersion = "1.0";
inline constexpr std::string_view kSdoListPolicy = "2.999.10.1.16.4.1";
// The signable text of a data part, terminator included, may not need
// more room than this.
inline constexpr size_t kMaxSignableDataPart = 40000;
// How much later than the second element's OCSP answer the first one's may
// have been produced.
inline constexpr int64_t kMaxOcspTimeGapSeconds = 3600;

struct sigelement {
  sdotext szdatetime;       // "YYYY-MM-DDTHH:MM:SS": only on the merchant's element
  sdotext signature;        // base64 PKCS#7
  sdobytes szocspresponse;  // DER BasicOCSPResponse
  sdotext timestampauthority;
  std::unique_ptr<sigelement> next;
  ~sigelement() { droplist(next); }
};

struct sdodatapart {
  sdotext szpolicy;
  sdobytes szhasheddata;  // the digest of the stored document
  sdotext szdatatype;
  std::unique_ptr<sigelement> siglist;
};

struct namevaluepair {
  sdotext name;
  sdotext value;
  std::unique_ptr<namevaluepair> next;
  ~namevaluepair() { droplist(next); }
};

struct sdometadata {
  sdotext keywords;
  sdotext description;
  std::unique_ptr<namevaluepair> attributes;
};

struct sdoelement {
  sdotext szzmr_sdoversion;
  std::unique_ptr<zmr::sdodatapart> sdodatapart;
  sdotext szsdosignature;  // base64 PKCS#7 over the data part's signable text
  std::unique_ptr<sdometadata> metadata;
  sdotext locationurl;
  sdobytes storeddata;  // the signed document
  std::unique_ptr<sdoelement> nextsdoelement;
  ~sdoelement() {
    while (nextsdoelement) nextsdoelement = std::move(nextsdoelement->nextsdoelement);
  }
};

// The cell the caller holds: the first SDO of the list.
struct sdolist {
  std::unique_ptr<sdoelement> first;
};

// ---- constructors ----
//
// They copy what they are given and take over the records passed in; 0,
// 33001, or 33002 for a text XML cannot carry (with a line naming its
// element); out is untouched on failure. No session check and no clearing
// of the recent error: the session number only addresses the line.

// Version "1.0"; no metadata, location, stored data or next.
int createsdoelement(int session, std::optional<std::string_view> signature, std::unique_ptr<sdodatapart> datapart,
                     std::unique_ptr<sdoelement>& out);
// Policy "2.999.10.1.16.4.1".
int createsdodatapart(int session, std::optional<std::string_view> digest, std::optional<std::string_view> datatype,
                      std::unique_ptr<sigelement> siglist, std::unique_ptr<sdodatapart>& out);
// No timestamp authority, no next.
int createsdosignatureelement(int session, std::optional<std::string_view> signature,
                              std::optional<std::string_view> ocsp, std::optional<std::string_view> datetime,
                              std::unique_ptr<sigelement>& out);
int createsdofinished(std::unique_ptr<sdoelement> first, std::unique_ptr<sdolist>& out);

// ---- XML ----

// The SDO list as one line of XML, every text escaped (CR as a character
// reference, so that it reads back), bytes in base64 (stored data and OCSP
// answers only when they hold at least one byte). 0, 33001, the base64
// encoder's code for a digest that is absent or empty (21001), 18001 for a
// data part whose signable text would need more than kMaxSignableDataPart
// bytes, 33002 for a text XML cannot carry (with a line naming its
// element). The session number only addresses the recent error.
int zmrsdo2xml(int session, const sdolist& list, std::string& out);
// The SDODataPart element exactly as zmrsdo2xml writes it: what the SDO
// signature covers. The same codes.
int sdodataparttosignable(int session, const sdodatapart& datapart, std::string& out);

// Reads SDO-list XML into a new list. 0; 1 for text that is not
// well-formed, holds a document type, nests deeper than any SDO or is
// 2^31 bytes or more, or for an element whose parent record is missing;
// 33001; 2009. Unknown names are ignored. A base64 text that does not
// decode leaves its field absent and appends a line. On failure out is
// null.
int xmltosdo(int session, std::string_view xml, std::unique_ptr<sdolist>& out);

// ---- release ----

// Releases the list whatever the session's state; 2009 for a session that
// is not open, whose recent error is left alone.
int sdofree(int session, sdolist* list);

// ---- validation ----

// 0 when the list holds one complete SDO of the supported policy whose
// SDO signature verifies over its data part, whose two signature elements
// verify (the merchant's over the digest followed by its date-time, the
// end user's over the digest as a digest), each with a good OCSP answer
// about its signer, and whose answers were produced within
// kMaxOcspTimeGapSeconds; with datacheck non-zero the stored document must
// have the data part's SHA-1 digest. Codes 20001-20029, those of
// verifydata, hashdata, the signing-time check and the OCSP checks, 2009.
int sdovalidate(int session, const sdolist* list, int datacheck);

}  // namespace zmr
