#include "services/items/itemsops.h"
#include "services/tripledes/tripledesops.h"

namespace zmr {

int symmetricencrypt(int session, std::string_view key, std::string_view plain, SecretString& out) {
  return tripledes(session, key, plain, true, out);
}

}  // namespace zmr
