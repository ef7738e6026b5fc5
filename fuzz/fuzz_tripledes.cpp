// Triple-DES decryption of arbitrary ciphertext under a fixed key. The
// first byte picks the input's meaning: odd, the rest is the base64 text
// as a caller passes it; even, the rest is the raw ciphertext, which the
// harness encodes. What decrypts encrypts back to the same ciphertext.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "misc/secret.h"
#include "services/items/itemsops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace {

// An open session with nothing in it: what the calls check the number
// against.
int opensession() {
  zmr::PendingSession opening;
  if (opening.open() != 0) std::abort();
  opening.publish();
  return opening.number();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int session = opensession();
  static const std::string key = "MDEyMzQ1Njc4OWFiY2RlZg==";  // "0123456789abcdef"
  std::string cipher;
  if (data[0] & 1) {
    cipher.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else if (size > 1) {
    cipher = zmr::base64_encode(data + 1, size - 1);
  }
  std::vector<char> exact(cipher.begin(), cipher.end());
  zmr::SecretString plain;
  int rc = zmr::symmetricdecrypt(session, key, std::string_view(exact.data(), exact.size()), plain);
  if (rc == 0) {
    zmr::SecretString again;
    if (zmr::symmetricencrypt(session, key, plain.view(), again) != 0) std::abort();
    if (!(data[0] & 1) && again.view() != cipher) std::abort();
  } else if (rc != 33002 && rc != 33001 && (rc < 21000 || rc > 21999) && (rc < 23001 || rc > 23003)) {
    std::abort();
  }
  std::optional<std::string> discard;
  zmr::getlasterror(session, discard);
  return 0;
}
