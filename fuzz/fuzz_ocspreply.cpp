// Arbitrary bytes as the validation authority's raw HTTP reply to the
// reply parser, and, where they decode as a BasicOCSPResponse (the input
// itself, or the one the parser found), to the additional-information
// reader. An accepted reply yields a basic response whose DER is exactly
// the bytes it was read from.
#include <openssl/ocsp.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "store/setup.h"
#include "services/certstatus/certstatusops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace {

int session = -1;

void readadditional(OCSP_BASICRESP* basic) {
  zmr::getadditionalinformation(session, basic);
  zmr::removeallinfoitems(session);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::initstructures();
  zmr::PendingSession opening;
  if (opening.open() != 0) std::abort();
  opening.publish();
  session = opening.number();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > LONG_MAX) return 0;
  zmr::OcspAnswer answer;
  int rc = zmr::getocspresponse(session, std::string_view(reinterpret_cast<const char*>(data), size), answer);
  if ((rc == 0) != (answer.basic != nullptr && answer.full != nullptr)) std::abort();
  if (rc == 0) {
    int n = i2d_OCSP_RESPONSE(answer.full.get(), nullptr);
    if (n <= 0 || answer.fullder.empty() || answer.basicder.empty() ||
        answer.fullder.find(answer.basicder) == std::string::npos)
      std::abort();
    readadditional(answer.basic.get());
  }

  const unsigned char* p = data;
  zmr::OcspBasicRespPtr basic(d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(size)));
  if (basic) readadditional(basic.get());

  std::optional<std::string> error;
  zmr::getlasterror(session, error);
  return 0;
}
