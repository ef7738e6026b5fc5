// The algorithms of the transaction-data scheme, fetched from the crypto
// library once per process: fetching them on every call would cost more
// than the MACs themselves.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstddef>
#include <span>

#include "misc/ossl.h"

namespace zmr {

struct TransactionAlgorithms {
  EVP_CIPHER* aes256cbc = nullptr;
  // HMAC contexts already bound to their digest (and keyed with a dummy
  // key), duplicated for every MAC; never used directly.
  EVP_MAC_CTX* hmacsha256 = nullptr;
  EVP_MAC_CTX* hmacsha1 = nullptr;
};

// The process's algorithms, or nullptr when one could not be fetched.
// Fetched on first use and kept until the process ends.
const TransactionAlgorithms* transactionalgorithms();

// MAC of message under key with a copy of the template; out must hold the
// MAC's full size. 0 or 33001.
int computemac(const EVP_MAC_CTX* tmpl, std::span<const unsigned char> key, std::span<const unsigned char> message,
               unsigned char* out, size_t outsize);

}  // namespace zmr
