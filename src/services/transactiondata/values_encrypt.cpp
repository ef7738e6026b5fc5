#include "misc/status.h"
#include "net/http_lib.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/threadstore.h"

namespace zmr {

int values_encrypt(const values& v, int session, std::string_view basekey, std::string& answer) {
  answer.clear();
  if (v.pairs.empty()) {
    setlasterror(session, "inittransaction::values_encrypt: No values to encrypt.\n");
    return kOutOfMemory;
  }
  std::string plain, encoded;
  for (const auto& [key, value] : v.pairs) {
    if (!plain.empty()) plain += '&';
    http_urlencode(value, encoded);
    plain.append(key).append("=").append(encoded);
  }
  return encryptanswer(session, plain, basekey, "inittransaction::values_encrypt: ", answer);
}

}  // namespace zmr
