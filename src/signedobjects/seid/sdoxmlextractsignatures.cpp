#include "services/entry.h"
#include "services/items/itemsops.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

int sdoxmlextractsignatures(int session, std::string_view xml, ExtractedSdo& out) {
  out = ExtractedSdo{};
  if (int rc = enterservice(session); rc != kOk) return rc;
  // Released on every path without taking the recent error: the lines
  // appended here stay.
  std::unique_ptr<seidsdocell> tree;
  if (int rc = xmltoseidsdo(session, xml, tree, 1); rc != kOk) return rc;
  if (int rc = seidsdonullandconstraintchecker(session, tree.get()); rc != kOk) {
    setlasterror(session, "seidsdotoxml_seidsdotoxml: The SDO does not contain all mandatory parameters.\n");
    return rc;
  }
  const seidsdo& sdo = *tree->first;
  ExtractedSdo taken;
  if (sdo.signedobject && sdo.signedobject->signersdocument) taken.document = *sdo.signedobject->signersdocument;
  const signatureelement* first = sdo.datapart->first.get();
  taken.mimetype = **mimetypeof(*first->element);

  // Third-party XML may carry pairs without a name, and the writer's empty
  // value reads back absent: an empty description then.
  for (const valuepair* pair = sdo.metadata ? sdo.metadata->first.get() : nullptr; pair != nullptr;
       pair = pair->next.get()) {
    if (!pair->name || *pair->name != "MerchantDesc") continue;
    std::string latin1;
    if (int rc = utf8tolatin1(session, pair->value ? std::string_view(*pair->value) : std::string_view(), latin1);
        rc != kOk) {
      setlasterror(session, "sdoxmlextractsignatures: Error converting datadescription to latin1");
      return rc;
    }
    taken.description = std::move(latin1);
    break;
  }

  for (const signatureelement* e = first; e != nullptr; e = e->next.get())
    taken.signatures.emplace_back(*e->element->cmssignature, **ocspvalueof(*e->element));
  out = std::move(taken);
  return 0;
}

}  // namespace zmr
