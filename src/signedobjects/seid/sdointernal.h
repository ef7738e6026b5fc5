// Pieces shared by the SDO operations inside this area.
#pragma once

#include <openssl/pkcs7.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "misc/status.h"
#include "signedobjects/textroom.h"
#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

// The CMS signature element both element constructors build; invalidline
// is what a PKCS#7 without signing time or an unreadable OCSP answer
// appends with 12012.
int buildcmssignatureelement(int session, std::string_view pkcs7, std::string_view ocsp,
                             std::optional<std::string_view> sha1digest, std::string_view sha256digest,
                             std::optional<std::string_view> mimetype, std::string_view invalidline,
                             std::unique_ptr<cmssignatureelement>& out);

// The checks of an OCSP answer kept beside a signature, from its DER on:
// it must be a BasicOCSPResponse filling the bytes exactly (20018) whose
// first single response (20021; later ones are not looked at) is good
// (20022) and names, in its CertID, the first signer of the base64 PKCS#7
// cmssignature (the decoder's code, 20023, getpkcs7signercert's 12001): the
// same serial as a whole integer (20025) and the SHA-1 of the signer's
// issuer name, compared by length and bytes (20026; the CertID's own hash
// algorithm is not looked at). Then verifyocspresponse about that signer,
// judged at producedAt, its responder chained through the trust store
// alone (its codes: 13023, 13031, 6001, 13033, ...). 20019, 20020 and 20024
// guard what OpenSSL's parser already ensures. Each failure writes one line
// "<prefix>..." (prefix "seidsdovalidate_validateocsp: " or
// "sdovalidate_validateocsp: "), except that of verifyocspresponse, which is
// "seidsdovalidate_validateocsp: ..." after its own for either caller; the
// line closing the failure is the caller's. hashdata runs inside, so the
// recent error held before the call is discarded.
int validateocspvalue(const Session& s, const unsigned char* der, size_t length, std::string_view cmssignature,
                      std::string_view prefix);
// The same with parsed, when given, the PKCS#7 of cmssignature as its
// caller decoded it already (the text is then not decoded again).
int validateocspvalue(const Session& s, const unsigned char* der, size_t length, std::string_view cmssignature,
                      std::string_view prefix, PKCS7* parsed);

// The position of the first character in text that XML 1.0 cannot carry
// (a control character other than tab, LF and CR, bytes that are not
// UTF-8, surrogates and overlong forms among them, U+FFFE, U+FFFF), or npos.
size_t findnonxml(std::string_view text);
inline bool isxmltext(std::string_view text) { return findnonxml(text) == std::string_view::npos; }

// Where the XML writers put their pieces: only counted (out and at null),
// or appended to out, or written from at on, within the room counted
// beforehand (terminator included), a piece going in only when it is
// shorter than the room left. A text XML cannot carry is written all the
// same, and the name of its field kept in refused (the first one met): the
// writer then hands out nothing. check off skips that test, for a second
// pass over texts already tested.
struct xmlsink {
  std::string* out = nullptr;
  size_t room = 0;
  size_t length = 0;  // characters put
  bool overflow = false;
  bool check = true;
  std::string_view refused{};
  char* at = nullptr;

  void markup(std::string_view piece) {
    length += piece.size();
    if (out == nullptr && at == nullptr) return;
    if (piece.size() >= room) {
      overflow = true;
      return;
    }
    if (at != nullptr) {
      if (!piece.empty()) std::memcpy(at, piece.data(), piece.size());
      at += piece.size();
    } else {
      out->append(piece);
    }
    room -= piece.size();
  }
  // A text with the five markup characters and CR escaped, so that it
  // reads back as it was; nothing when absent. field names it should it
  // hold what XML cannot carry.
  void text(const sdotext* t, std::string_view field) { escaped(t, field, false); }
  // An attribute value: tab and LF escaped too, which a reader would turn
  // into blanks.
  void attribute(const sdotext* t, std::string_view field) { escaped(t, field, true); }

 private:
  void escaped(const sdotext* t, std::string_view field, bool attribute);
};

