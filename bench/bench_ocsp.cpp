// OCSP-answer verification on 1, 2, 4 and 8 threads against one session's
// trust store. The library takes no lock around it, so the rate should grow
// with the threads up to what OpenSSL's own shared state allows.
//
// BM_VerifyOcspResponse: the whole check (nonce, responder, single
// response, usage, policy, signature, chain, currency) on a response each
// thread parsed once. BM_ParseAndVerify: the same with the parse of the DER
// each time, through the library's own decode, as a caller that has just
// received the answer does.
// BM_RsaVerifyOnly: a bare RSA-2048 signature check, the reference for
// what the machine's cores give when nothing is shared.
//
// With OpenSSL 3.0 every signature check inside the chain verification and
// OCSP_basic_verify fetches its digest and signature methods anew, taking
// the library context's method-store read lock each time; that shared lock,
// not the certificate store's, is what keeps the check below the bare RSA
// scaling. Decoding a response (its certificates' public keys through
// OpenSSL's decoders) contends far more, which BM_ParseAndVerify shows.
//
// At the end each case's 8-thread rate over its 1-thread rate is printed,
// and the parse-and-verify speed-up over the bare RSA check's (goal at
// least 0.8).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "store/setup.h"
#include "ratioreporter.h"
#include "store/sessionstore.h"
#include "support/fixtures.h"
#include "support/storesession.h"
#include "support/tempdir.h"
#include "tools/certcache.h"
#include "tools/pkcs7tools.h"

namespace {

struct Setup {
  zmrtest::TestPki pki;
  int session = -1;
  zmr::SessionRef state;
  std::string der;
  std::string data = "reference data";
  std::string signature;

  Setup() {
    zmr::initstructures();
    pki = zmrtest::makePki(2);
    std::string dir = zmrtest::makeTempDir("bench-ocsp");
    zmrtest::writeTrustStore(dir, pki.caCerts());
    X509_STORE* store = X509_STORE_new();
    X509_STORE_load_locations(store, nullptr, dir.c_str());
    session = zmrtest::openStoreSession();
    state = zmrtest::sessionState(session);
    state->truststore.reset(store);
    der = zmrtest::makeOcspBasicDer(zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get()));
    zmrtest::Pkcs7Spec p7 = zmrtest::pkcs7For(pki.endUser, data);
    p7.signers[0].signedAttributes = false;
    zmr::Pkcs7Ptr parsed = zmrtest::makePkcs7(p7);
    const ASN1_OCTET_STRING* sig = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(parsed.get()), 0)->enc_digest;
    signature.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(sig)), ASN1_STRING_length(sig));
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

int verify(const Setup& s, OCSP_BASICRESP* basic) {
  zmr::OcspSubject subject{s.pki.endUser.get(), s.pki.ca.get(), nullptr};
  OCSP_SINGLERESP* single = nullptr;
  return zmr::verifyocspresponse(*s.state, nullptr, basic, subject, 0, zmr::OcspTime::live, &single);
}

void BM_VerifyOcspResponse(benchmark::State& state) {
  Setup& s = setup();
  zmr::OcspBasicRespPtr basic = zmrtest::parseOcspBasic(s.der);
  for (auto _ : state) {
    if (verify(s, basic.get()) != 0) state.SkipWithError("verification failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyOcspResponse)->ThreadRange(1, 8)->UseRealTime();

void BM_ParseAndVerify(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.der.data());
    zmr::OcspBasicRespPtr basic(zmr::d2iocspbasic(&p, static_cast<long>(s.der.size())));
    if (!basic || verify(s, basic.get()) != 0) state.SkipWithError("verification failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseAndVerify)->ThreadRange(1, 8)->UseRealTime();

void BM_RsaVerifyOnly(benchmark::State& state) {
  Setup& s = setup();
  EVP_PKEY* key = X509_get0_pubkey(s.pki.endUser.get());
  for (auto _ : state) {
    zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(s.signature.data()), s.signature.size(),
                         reinterpret_cast<const unsigned char*>(s.data.data()), s.data.size()) != 1)
      state.SkipWithError("RSA verification failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RsaVerifyOnly)->ThreadRange(1, 8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto speedup = [&](const char* name) {
    const double one = reporter.rate(name, 1), eight = reporter.rate(name, 8);
    return one > 0 && eight > 0 ? eight / one : 0.0;
  };
  const double check = speedup("BM_VerifyOcspResponse"), parse = speedup("BM_ParseAndVerify"),
               rsa = speedup("BM_RsaVerifyOnly");
  if (check > 0) std::printf("VerifyOcspResponse 8 threads / 1 thread: %.2f\n", check);
  if (parse > 0) std::printf("ParseAndVerify 8 threads / 1 thread: %.2f\n", parse);
  if (rsa > 0) std::printf("RsaVerifyOnly 8 threads / 1 thread: %.2f\n", rsa);
  if (parse > 0 && rsa > 0)
    std::printf("ParseAndVerify speed-up / the bare RSA check's: %.3f (goal >= 0.8)\n", parse / rsa);
  if (check > 0 && rsa > 0) std::printf("VerifyOcspResponse speed-up / the bare RSA check's: %.3f\n", check / rsa);
  benchmark::Shutdown();
  return 0;
}
