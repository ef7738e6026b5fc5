#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/items/itemsops.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

constexpr Where kAt{"inittransaction::performinitsign21: "};

struct FormatItem {
  const char* item;
  const char* answername;
  const char* allowed[2];
  const char* invalid;
  const char* notadded;
};

constexpr FormatItem kFormats[] = {
    {"cmsFormat",
     "CMSFormat",
     {"PKCS7", "PKCS7_ISO320001"},
     "Invalid infoitem contents in \"cmsFormat\".\n",
     "Could not add optional infoitem \"cmsFormat\" to map.\n"},
    {"ocspFormat",
     "OCSPFormat",
     {"OCSP_ZELMOR_DEFAULT", "OCSP_RFC6960_COMPATIBLE"},
     "Invalid infoitem contents in \"ocspformat\".\n",
     "Could not add optional infoitem \"ocspFormat\" to map.\n"},
};

}  // namespace

int addocspandcmsformat(int session, stringmap& answer) {
  for (const FormatItem& f : kFormats) {
    // Read through the service: an unset item leaves its line, as ever.
    std::string value;
    if (getinfoitem(session, f.item, value) != kOk) continue;
    if (value != f.allowed[0] && value != f.allowed[1]) return fail(kBadArgument, kAt, f.invalid);
    if (int rc = addelement(answer, f.answername, value); rc != kOk) return fail(rc, kAt, f.notadded);
  }
  return kOk;
}

}  // namespace zmr
