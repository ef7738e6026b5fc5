#include "services/entry.h"
#include "signedobjects/seid/sdointernal.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

int xmlvalidate(int session, std::string_view xml, int32_t documentcheck, int32_t count, int32_t mode) {
  SessionRef s;
  if (int rc = enterservice(session, s); rc != kOk) return rc;
  std::unique_ptr<seidsdocell> tree;
  int rc = xmltoseidsdo(session, xml, tree, 1);
  std::string_view line =
      "sdoxmlvalidate_sdoxmlvalidate: An error occured parsing the seid sdo xml into an sdo structure.\n";
  if (rc == kOk) {
    rc = seidsdovalidate(*s, tree.get(), documentcheck, std::nullopt, count, 0, mode);
    line = "sdoxmlvalidate_sdoxmlvalidate: An error occured validating the seid sdo.\n";
  }
  // Freeing takes the recent error, so a failure leaves this line alone.
  int freed = seidsdofree(session, tree.release());
  if (rc == kOk) {
    if (freed != 0)
      setlasterror(session, "sdoxmlvalidate_sdoxmlvalidate: An error occured freeing the seid sdo structure.\n");
    return freed;
  }
  if (freed != 0) {
    setlasterror(session,
                 "sdoxmlvalidate_sdoxmlvalidate: An error occured trying to call seidsdofree after failing of "
                 "sdoxmlvalidate.\n");
    return freed;
  }
  setlasterror(session, line);
  return rc;
}

}  // namespace

int sdoxmlvalidate(int session, std::string_view xml, int32_t documentcheck) {
  return xmlvalidate(session, xml, documentcheck, 0, 0);
}

int simpleseidsdoxmlvalidate(int session, std::string_view xml, int32_t minimum) {
  return xmlvalidate(session, xml, 0, minimum, 2);
}

}  // namespace zmr
