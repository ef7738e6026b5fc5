// Every certificate reader and check over an arbitrary DER certificate:
// none may crash, read out of bounds or leak, whatever the extensions hold.
// Short inputs are also taken as time texts: whatever converts must be the
// instant that the platform breaks down into the same fields.
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/certtools.h"

namespace {

// The readers take the number for the recent error only; the policy check
// reads the state.
const zmr::Session& policysession() {
  static zmr::Session* session = [] {
    auto* s = new zmr::Session();
    s->properties = {{"grantedpolicies", "2.999.10.1.16.1.14.1, 2.999.10.1.16.1.12.2.1"}};
    return s;
  }();
  return *session;
}

void checktime(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  int64_t seconds = 0;
  if (!zmr::gentimetotime(text, seconds)) return;
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr) std::abort();
  auto field = [&](size_t at, size_t n) { return std::stoi(text.substr(at, n)); };
  if (tm.tm_year + 1900 != field(0, 4) || tm.tm_mon + 1 != field(4, 2) || tm.tm_mday != field(6, 2) ||
      tm.tm_hour != field(8, 2) || tm.tm_min != field(10, 2) || tm.tm_sec != field(12, 2))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size <= 32) checktime(data, size);
  const unsigned char* p = data;
  zmr::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
  if (!cert) return 0;
  const zmr::Session& state = policysession();
  int session = state.number;
  X509* c = cert.get();
  std::string text;
  for (auto reader : {zmr::getvalidfromdate, zmr::getvalidtodate, zmr::getsubjectname, zmr::getissuername,
                      zmr::getcommonname, zmr::getuniqueid, zmr::getemailaddress, zmr::getserialnumber,
                      zmr::getversionnumber, zmr::getkeyalgorithm, zmr::getkeysize, zmr::getpolicyoid,
                      zmr::getsigningcertificate, zmr::getaialocation, zmr::getphonenumber, zmr::getdateofbirth,
                      zmr::getbankname, zmr::getoriginator, zmr::getkeyusage})
    reader(session, c, text);
  int days = 0;
  zmr::getdaysuntilexpire(session, c, days);
  const int codes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  zmr::checkusageextensions(session, c, codes, 9);
  zmr::isvalidpolicy(state, c, "2.999.10.1.16.1.5.1");
  std::optional<std::string> error;
  zmr::getlasterror(session, error);  // keep the thread's recent error from growing
  return 0;
}
