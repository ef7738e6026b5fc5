// zmr_hashdata on 1 MiB against OpenSSL doing the same work (base64
// decoding, SHA-256, base64 encoding) in the same run, and the ratio of the
// two printed at the end (goal at least 0.9); and the time to open a
// merchant session from its files.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ratioreporter.h"
#include "support/merchant.h"

namespace {

struct Setup {
  Setup() {
    std::ignore = zmr_initialize();
    files = zmrtest::makeMerchantFiles("bench-hash");
    std::ignore = zmr_opensession(&session, files.keyfile.c_str(), files.password.c_str(), files.properties.c_str(), nullptr,
                    nullptr, nullptr, nullptr, nullptr, nullptr);
    std::vector<unsigned char> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
    text.resize(4 * ((data.size() + 2) / 3) + 1);
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(), static_cast<int>(data.size()));
    text.resize(n);
  }
  zmrtest::MerchantFiles files;
  int session = -1;
  std::string text;
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_ZmrHashData(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    char* digest = nullptr;
    if (zmr_hashdata(s.session, &digest, ZMR_HASH_SHA256, s.text.c_str()) != 0) state.SkipWithError("hashdata");
    std::ignore = zmr_free(digest);
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_ZmrHashData);

void BM_OpensslSameWork(benchmark::State& state) {
  Setup& s = setup();
  std::vector<unsigned char> bytes(s.text.size());
  for (auto _ : state) {
    int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(s.text.data()),
                            static_cast<int>(s.text.size()));
    unsigned char md[32];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), n - 2, md, &len, EVP_sha256(), nullptr);  // "==" pads two bytes
    unsigned char out[64];
    EVP_EncodeBlock(out, md, static_cast<int>(len));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_OpensslSameWork);

void BM_OpenSession(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    int number = -1;
    if (zmr_opensession(&number, s.files.keyfile.c_str(), s.files.password.c_str(), s.files.properties.c_str(),
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0)
      state.SkipWithError("opensession");
    std::ignore = zmr_closesession(number);
  }
}
BENCHMARK(BM_OpenSession)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double z = reporter.rate("BM_ZmrHashData", 1), o = reporter.rate("BM_OpensslSameWork", 1);
  if (z > 0 && o > 0) std::printf("zmr_hashdata / OpenSSL's same work, 1 MiB: %.3f (goal >= 0.9)\n", z / o);
  benchmark::Shutdown();
  return 0;
}
