// Arbitrary bytes as a PKCS#7 and as an OCSP basic response (and, when they
// are an OCSPResponse, its basic response) to the decodes that take their
// certificates from the thread's cache and to OpenSSL's plain decodes: both
// must accept or refuse alike, read as far, re-encode to the same bytes
// and carry the same certificates in the same order.
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pkcs7.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/setup.h"
#include "tools/certcache.h"
#include "tools/derelement.h"

namespace {

struct Outcome {
  bool accepted = false;
  long consumed = 0;
  std::string encoding;
  std::string certs;
  bool operator==(const Outcome&) const = default;
};

template <typename T>
Outcome outcome(T* value, const unsigned char* start, const unsigned char* p, int (*encode)(const T*, unsigned char**),
                const STACK_OF(X509) * list, void (*release)(T*)) {
  Outcome o;
  o.accepted = value != nullptr;
  o.consumed = static_cast<long>(p - start);
  if (value == nullptr) return o;
  unsigned char* out = nullptr;
  int n = encode(value, &out);
  if (n > 0) o.encoding.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n));
  OPENSSL_free(out);
  o.certs = list == nullptr ? "none;" : "stack;";
  for (int i = 0; i < sk_X509_num(list); ++i) {
    out = nullptr;
    n = i2d_X509(sk_X509_value(list, i), &out);
    if (n > 0) o.certs.append(reinterpret_cast<char*>(out), static_cast<size_t>(n)).push_back(';');
    OPENSSL_free(out);
  }
  release(value);
  return o;
}

const STACK_OF(X509) * pkcs7certs(PKCS7* p7) {
  return p7 != nullptr && PKCS7_type_is_signed(p7) && p7->d.sign != nullptr ? p7->d.sign->cert : nullptr;
}

void comparepkcs7(const unsigned char* data, long size) {
  const unsigned char* p = data;
  PKCS7* plain = d2i_PKCS7(nullptr, &p, size);
  Outcome a = outcome(plain, data, p, i2d_PKCS7, pkcs7certs(plain), PKCS7_free);
  ERR_clear_error();
  p = data;
  PKCS7* cached = zmr::d2ipkcs7(&p, size);
  Outcome b = outcome(cached, data, p, i2d_PKCS7, pkcs7certs(cached), PKCS7_free);
  ERR_clear_error();
  if (!(a == b)) std::abort();
}

void comparebasic(const unsigned char* data, long size) {
  const unsigned char* p = data;
  OCSP_BASICRESP* plain = d2i_OCSP_BASICRESP(nullptr, &p, size);
  Outcome a = outcome(plain, data, p, i2d_OCSP_BASICRESP, plain ? OCSP_resp_get0_certs(plain) : nullptr,
                      OCSP_BASICRESP_free);
  ERR_clear_error();
  p = data;
  OCSP_BASICRESP* cached = zmr::d2iocspbasic(&p, size);
  Outcome b = outcome(cached, data, p, i2d_OCSP_BASICRESP, cached ? OCSP_resp_get0_certs(cached) : nullptr,
                      OCSP_BASICRESP_free);
  ERR_clear_error();
  if (!(a == b)) std::abort();
}

// The response octets of an OCSPResponse's responseBytes, as far as they
// can be found.
std::string_view responseoctets(std::string_view in) {
  zmr::DerElement outer, status, tagged, bytes, oid, value;
  if (!zmr::readderelement(in, outer)) return {};
  std::string_view body = outer.content;
  if (!zmr::readderelement(body, status) || !zmr::readderelement(body, tagged)) return {};
  std::string_view inner = tagged.content;
  if (!zmr::readderelement(inner, bytes)) return {};
  std::string_view fields = bytes.content;
  if (!zmr::readderelement(fields, oid) || !zmr::readderelement(fields, value)) return {};
  return value.content;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zmr::initstructures();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  comparepkcs7(data, static_cast<long>(size));
  comparebasic(data, static_cast<long>(size));
  std::string_view octets = responseoctets({reinterpret_cast<const char*>(data), size});
  if (!octets.empty())
    comparebasic(reinterpret_cast<const unsigned char*>(octets.data()), static_cast<long>(octets.size()));
  return 0;
}
