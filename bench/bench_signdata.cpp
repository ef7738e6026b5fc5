// zmr_signdata against OpenSSL's own RSA-2048 signature of the same data
// with the same key, on 1 and 8 threads. The private-key operation is the
// cost of both; what zmr_signdata adds (attributes, certificates, DER,
// base64) should stay small, and threads must not wait on one another.
// At the end the ratios are printed: signdata / OpenSSL on one thread
// (goal 0.88), each one's 8-thread rate over its 1-thread rate, and the
// library's speed-up over OpenSSL's (goal 0.9). By default each case runs
// five times, the cases interleaved at random, and the medians are compared,
// so that a change of machine load during the run touches both sides alike.
//
// --soak[=S] runs no benchmark: zmr_signdata on 8 threads for S seconds (30
// by default), with the resident set printed at the start, after a tenth of
// the time and at the end.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "opensslrsa.h"
#include "ratioreporter.h"
#include "soak.h"
#include "support/merchant.h"

namespace {

int session = -1;
EVP_PKEY* signkey = nullptr;  // the session's signing key, as the reference uses it
const std::string data(1024, 'd');

bool signOnce() {
  char* out = nullptr;
  if (zmr_signdata(session, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &out) != 0) return false;
  benchmark::DoNotOptimize(out);
  std::ignore = zmr_free(out);
  return true;
}

void BM_zmr_signdata(benchmark::State& state) {
  for (auto _ : state) {
    if (!signOnce()) {
      state.SkipWithError("zmr_signdata failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_zmr_signdata)->Threads(1)->Threads(8)->UseRealTime();

void BM_openssl_rsa2048(benchmark::State& state) { zmrbench::opensslRsaSign(state, signkey, data); }
BENCHMARK(BM_openssl_rsa2048)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const double soakSeconds = zmrbench::takeSoakSeconds(argc, argv, 30);
  zmrbench::initializeRepeated(argc, argv);
  if (zmr_initialize() != 0) return 1;
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("bench-signdata", 2);
  if (zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr) != 0 ||
      EVP_PKEY_get_bits(m.pki.merchantSign.key.get()) != 2048)
    return 1;
  signkey = m.pki.merchantSign.key.get();
  if (soakSeconds > 0) {
    const bool ok = zmrbench::soak("soak, zmr_signdata", 8, {0, soakSeconds}, [](int) { return signOnce(); });
    std::ignore = zmr_closesession(session);
    std::ignore = zmr_finalize();
    return ok ? 0 : 1;
  }
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto rate = [&](const char* name, int threads) { return reporter.rate(name, threads); };
  double z1 = rate("BM_zmr_signdata", 1), z8 = rate("BM_zmr_signdata", 8);
  double o1 = rate("BM_openssl_rsa2048", 1), o8 = rate("BM_openssl_rsa2048", 8);
  if (z1 > 0 && o1 > 0) std::printf("zmr_signdata / OpenSSL, 1 thread: %.3f (goal >= 0.88)\n", z1 / o1);
  if (z1 > 0 && z8 > 0) std::printf("zmr_signdata 8 threads / 1 thread: %.2f\n", z8 / z1);
  if (o1 > 0 && o8 > 0) std::printf("OpenSSL 8 threads / 1 thread: %.2f\n", o8 / o1);
  if (z1 > 0 && z8 > 0 && o1 > 0 && o8 > 0)
    std::printf("speed-up of zmr_signdata / speed-up of OpenSSL: %.3f (goal >= 0.9)\n", (z8 / z1) / (o8 / o1));
  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
  return 0;
}
