#include <openssl/crypto.h>

#include "misc/status.h"
#include "services/transactiondata/transactionalgorithms.h"
#include "services/transactiondata/transactiondataops.h"

namespace zmr {

int authenticateMessage(std::span<const unsigned char> key, std::span<const unsigned char> message,
                        std::array<unsigned char, kTagLength>& tag) {
  const TransactionAlgorithms* a = transactionalgorithms();
  return computemac(a != nullptr ? a->hmacsha1 : nullptr, key, message, tag.data(), tag.size());
}

int authenticateMessage(std::span<const unsigned char> key, std::span<const unsigned char> message,
                        std::span<const unsigned char> received) {
  std::array<unsigned char, kTagLength> tag{};
  if (int rc = authenticateMessage(key, message, tag); rc != kOk) return rc;
  if (received.size() != tag.size()) return kTagSize;
  return CRYPTO_memcmp(tag.data(), received.data(), tag.size()) == 0 ? kOk : kTagMismatch;
}

}  // namespace zmr