// The line of a writer that met a text XML cannot carry (33002).
inline std::string refusedtextline(std::string_view prefix, std::string_view field) {
  return std::string(prefix) + ": The " + std::string(field) + " text holds characters XML 1.0 cannot carry.\n";
}

// The writers of the document's parts, in the flavour's forms.
void seiddataparttoxml(xmlsink& sink, const seidsdodatapart& datapart, int32_t flavour);
void seidsdosealtoxml(xmlsink& sink, const seidsdoseal& seal);
void seidsdometadatatoxml(xmlsink& sink, const metadata& metadata);

// Where a text enters a tree: 0, or 33002 with refusedtextline when it is
// given and XML cannot carry it.
inline int checkxmltext(int session, std::optional<std::string_view> text, std::string_view prefix,
                        std::string_view field) {
  if (!text || isxmltext(*text)) return 0;
  setlasterror(session, refusedtextline(prefix, field));
  return kBadArgument;
}

// Runs write (a callable taking an xmlsink&) twice: once to count, once
// into sink, pointed at room of that size by place (a callable taking the
// count and the sink: 0 or 33001). 0, 33001, 33002 for a text XML cannot
// carry (a tree not built through the operations, which refuse such texts
// where they enter), or 18001 should the second run outgrow the first.
template <typename Place, typename Write>
int writexmlinroom(int session, xmlsink& sink, Place&& place, Write&& write) {
  xmlsink count;
  write(count);
  if (!count.refused.empty()) {
    setlasterror(session, refusedtextline("seidsdotools_zmrseidsdotoxml", count.refused));
    return kBadArgument;
  }
  sink.room = count.length + 1;
  sink.check = false;
  if (int rc = place(count.length, sink); rc != 0) return rc;
  write(sink);
  if (sink.overflow) {
    setlasterror(session, "seidsdotools_zmrseidsdotoxml: The SEID SDO xml is too large to fit in internal buffers.\n");
    return kSdoTooLarge;
  }
  return 0;
}

// writexmlinroom into a text allocated at the size counted, moved to out.
template <typename Write>
int writexml(int session, std::string& out, Write&& write) {
  std::string text;
  auto place = [&](size_t length, xmlsink& sink) {
    try {
      text.reserve(length);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    mapreserved(text);
    sink.out = &text;
    return 0;
  };
  xmlsink sink;
  if (int rc = writexmlinroom(session, sink, place, write); rc != 0) return rc;
  out = std::move(text);
  return 0;
}

// writexmlinroom into the room take(size) gives (size bytes, the count and
// a terminator; null when it has none), left in out whatever the result:
// the caller's to free. A long document is then written once, straight
// where its reader takes it.
template <typename Write>
int writexmlinto(int session, char* (*take)(size_t size), char*& out, Write&& write) {
  out = nullptr;
  auto place = [&](size_t length, xmlsink& sink) {
    out = take(length + 1);
    if (out == nullptr) return kOutOfMemory;
    mapreserved(out, length + 1);
    sink.at = out;
    return 0;
  };
  xmlsink sink;
  if (int rc = writexmlinroom(session, sink, place, write); rc != 0) return rc;
  *sink.at = '\0';
  return 0;
}

// The one rule for "holds a document", in the operations and validation
// alike: an empty text is none, as it reads back from XML.
inline std::optional<std::string_view> givendocument(std::optional<std::string_view> data) {
  if (data && data->empty()) return std::nullopt;
  return data;
}
inline const std::string* keptdocument(const seidsdo& sdo) {
  if (!sdo.signedobject || !sdo.signedobject->signersdocument || sdo.signedobject->signersdocument->empty())
    return nullptr;
  return &*sdo.signedobject->signersdocument;
}

// The session check of the two release operations: 0, or 2009 for a
// session that is not open; an open session's recent error is cleared.
// They release what they are given either way: an application that closes
// its session first must still be able to let go of its trees and lists.
inline int releasecheck(int session) {
  int rc = checksessionvalidity(session);
  if (rc == kOk) {
    std::optional<std::string> discarded;
    getlasterror(session, discarded);
  }
  return rc;
}

}  // namespace zmr
