// Arbitrary bytes as an OCSP response (whole OCSPResponse or bare
// BasicOCSPResponse) to the answer check, live and stored, with and without
// a request. The trust store of the session holds the last certificate the
// response carries, so that self-consistent inputs reach every step.
#include <openssl/ocsp.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "store/setup.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/pkcs7tools.h"

namespace {

zmr::Session* session = nullptr;  // never freed: the fuzzer's life
OCSP_REQUEST* request = nullptr;

zmr::OcspBasicRespPtr parse(const uint8_t* data, size_t size) {
  if (size == 0 || size > LONG_MAX) return nullptr;
  const unsigned char* p = data;
  zmr::OcspResponsePtr full(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(size)));
  if (full && p == data + size) return zmr::OcspBasicRespPtr(OCSP_response_get1_basic(full.get()));
  p = data;
  zmr::OcspBasicRespPtr basic(d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(size)));
  if (basic && p != data + size) basic.reset();
  return basic;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::initstructures();
  session = new zmr::Session();
  request = OCSP_REQUEST_new();
  unsigned char nonce[16] = "fuzz nonce 0123";
  OCSP_request_add1_nonce(request, nonce, sizeof nonce);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zmr::OcspBasicRespPtr basic = parse(data, size);
  if (!basic) return 0;
  const STACK_OF(X509)* certs = OCSP_resp_get0_certs(basic.get());
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) return 0;
  if (sk_X509_num(certs) > 0) X509_STORE_add_cert(store, sk_X509_value(certs, sk_X509_num(certs) - 1));
  session->truststore.reset(store);

  // Ask about the first single response's serial, and about the first
  // carried certificate, so that both matching paths run.
  zmr::OcspSubject bySerial;
  OCSP_SINGLERESP* first = OCSP_resp_get0(basic.get(), 0);
  ASN1_INTEGER* serial = nullptr;
  if (first != nullptr)
    OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, const_cast<OCSP_CERTID*>(OCSP_SINGLERESP_get0_id(first)));
  bySerial.serial = serial;
  zmr::OcspSubject byCert;
  byCert.cert = sk_X509_value(certs, 0);
  byCert.issuer = sk_X509_value(certs, sk_X509_num(certs) - 1);

  for (const zmr::OcspSubject* subject : {&bySerial, &byCert}) {
    if (subject->serial == nullptr && subject->cert == nullptr) continue;
    struct Run {
      OCSP_REQUEST* request;
      int useresponsecerts;
      zmr::OcspTime mode;
    };
    for (const Run& r : {Run{nullptr, 0, zmr::OcspTime::live}, Run{request, 1, zmr::OcspTime::live},
                         Run{nullptr, 1, zmr::OcspTime::stored}}) {
      OCSP_SINGLERESP* single = nullptr;
      int rc = zmr::verifyocspresponse(*session, r.request, basic.get(), *subject, r.useresponsecerts, r.mode, &single);
      if ((rc == 0) != (single != nullptr)) std::abort();
    }
  }
  std::optional<std::string> error;
  zmr::getlasterror(0, error);
  return 0;
}
