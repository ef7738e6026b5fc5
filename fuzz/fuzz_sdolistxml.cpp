// The SDO-list XML reader on arbitrary text. Nothing may crash, leak or
// hand out a list on failure. An accepted list that the writer takes is
// written; that text must read back, and rewriting reaches a fixed point
// by the second rewrite (empty texts read back absent, so an element
// written for one alone is gone from the second). The signable text of
// each data part
// is found in the document as written.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "signedobjects/sdolist/sdolist.h"
#include "store/sessionstore.h"

namespace {

int session = -1;

std::string rewrite(const std::string& text) {
  std::unique_ptr<zmr::sdolist> list;
  if (zmr::xmltosdo(session, text, list) != 0 || !list) std::abort();
  std::string out;
  if (zmr::zmrsdo2xml(session, *list, out) != 0) std::abort();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::PendingSession opening;
  if (opening.open() != 0) std::abort();
  opening.publish();
  session = opening.number();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // A heap copy of exactly the text, so any over-read is caught.
  std::string text(reinterpret_cast<const char*>(data), size);
  auto list = std::make_unique<zmr::sdolist>();
  int rc = zmr::xmltosdo(session, text, list);
  if (rc != 0) {
    if (list || (rc != 1 && rc != 33001)) std::abort();
    return 0;
  }
  if (!list) std::abort();
  // The validator judges whatever the reader hands out (this session has
  // no trust store, so no signature passes).
  if (zmr::sdovalidate(session, list.get(), data[0] & 1) == 0) std::abort();
  std::string first;
  if (zmr::zmrsdo2xml(session, *list, first) != 0) return 0;
  for (const zmr::sdoelement* sdo = list->first.get(); sdo != nullptr; sdo = sdo->nextsdoelement.get()) {
    if (!sdo->sdodatapart) continue;
    std::string signable;
    if (zmr::sdodataparttosignable(session, *sdo->sdodatapart, signable) != 0 ||
        first.find(signable) == std::string::npos)
      std::abort();
  }
  std::string second = rewrite(first);
  if (rewrite(second) != second) std::abort();
  return 0;
}
