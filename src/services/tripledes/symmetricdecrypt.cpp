#include "services/items/itemsops.h"
#include "services/tripledes/tripledesops.h"

namespace zmr {

int symmetricdecrypt(int session, std::string_view key, std::string_view cipher, SecretString& out) {
  return tripledes(session, key, cipher, false, out);
}

}  // namespace zmr
