// Exported functions of verification, signer information and decryption
// with the central verifier key.
#include <iterator>

#include "api/frame.h"
#include "misc/status.h"
#include "services/verifying/decrypting.h"
#include "services/items/itemsops.h"
#include "services/verifying/verifyingops.h"
#include "tools/certtools.h"

using namespace zmr;

ZMR_EXPORT int zmr_verifydata(int session, const char* pkcs7, const unsigned char* data, uint64_t length) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(pkcs7));
  ZMR_TRY(required(data));
  return guarded([&] {
    static constexpr int usages[] = {kUsageSigning};
    return verifydata(session, pkcs7, data, length, DataIs::content, usages, 1, ChainCheck::policy);
  });
}

ZMR_EXPORT int zmr_hashverifydata(int session, const char* pkcs7, const char* hash, int selector) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(pkcs7));
  ZMR_TRY(requiredtext(hash));
  if (selector < 0) return kBadArgument;
  return guarded([&] {
    std::vector<unsigned char> digest;
    ZMR_TRY(base64decode(session, hash, digest));
    const int usages[] = {selector != 0 ? kUsageAuthentication : kUsageSigning};
    return verifydata(session, pkcs7, digest.data(), digest.size(), DataIs::digest, usages, 1, ChainCheck::policy);
  });
}

ZMR_EXPORT int zmr_getpkcs7info(int session, const char* pkcs7, int item, char** text) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(pkcs7));
  if (item < 0) return kBadArgument;
  ZMR_TRY(required(text));
  if (static_cast<size_t>(item) >= std::size(kPkcs7Items)) return kBadPkcs7Item;
  *text = nullptr;
  return guarded([&] {
    std::string value;
    ZMR_TRY(getpkcs7info(session, pkcs7, kPkcs7Items[item], value));
    return handout(value, text);
  });
}

// Every node of the list and the texts the listing reads: its pkcs7 (a
// missing one is the listing's own 33002) and its next.
static int checksigners(const signatures* list) {
  for (const signatures* node = list; node != nullptr; node = node->next) {
    ZMR_TRY(optionaltext(node->pkcs7));
    ZMR_TRY(optional(node->next));
  }
  return kOk;
}

ZMR_EXPORT int zmr_getsigners(int session, const signatures* list, char** text) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(list));
  ZMR_TRY(checksigners(list));
  ZMR_TRY(required(text));
  *text = nullptr;
  return guarded([&] {
    std::optional<std::string> value;
    ZMR_TRY(getsigners(session, list, value));
    return handout(value, text);
  });
}

ZMR_EXPORT int zmr_assymetricdecrypt(int session, const char* keyfile, const char* password, const char* input,
                                     char** output) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(probetext(keyfile));
  ZMR_TRY(probetext(password));
  ZMR_TRY(probetext(input));
  ZMR_TRY(probe(output));
  *output = nullptr;
  return guarded([&] {
    SecretString plain;
    ZMR_TRY(assymetricdecrypt(session, keyfile, password, input, plain));
    return handout(plain, output);
  });
}
