#include <climits>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/transactiondata/transactionalgorithms.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/threadstore.h"

namespace zmr {

int symmetricDecrypt2(int session, std::span<const unsigned char> key, std::span<const unsigned char> iv,
                      std::span<const unsigned char> cipher, SecretString& out) {
  out.wipe();
  const TransactionAlgorithms* a = transactionalgorithms();
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (a == nullptr || !ctx || key.size() != kSubKeyLength || iv.size() < kIvLength ||
      EVP_DecryptInit_ex2(ctx.get(), a->aes256cbc, key.data(), iv.data(), nullptr) != 1) {
    setlasterror(session,
                 "symmetricdecrypt::symmetricDecrypt2: An error occured trying to initialize the decrypt function.\n");
    return kDecryptInit;
  }
  if (cipher.size() > static_cast<size_t>(INT_MAX) - 2 * kIvLength) {
    setlasterror(session,
                 "symmetricdecrypt::symmetricDecrypt2: An error occured trying to update the decrypt function.\n");
    return kDecryptUpdate;
  }
  // A padded block may be held back until the end: room for one more.
  SecretBytes scratch(cipher.size() + kIvLength);
  int produced = 0;
  static const unsigned char none = 0;
  if (EVP_DecryptUpdate(ctx.get(), scratch.bytes.data(), &produced, cipher.empty() ? &none : cipher.data(),
                        static_cast<int>(cipher.size())) != 1) {
    setlasterror(session,
                 "symmetricdecrypt::symmetricDecrypt2: An error occured trying to update the decrypt function.\n");
    return kDecryptUpdate;
  }
  int last = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), scratch.bytes.data() + produced, &last) != 1) {
    setlasterror(session,
                 "symmetricdecrypt::symmetricDecrypt2: An error occured trying to finish the decrypt function.\n");
    return kDecryptFinal;
  }
  out.assign(std::string_view(reinterpret_cast<const char*>(scratch.bytes.data()),
                              static_cast<size_t>(produced) + static_cast<size_t>(last)));
  return kOk;
}

}  // namespace zmr
