#include "signedobjects/seid/seidsdo.h"

namespace zmr {

int createseidsdodatapart(std::unique_ptr<signatureelement> first, std::unique_ptr<seidsdodatapart>& out) {
  auto datapart = std::make_unique<seidsdodatapart>();
  datapart->first = std::move(first);
  out = std::move(datapart);
  return 0;
}

}  // namespace zmr
