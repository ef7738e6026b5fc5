// zmr_getcertstatus against the plain stand-in validation authority serving
// one prepared good answer without nonce, on one thread, beside the same
// steps done with OpenSSL alone: decode the PKCS#7, build the request and
// sign it with OCSP_request_sign, decode the answer, OCSP_basic_verify and
// the responder's chain. The library also posts over loopback HTTP, clears
// and sets its info items and checks the answer's time; the goal is at
// least 1.2 times the OpenSSL rate: it should decode smarter than the naive
// steps. No thread-scaling goal: the exchange is network. The ratios are printed at the end, also against OpenSSL plus a
// bare post to the same stand-in, which shows what the round trip costs on
// the machine at hand.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/ocsp.h>
#include <openssl/x509v3.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <memory>
#include <string>

#include "misc/ossl.h"
#include "net/http_lib.h"
#include "ratioreporter.h"
#include "support/storesession.h"
#include "support/vastandin.h"

namespace {

inline void freestackonly(STACK_OF(X509) * s) { sk_X509_free(s); }
using BorrowedX509StackPtr = std::unique_ptr<STACK_OF(X509), zmr::OsslDeleter<freestackonly>>;

// The stand-in shares the cores with the caller being measured, so it is
// the bare one: it answers without taking the request apart.
struct World {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::MerchantFiles merchant = zmrtest::writeMerchantFiles("bench-certstatus", pki);
  zmrtest::StandinServer va;
  std::string pkcs7 = zmrtest::endUserPkcs7(pki);
  std::string answer;
  zmr::X509StorePtr store;
  int session = -1;

  bool start() {
    answer = zmrtest::makeOcspResponseDer(zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get()));
    va.handle("/", [this](const zmrtest::HttpRequest&) { return zmrtest::VaStandin::reply(answer); });
    zmrtest::Properties properties = zmrtest::standardProperties(merchant.truststore);
    properties.emplace_back("vaport", std::to_string(va.port()));
    properties.emplace_back("vassldisabled", "true");
    store.reset(X509_STORE_new());
    return zmrtest::writePropertiesFile(merchant.properties, properties) && store &&
           X509_STORE_load_locations(store.get(), nullptr, merchant.truststore.c_str()) == 1 &&
           zmr_initialize() == 0 &&
           zmr_opensession(&session, merchant.keyfile.c_str(), merchant.password.c_str(), merchant.properties.c_str(),
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  }
};

World* world = nullptr;

void BM_zmr_getcertstatus(benchmark::State& state) {
  for (auto _ : state) {
    // The exchange's time is stored as an info item each call.
    std::ignore = zmr_removeinfoitems(world->session);
    std::ignore = zmr_setinfoitem(world->session, "operation", "verifyAuth");
    char* ocsp = nullptr;
    if (zmr_getcertstatus(world->session, world->pkcs7.c_str(), &ocsp) != 0) {
      state.SkipWithError("zmr_getcertstatus failed");
      break;
    }
    std::ignore = zmr_free(ocsp);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_zmr_getcertstatus)->UseRealTime();

bool opensslalone(const World& w) {
  // The PKCS#7 and its signer and issuer.
  std::string der(w.pkcs7.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                          reinterpret_cast<const unsigned char*>(w.pkcs7.data()), static_cast<int>(w.pkcs7.size()));
  if (n <= 0) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  zmr::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, n));
  if (!p7) return false;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  X509* signer = si != nullptr ? PKCS7_cert_from_signer_info(p7.get(), si) : nullptr;
  X509* issuer = signer != nullptr ? X509_find_by_subject(p7->d.sign->cert, X509_get_issuer_name(signer)) : nullptr;
  if (issuer == nullptr) return false;

  // The signed request.
  zmr::OcspRequestPtr req(OCSP_REQUEST_new());
  OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha1(), signer, issuer);
  if (!req || id == nullptr || OCSP_request_add0_id(req.get(), id) == nullptr ||
      OCSP_request_add1_nonce(req.get(), nullptr, 16) != 1)
    return false;
  BorrowedX509StackPtr certs(sk_X509_new_null());
  X509* sign = w.pki.merchantSign.get();
  if (!certs || sk_X509_push(certs.get(), sign) <= 0 ||
      OCSP_request_sign(req.get(), sign, w.pki.merchantSign.key.get(), EVP_sha256(), certs.get(), 0) != 1)
    return false;
  unsigned char* request = nullptr;
  int length = i2d_OCSP_REQUEST(req.get(), &request);
  OPENSSL_free(request);
  if (length <= 0) return false;

  // The answer, its signature and the responder's chain.
  p = reinterpret_cast<const unsigned char*>(w.answer.data());
  zmr::OcspResponsePtr response(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(w.answer.size())));
  zmr::OcspBasicRespPtr basic(response ? OCSP_response_get1_basic(response.get()) : nullptr);
  X509* responder = nullptr;
  if (!basic || OCSP_resp_get0_signer(basic.get(), &responder, nullptr) != 1) return false;
  BorrowedX509StackPtr signers(sk_X509_new_null());
  if (!signers || sk_X509_push(signers.get(), responder) <= 0 ||
      OCSP_basic_verify(basic.get(), signers.get(), w.store.get(),
                        OCSP_NOINTERN | OCSP_NOCHAIN | OCSP_NOVERIFY | OCSP_NOCHECKS) != 1)
    return false;
  zmr::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  return ctx && X509_STORE_CTX_init(ctx.get(), w.store.get(), responder, nullptr) == 1 &&
         X509_verify_cert(ctx.get()) == 1;
}

void BM_openssl_alone(benchmark::State& state) {
  for (auto _ : state) {
    if (!opensslalone(*world)) {
      state.SkipWithError("OpenSSL steps failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_openssl_alone)->UseRealTime();

// The exchange alone: one post of a request to the same stand-in, so that
// the share of the loopback round trip (its threads' wake-ups on a busy
// machine) can be told from the library's own work.
void BM_exchange_alone(benchmark::State& state) {
  const std::string body(1900, 'r');
  std::string reply;
  zmr::SessionRef held = zmrtest::sessionState(world->session);
  for (auto _ : state) {
    if (zmr::http_post(*held, nullptr, "127.0.0.1", world->va.port(), "/", body, "application/ocsp-request",
                       reply, 30, "va") != 0) {
      state.SkipWithError("post failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_exchange_alone)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  World w;
  world = &w;
  if (!w.start()) return 1;
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double z = reporter.rate("BM_zmr_getcertstatus", 1), o = reporter.rate("BM_openssl_alone", 1);
  double x = reporter.rate("BM_exchange_alone", 1);
  if (z > 0 && o > 0) std::printf("zmr_getcertstatus / OpenSSL alone, 1 thread: %.3f (goal >= 1.2)\n", z / o);
  if (z > 0 && o > 0 && x > 0)
    std::printf("zmr_getcertstatus / (OpenSSL alone + the exchange alone), 1 thread: %.3f\n", (1 / o + 1 / x) * z);
  std::ignore = zmr_closesession(w.session);
  std::ignore = zmr_finalize();
  w.va.stop();
  benchmark::Shutdown();
  return 0;
}
