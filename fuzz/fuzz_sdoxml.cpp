// The SEID SDO XML reader on arbitrary text, the first byte choosing
// whether the compliant flavour is demanded. Nothing may crash, leak or
// hand out a tree on failure. An accepted tree that passes the checker is
// written; that text must read back, pass the checker and write again
// byte for byte (every text keeps its line ends and blanks, the flavour
// its form), into a text or into room the caller gives. Taking the
// text apart gives one pair per data-part element of a checked tree, and
// nothing otherwise.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "signedobjects/seid/sdooperations.h"
#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"

namespace {

int session = -1;

// Reads text (any flavour) and writes it again; false when it does not
// pass the checker.
bool rewrite(const std::string& text, std::string& out) {
  std::unique_ptr<zmr::seidsdocell> tree;
  if (zmr::xmltoseidsdo(session, text, tree, 1) != 0 || !tree) std::abort();
  if (zmr::seidsdonullandconstraintchecker(session, tree.get()) != 0) return false;
  if (zmr::zmrseidsdo2xml(session, *tree, out, tree->first->flavour) != 0) std::abort();
  return true;
}

char* mallocroom(size_t n) { return static_cast<char*>(std::malloc(n)); }

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
  int anyflavour = data[0] & 1;
  // A heap copy of exactly the text, so any over-read is caught.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto tree = std::make_unique<zmr::seidsdocell>();
  int rc = zmr::xmltoseidsdo(session, text, tree, anyflavour);
  if (rc != 0) {
    if (tree) std::abort();
    return 0;
  }
  if (!tree) std::abort();
  zmr::ExtractedSdo taken;
  int extracted = zmr::sdoxmlextractsignatures(session, text, taken);
  if (zmr::seidsdonullandconstraintchecker(session, tree.get()) != 0) {
    if (extracted == 0 || !taken.signatures.empty()) std::abort();
    return 0;
  }
  size_t elements = 0;
  for (const zmr::signatureelement* e = tree->first->datapart->first.get(); e != nullptr; e = e->next.get()) ++elements;
  if (extracted != 0 || taken.signatures.size() != elements) std::abort();
  std::string first, second;
  if (zmr::zmrseidsdo2xml(session, *tree, first, tree->first->flavour) != 0) std::abort();
  if (!rewrite(first, second) || second != first) std::abort();
  // Written into room the caller gives, the same bytes, terminated.
  char* room = nullptr;
  if (zmr::zmrseidsdo2xml(session, *tree, mallocroom, room, tree->first->flavour) != 0 ||
      std::string_view(room) != first)
    std::abort();
  std::free(room);
  std::string signable;
  const zmr::seidsdodatapart& datapart = *tree->first->datapart;
  if (zmr::seidsdodataparttosignable(session, datapart, signable, tree->first->flavour) != 0 ||
      first.find(signable) == std::string::npos)
    std::abort();
  return 0;
}
