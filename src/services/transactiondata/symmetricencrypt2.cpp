#include <climits>

#include "misc/ossl.h"
#include "misc/status.h"
#include "services/transactiondata/transactionalgorithms.h"
#include "services/transactiondata/transactiondataops.h"
#include "store/threadstore.h"

namespace zmr {

int symmetricEncrypt2(int session, std::span<const unsigned char> key, std::span<const unsigned char> iv,
                      std::span<const unsigned char> plain, std::vector<unsigned char>& out) {
  out.clear();
  const TransactionAlgorithms* a = transactionalgorithms();
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (a == nullptr || !ctx || key.size() != kSubKeyLength || iv.size() < kIvLength ||
      EVP_EncryptInit_ex2(ctx.get(), a->aes256cbc, key.data(), iv.data(), nullptr) != 1) {
    setlasterror(session,
                 "symmetricdecrypt::symmetricEncrypt2: An error occured trying to initialize the encrypt function.\n");
    return kEncryptInit;
  }
  if (plain.size() > static_cast<size_t>(INT_MAX) - 2 * kIvLength) {
    setlasterror(session,
                 "symmetricdecrypt::symmetricEncrypt2: An error occured trying to update the encrypt function.\n");
    return kEncryptUpdate;
  }
  out.resize(plain.size() + kIvLength);
  int produced = 0;
  static const unsigned char none = 0;
  if (EVP_EncryptUpdate(ctx.get(), out.data(), &produced, plain.empty() ? &none : plain.data(),
                        static_cast<int>(plain.size())) != 1) {
    out.clear();
    setlasterror(session,
                 "symmetricdecrypt::symmetricEncrypt2: An error occured trying to update the encrypt function.\n");
    return kEncryptUpdate;
  }
  int last = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), out.data() + produced, &last) != 1) {
    out.clear();
    setlasterror(session,
                 "symmetricdecrypt::symmetricEncrypt2: An error occured trying to finish the encrypt function.\n");
    return kEncryptFinal;
  }
  out.resize(static_cast<size_t>(produced) + static_cast<size_t>(last));
  return kOk;
}

}  // namespace zmr
