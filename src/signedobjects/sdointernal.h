// Pieces shared by the SDO operations inside this area.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "misc/status.h"
#include "signedobjects/seidsdo.h"
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

// Where the XML writers put their pieces: only counted (out null), or
// appended to out within the room counted beforehand (terminator
// included), a piece going in only when it is shorter than the room left.
struct xmlsink {
  std::string* out = nullptr;
  size_t room = 0;
  size_t length = 0;  // characters put
  bool overflow = false;

  void markup(std::string_view piece) {
    length += piece.size();
    if (out == nullptr) return;
    if (piece.size() >= room) {
      overflow = true;
      return;
    }
    out->append(piece);
    room -= piece.size();
  }
  // A text with the five markup characters escaped; nothing when absent.
  void text(const sdotext* t);
};

// The writers of the document's parts, in the flavour's forms.
void seiddataparttoxml(xmlsink& sink, const seidsdodatapart& datapart, int32_t flavour);
void seidsdosealtoxml(xmlsink& sink, const seidsdoseal& seal);
void seidsdometadatatoxml(xmlsink& sink, const metadata& metadata);

// Runs write (a callable taking an xmlsink&) twice: once to count, once
// into a text allocated at that size. 0, 33001, or 18001 should the second
// run outgrow the first.
template <typename Write>
int writexml(int session, std::string& out, Write&& write) {
  xmlsink count;
  write(count);
  std::string text;
  try {
    text.reserve(count.length);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  xmlsink sink{&text, count.length + 1};
  write(sink);
  if (sink.overflow) {
    setlasterror(session,
                 "seidsdotools_zmrseidsdotoxml: The SEID SDO xml is too large to fit in internal buffers.\n");
    return 18001;
  }
  out = std::move(text);
  return 0;
}

// The session check of the two release operations: 0, or 2009 for a
// session that is not open; an open session's recent error is cleared.
// They release what they are given either way: an application that closes
// its session first must still be able to let go of its trees and lists.
inline int releasecheck(int session) {
  int rc = checksessionvalidity(session);
  if (rc == 0) {
    std::optional<std::string> discarded;
    getlasterror(session, discarded);
  }
  return rc;
}

}  // namespace zmr
