// OpenSSL's own RSA private-key operation (a SHA-256 signature over a short
// text), the reference rate the transaction benchmarks are judged by.
#pragma once

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

namespace zmrbench {

// Signs data with key once per iteration; items per second are signatures.
inline void opensslRsaSign(benchmark::State& state, EVP_PKEY* key, const std::string& data) {
  unsigned char signature[512];
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t n = sizeof signature;
    if (ctx == nullptr || EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx, signature, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
      EVP_MD_CTX_free(ctx);
      state.SkipWithError("EVP_DigestSign failed");
      break;
    }
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(signature);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace zmrbench
