// zmr_inittransaction for an NC_ZMR20 authentication beside OpenSSL's own
// RSA-2048 private-key operation with the same key, on 1 and 8 threads. An
// authentication costs three private-key operations (unwrapping the
// client's key, signing its challenge, signing the channel), so the goal is
// at least 0.9 of a third of OpenSSL's rate; what the library adds
// (decryption, forms, PKCS#7, hashing, info items) should stay small, and
// threads must not wait on one another (8 threads at least 6 times one).
// Each thread sends its own client's request; each iteration starts from a
// clean thread store, as a merchant does between transactions.
//
// --soak[=S] runs no benchmark: the same calls on 8 threads for S seconds
// (30 by default), with the resident set printed at the start, after a
// tenth of the time and at the end.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "opensslrsa.h"
#include "ratioreporter.h"
#include "soak.h"
#include "support/merchant.h"
#include "support/txclient.h"

namespace {

int session = -1;
EVP_PKEY* authkey = nullptr;
std::unique_ptr<zmrtest::TxClient> client;

// The thread's items set again, then zmr_inittransaction; its answer is
// freed.
bool initOnce(const zmrtest::TxRequest& r) {
  char* out = nullptr;
  if (zmr_removeinfoitems(session) != 0 || zmr_setinfoitem(session, "traceId", "trace-0001") != 0 ||
      zmr_inittransaction(session, r.envelope.encKey.c_str(), r.envelope.encData.c_str(), r.envelope.encAuth.c_str(),
                          r.operation.c_str(), nullptr, &out) != 0)
    return false;
  benchmark::DoNotOptimize(out);
  std::ignore = zmr_free(out);
  return true;
}

void BM_zmr_inittransaction_auth(benchmark::State& state) {
  const zmrtest::TxRequest r = client->request("initAuth", client->authFields(zmrtest::Carrier::nczmr20));
  for (auto _ : state) {
    if (!initOnce(r)) {
      state.SkipWithError("zmr_inittransaction failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_zmr_inittransaction_auth)->Threads(1)->Threads(8)->UseRealTime();

void BM_openssl_rsa2048(benchmark::State& state) {
  zmrbench::opensslRsaSign(state, authkey, std::string(64, 'd'));
}
BENCHMARK(BM_openssl_rsa2048)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const double soakSeconds = zmrbench::takeSoakSeconds(argc, argv, 30);
  zmrbench::initializeRepeated(argc, argv);
  if (zmr_initialize() != 0) return 1;
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("bench-inittransaction", 1);
  if (zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr) != 0 ||
      EVP_PKEY_get_bits(m.pki.merchantAuth.key.get()) != 2048)
    return 1;
  authkey = m.pki.merchantAuth.key.get();
  client = std::make_unique<zmrtest::TxClient>(m.pki, "merchant.example,127.0.0.1");
  // One transaction checked by the client first: the benchmark measures
  // answers that are right.
  zmrtest::MerchantItems items;
  zmrtest::TxRequest r = client->request("initAuth", client->authFields(zmrtest::Carrier::nczmr20));
  std::string answer;
  if (items.apply(session) != 0 || zmrtest::initTransaction(session, r, answer) != 0 ||
      !client->check(r, answer, items).ok)
    return 1;
  if (soakSeconds > 0) {
    std::vector<zmrtest::TxRequest> requests;  // each thread its own client's
    for (int t = 0; t < 8; ++t)
      requests.push_back(client->request("initAuth", client->authFields(zmrtest::Carrier::nczmr20)));
    const bool ok = zmrbench::soak("soak, zmr_inittransaction", 8, {0, soakSeconds},
                                   [&](int t) { return initOnce(requests[static_cast<size_t>(t)]); });
    std::ignore = zmr_closesession(session);
    std::ignore = zmr_finalize();
    return ok ? 0 : 1;
  }
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto rate = [&](const char* name, int threads) { return reporter.rate(name, threads); };
  double z1 = rate("BM_zmr_inittransaction_auth", 1), z8 = rate("BM_zmr_inittransaction_auth", 8);
  double o1 = rate("BM_openssl_rsa2048", 1), o8 = rate("BM_openssl_rsa2048", 8);
  if (z1 > 0 && o1 > 0)
    std::printf("zmr_inittransaction / (OpenSSL / 3), 1 thread: %.3f (goal >= 0.9)\n", z1 / (o1 / 3));
  if (z1 > 0 && z8 > 0) std::printf("zmr_inittransaction 8 threads / 1 thread: %.2f (goal >= 6)\n", z8 / z1);
  if (o1 > 0 && o8 > 0) std::printf("OpenSSL 8 threads / 1 thread: %.2f\n", o8 / o1);
  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
  return 0;
}
