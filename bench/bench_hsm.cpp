// RSA-2048 PKCS#1 v1.5 signing of a SHA-256 DigestInfo: through the PKCS#11
// client in SoftHSM2 (a per-call session, login and key search around each
// signature) beside the same key signing in OpenSSL, on 1 and 8 threads.
// The ratio of the two shows what the HSM path costs on top of the RSA
// operation itself.
#include <benchmark/benchmark.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hsm/hsmclient.h"
#include "misc/ossl.h"
#include "store/sessionstore.h"
#include "support/pki.h"
#include "support/softhsm.h"
#include "support/storesession.h"

namespace {

int session = -1;
zmr::SessionRef merchant;
zmr::EvpPkeyPtr key;

std::vector<unsigned char> digestInfo() {
  static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  std::vector<unsigned char> out(sizeof prefix + 32, 0x42);
  std::memcpy(out.data(), prefix, sizeof prefix);
  return out;
}

void BM_SignHsm(benchmark::State& state) {
  std::vector<unsigned char> data = digestInfo();
  std::vector<unsigned char> sig;
  for (auto _ : state) {
    if (zmr::hsm_signdata(*merchant, data.data(), data.size(), sig, "signkey", zmr::HsmRsa::pkcs1) != 0) {
      state.SkipWithError("hsm_signdata failed");
      break;
    }
    benchmark::DoNotOptimize(sig.data());
  }
  state.SetItemsProcessed(state.iterations());
}

// The same signature in software: OpenSSL pads the same DigestInfo.
void BM_SignSoftware(benchmark::State& state) {
  std::vector<unsigned char> data = digestInfo();
  std::vector<unsigned char> sig(256);
  zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
    state.SkipWithError("OpenSSL set-up failed");
    return;
  }
  for (auto _ : state) {
    size_t len = sig.size();
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, data.data(), data.size()) != 1) {
      state.SkipWithError("EVP_PKEY_sign failed");
      break;
    }
    benchmark::DoNotOptimize(sig.data());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_SignHsm)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_SignSoftware)->Threads(1)->Threads(8)->UseRealTime();

bool setUp() {
  zmrtest::SoftHsm hsm;
  if (!zmrtest::makeSoftHsm("bench_hsm", hsm) || !zmrtest::initToken(hsm, "merchant", "1234")) {
    std::fprintf(stderr, "SoftHSM2 token: %s\n", hsm.log.c_str());
    return false;
  }
  key = zmrtest::testKey(2048, 0);
  if (!zmrtest::importKey(hsm, "merchant", "1234", key.get(), "signkey", "01")) {
    std::fprintf(stderr, "SoftHSM2 import: %s\n", hsm.log.c_str());
    return false;
  }
  session = zmrtest::openStoreSession();
  merchant = zmrtest::sessionState(session);
  return zmr::hsm_loaddriver(zmrtest::kSoftHsmModule) == 0 && zmr::hsm_initialize() == 0 &&
         zmr::hsm_opensession(*merchant, "signkey", -1, "1234") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!setUp()) {
    std::fprintf(stderr, "HSM set-up failed\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  zmr::hsm_closesession(*merchant);
  merchant.reset();
  zmr::freesession(session);
  zmr::hsm_finalize();
  return 0;
}
