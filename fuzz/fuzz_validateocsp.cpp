// Arbitrary bytes as an OCSP value kept beside a signature, and as that
// signature: the first two bytes give the length of the answer (a bare
// BasicOCSPResponse, or a whole OCSPResponse whose basic response is taken
// so that the seeds reach the later steps); the rest is the PKCS#7 DER,
// handed over in base64. The trust store holds the answer's last
// certificate, so that self-consistent inputs reach the responder check.
#include <openssl/ocsp.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/setup.h"
#include "signedobjects/seid/sdointernal.h"
#include "store/sessionstore.h"
#include "tools/base64.h"

namespace {

// Published, since the check hashes through a service that asks for an
// open session; held for the fuzzer's life.
zmr::SessionRef session;

// The basic response's DER inside a whole OCSPResponse, else the bytes.
std::string answerbytes(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (size == 0 || size > LONG_MAX) return bytes;
  const unsigned char* p = data;
  zmr::OcspResponsePtr full(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(size)));
  if (!full || p != data + size) return bytes;
  zmr::OcspBasicRespPtr basic(OCSP_response_get1_basic(full.get()));
  unsigned char* der = nullptr;
  int length = basic ? i2d_OCSP_BASICRESP(basic.get(), &der) : -1;
  if (length > 0) bytes.assign(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

void trustlastcert(const std::string& der) {
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) std::abort();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  zmr::OcspBasicRespPtr basic(der.size() > 0 && der.size() <= LONG_MAX
                                  ? d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(der.size()))
                                  : nullptr);
  const STACK_OF(X509)* certs = basic ? OCSP_resp_get0_certs(basic.get()) : nullptr;
  if (sk_X509_num(certs) > 0) X509_STORE_add_cert(store, sk_X509_value(certs, sk_X509_num(certs) - 1));
  session->truststore.reset(store);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::initstructures();
  zmr::PendingSession opening;
  if (opening.open() != 0) std::abort();
  opening.publish();
  if (zmr::usesession(opening.number(), session) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t length = (static_cast<size_t>(data[0]) << 8) | data[1];
  if (length > size - 2) return 0;
  // Heap copies of exactly the bytes, so any over-read is caught.
  std::string answer = answerbytes(data + 2, length);
  std::string pkcs7 = zmr::base64_encode(data + 2 + length, size - 2 - length);
  trustlastcert(answer);
  int rc = zmr::validateocspvalue(*session, reinterpret_cast<const unsigned char*>(answer.data()), answer.size(),
                                  pkcs7, "sdovalidate_validateocsp: ");
  // Without a signature no answer can be about its signer.
  if (rc == 0 && size == 2 + length) std::abort();
  return 0;
}
