#include "services/entry.h"
#include "signedobjects/seid/sdooperations.h"

namespace zmr {
namespace {

// The checks and lines of both forms; write writes the document.
template <typename Write>
int checkedtoxml(int session, const seidsdocell* handle, Write&& write) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (int rc = seidsdonullandconstraintchecker(session, handle); rc != kOk) {
    setlasterror(session, "sdotoxml_sdotoxml: The SDO does not contain all mandatory parameters.\n");
    return rc;
  }
  if (int rc = write(); rc != kOk) {
    setlasterror(session, "sdotoxml_sdotoxml: An error occured trying to build the SDO xml structure.\n");
    return rc;
  }
  return 0;
}

}  // namespace

int sdotoxml(int session, const seidsdocell* handle, std::string& out) {
  out.clear();
  return checkedtoxml(session, handle, [&] { return zmrseidsdo2xml(session, *handle, out, handle->first->flavour); });
}

int sdotoxml(int session, const seidsdocell* handle, char* (*take)(size_t size), char*& out) {
  out = nullptr;
  return checkedtoxml(session, handle,
                      [&] { return zmrseidsdo2xml(session, *handle, take, out, handle->first->flavour); });
}

}  // namespace zmr
