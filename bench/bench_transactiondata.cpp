// Client messages decrypted and answered (decryption, then the encrypted
// answer under the client's base key) against OpenSSL's own RSA-2048
// private-key operation with the same key, measured in the same run. The
// unwrapping is the cost of both; the scheme's MACs, AES and base64 should
// add little: goal >= 0.9 on one thread. The same through the exported
// function is shown beside it: its argument frame probes every pointer with
// a system call, which the merchant pays once per call whatever the
// operation. Each case runs five times by default, interleaved at random,
// and the medians are compared.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ratioreporter.h"
#include "services/transactiondata/transactiondataops.h"
#include "support/merchant.h"
#include "support/txscheme.h"

namespace {

int session = -1;
EVP_PKEY* authkey = nullptr;
zmrtest::tx::Envelope message;
std::string wrapped;
const std::string operation = "initAuth";
const std::string answer = "serverChallenge=" + std::string(200, 's') + "&status=OK";

void BM_decrypt_and_answer(benchmark::State& state) {
  for (auto _ : state) {
    std::string out;
    zmr::SecretString plain, basekey;
    if (zmr::decrypttransactiondata(session, message.encKey, message.encData, message.encAuth, operation,
                                    std::nullopt, plain, basekey) != 0 ||
        zmr::encrypt_response(session, answer, basekey.value, out) != 0) {
      state.SkipWithError("decryption or answer failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_decrypt_and_answer)->UseRealTime();

void BM_exported_decrypt_and_answer(benchmark::State& state) {
  for (auto _ : state) {
    char* data = nullptr;
    char* basekey = nullptr;
    std::string out;
    if (zmr_decrypttransactiondata(session, message.encKey.c_str(), message.encData.c_str(), message.encAuth.c_str(),
                                   operation.c_str(), nullptr, &data, &basekey) != 0 ||
        zmr::encrypt_response(session, answer, basekey, out) != 0) {
      state.SkipWithError("decryption or answer failed");
      break;
    }
    benchmark::DoNotOptimize(out);
    std::ignore = zmr_free(data);
    std::ignore = zmr_free(basekey);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_exported_decrypt_and_answer)->UseRealTime();

// The reference: one PKCS#1 v1.5 decryption of the same block, on a context
// made once.
void BM_openssl_rsa2048_decrypt(benchmark::State& state) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(authkey, nullptr);
  if (ctx == nullptr || EVP_PKEY_decrypt_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1) {
    state.SkipWithError("no RSA context");
    EVP_PKEY_CTX_free(ctx);
    return;
  }
  unsigned char out[512];
  for (auto _ : state) {
    size_t n = sizeof out;
    if (EVP_PKEY_decrypt(ctx, out, &n, reinterpret_cast<const unsigned char*>(wrapped.data()), wrapped.size()) != 1) {
      state.SkipWithError("EVP_PKEY_decrypt failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_openssl_rsa2048_decrypt)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  if (zmr_initialize() != 0) return 1;
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("bench-transactiondata", 2);
  if (zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr) != 0)
    return 1;
  authkey = m.pki.merchantAuth.key.get();
  if (EVP_PKEY_get_bits(authkey) != 2048) return 1;
  message = zmrtest::tx::clientRequest(authkey, "clientChallenge=" + std::string(40, 'c') + "&carrier=NC_ZMR20",
                                       operation, std::nullopt);
  if (!zmrtest::tx::unb64(message.encKey, wrapped)) return 1;

  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double ours = reporter.rate("BM_decrypt_and_answer", 1);
  double exported = reporter.rate("BM_exported_decrypt_and_answer", 1);
  double openssl = reporter.rate("BM_openssl_rsa2048_decrypt", 1);
  if (ours > 0 && openssl > 0)
    std::printf("decrypted and answered / OpenSSL RSA-2048 private, 1 thread: %.3f (goal >= 0.9)\n", ours / openssl);
  if (exported > 0 && openssl > 0)
    std::printf("the same through zmr_decrypttransactiondata / OpenSSL: %.3f\n", exported / openssl);
  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
  return 0;
}
