#include "services/entry.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {

int sdotoxml(int session, const seidsdocell* handle, std::string& out) {
  out.clear();
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (int rc = seidsdonullandconstraintchecker(session, handle); rc != kOk) {
    setlasterror(session, "sdotoxml_sdotoxml: The SDO does not contain all mandatory parameters.\n");
    return rc;
  }
  if (int rc = zmrseidsdo2xml(session, *handle, out, handle->first->flavour); rc != kOk) {
    setlasterror(session, "sdotoxml_sdotoxml: An error occured trying to build the SDO xml structure.\n");
    return rc;
  }
  return 0;
}

}  // namespace zmr
