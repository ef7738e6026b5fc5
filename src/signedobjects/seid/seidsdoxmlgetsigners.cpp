#include "services/entry.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

// On failure the tree goes first: its release takes the recent error, as
// every operation does, and the failure's line is to stay.
int seidsdoxmlgetsigners(int session, std::string_view xml, std::optional<std::string>& out) {
  out.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  std::unique_ptr<seidsdocell> tree;
  if (int rc = xmltoseidsdo(session, xml, tree, 0); rc != kOk) {
    seidsdofree(session, tree.release());
    return fail(rc, "seidsdoxmlgetsigners_seidsdoxmlgetsigners: Error parsing the SEIDSDO.\n");
  }
  if (int rc = seidsdogetsigners(session, tree.get(), out); rc != kOk) {
    seidsdofree(session, tree.release());
    return fail(rc, "seidsdoxmlgetsigners_seidsdoxmlgetsigners: Error retrieving the name of the signers.\n");
  }
  return 0;
}

}  // namespace zmr
