#include <new>
#include <vector>

#include "misc/status.h"
#include "services/entry.h"
#include "services/verifying/verifyingops.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

int seidsdogetsigners(int session, const seidsdocell* handle, std::optional<std::string>& out) {
  out.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (int rc = seidsdonullandconstraintchecker(session, handle); rc != kOk) {
    setlasterror(session, "sdogetsigners_sdogetsigners: The SDO does not contain all mandatory parameters.\n");
    return rc;
  }
  // The listing reads the tree's own signature texts: only its nodes are
  // made here.
  std::vector<::signatures> nodes;
  try {
    for (const signatureelement* e = handle->first->datapart->first.get(); e != nullptr; e = e->next.get())
      nodes.push_back({const_cast<char*>(e->element->cmssignature->c_str()), nullptr, nullptr});
  } catch (const std::bad_alloc&) {
    setlasterror(session, "sdogetsigners_sdogetsigners: Error allocating memory.\n");
    return kOutOfMemory;
  }
  for (size_t i = 1; i < nodes.size(); ++i) nodes[i - 1].next = &nodes[i];
  if (int rc = getsigners(session, nodes.data(), out); rc != kOk) {
    setlasterror(session, "sdogetsigners_sdogetsigners: Error retrieving the name of the signers.\n");
    return rc;
  }
  return 0;
}

}  // namespace zmr
