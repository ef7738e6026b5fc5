// Arbitrary bytes as a base64 PKCS#7 to the signer information of every
// item and to the signer listing: nothing may crash, read out of bounds or
// leak, and a failure leaves no answer.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "store/setup.h"
#include "services/verifying/verifyingops.h"
#include "store/loaders/configuration.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace {
int session = -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::PendingSession opening;
  if (zmr::initstructures() != 0 || opening.open() != 0) std::abort();
  opening.publish();
  session = opening.number();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = zmr::base64_encode(data, size);
  for (const char* item : zmr::kPkcs7Items) {
    std::string out;
    if (zmr::getpkcs7info(session, text, item, out) != 0 && !out.empty()) std::abort();
  }
  signatures second{text.data(), nullptr, nullptr};
  signatures first{text.data(), nullptr, &second};
  std::optional<std::string> listing;
  if (zmr::getsigners(session, &first, listing) != 0 && listing) std::abort();
  std::optional<std::string> error;
  zmr::getlasterror(0, error);
  return 0;
}
