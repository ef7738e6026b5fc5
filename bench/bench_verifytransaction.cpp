// Complete NC_ZMR20 authentications (zmr_inittransaction,
// zmr_verifytransactionrequest, zmr_verifytransactionresponse) beside
// OpenSSL's RSA-2048 private-key operation, on one thread. The validation
// authority is a plain loopback stand-in serving one ready good answer.
// An authentication costs five private-key operations of the merchant
// (init: unwrapping the client's key, signing its challenge, signing the
// channel; verification: unwrapping the key, signing the OCSP request), so
// the goal is at least 0.7 of a fifth of OpenSSL's rate: what the library
// adds (decryption, forms, PKCS#7 and chain checks, the OCSP exchange and
// its checks, info items) should stay below the cryptography. The client's
// work between the calls (opening the answer, signing the server
// challenge, encrypting its request) is not timed.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <zmr/zmr.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "opensslrsa.h"
#include "ratioreporter.h"
#include "support/fixtures.h"
#include "support/merchant.h"
#include "support/txclient.h"
#include "support/vastandin.h"

namespace {

namespace tx = zmrtest::tx;

struct World {
  zmrtest::MerchantFiles merchant = zmrtest::makeMerchantFiles("bench-verifytransaction", 1);
  zmrtest::StandinServer va;
  std::string answer;  // the ready OCSP response
  std::unique_ptr<zmrtest::TxClient> client;
  int session = -1;

  bool start() {
    client = std::make_unique<zmrtest::TxClient>(merchant.pki, "merchant.example,127.0.0.1");
    answer = zmrtest::makeOcspResponseDer(
        zmrtest::ocspFor(merchant.pki.responder, client->user().auth.get(), merchant.pki.ca.get()));
    va.handle("/", [this](const zmrtest::HttpRequest&) { return zmrtest::VaStandin::reply(answer); });
    zmrtest::Properties properties = zmrtest::standardProperties(merchant.truststore);
    properties.emplace_back("vaport", std::to_string(va.port()));
    properties.emplace_back("vassldisabled", "true");
    return zmrtest::writePropertiesFile(merchant.properties, properties) && zmr_initialize() == 0 &&
           zmr_opensession(&session, merchant.keyfile.c_str(), merchant.password.c_str(), merchant.properties.c_str(),
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0 &&
           EVP_PKEY_get_bits(merchant.pki.merchantAuth.key.get()) == 2048;
  }
};

World* world = nullptr;

using Clock = std::chrono::steady_clock;

// The calling thread's CPU time in seconds.
double threadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One authentication per iteration. With cpu, the iteration's time is the
// calling thread's CPU time in the library's calls (what the library costs
// on a machine whose other cores are busy); else their wall-clock time.
// Counters: CPU milliseconds of each call.
void authentications(benchmark::State& state, bool cpu) {
  const zmrtest::TxClient& client = *world->client;
  const int session = world->session;
  const zmrtest::TxRequest init = client.request("initAuth", client.authFields(zmrtest::Carrier::nczmr20));
  double initCpu = 0, verifyCpu = 0, responseCpu = 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    const double c0 = threadCpu();
    char* out = nullptr;
    if (zmr_removeinfoitems(session) != 0 || zmr_setinfoitem(session, "traceId", "trace-0001") != 0 ||
        zmr_inittransaction(session, init.envelope.encKey.c_str(), init.envelope.encData.c_str(),
                            init.envelope.encAuth.c_str(), init.operation.c_str(), nullptr, &out) != 0) {
      state.SkipWithError("zmr_inittransaction failed");
      break;
    }
    const double c1 = threadCpu();
    const Clock::time_point t1 = Clock::now();

    // The client, untimed: the server challenge out of the answer, its
    // signature, the encrypted verification request.
    std::string plain, challenge;
    tx::Form fields;
    const bool opened = tx::openAnswer(init.basekey, out, plain) && tx::parseForm(plain, fields) &&
                        tx::unb64(tx::field(fields, "serverChallenge").value_or(""), challenge);
    zmr_free(out);
    if (!opened) {
      state.SkipWithError("the answer does not open");
      break;
    }
    zmrtest::TxAnswer a;
    a.serverChallenge = challenge;
    const zmrtest::TxRequest v = client.request("verifyAuth", client.verifyAuthFields(init, a));

    const Clock::time_point t2 = Clock::now();
    const double c2 = threadCpu();
    if (zmrtest::verifyTransaction(session, v) != 0) {
      state.SkipWithError("zmr_verifytransactionrequest failed");
      break;
    }
    const double c3 = threadCpu();
    if (zmr_verifytransactionresponse(session, &out) != 0) {
      state.SkipWithError("zmr_verifytransactionresponse failed");
      break;
    }
    zmr_free(out);
    const double c4 = threadCpu();
    const Clock::time_point t3 = Clock::now();
    initCpu += c1 - c0;
    verifyCpu += c3 - c2;
    responseCpu += c4 - c3;
    state.SetIterationTime(cpu ? (c1 - c0) + (c4 - c2) : std::chrono::duration<double>((t1 - t0) + (t3 - t2)).count());
  }
  state.SetItemsProcessed(state.iterations());
  const double n = state.iterations() > 0 ? static_cast<double>(state.iterations()) / 1000 : 1;
  state.counters["init_cpu_ms"] = initCpu / n;
  state.counters["verify_cpu_ms"] = verifyCpu / n;
  state.counters["response_cpu_ms"] = responseCpu / n;
}

void BM_zmr_authentication(benchmark::State& state) { authentications(state, false); }
BENCHMARK(BM_zmr_authentication)->UseManualTime();
void BM_zmr_authentication_cpu(benchmark::State& state) { authentications(state, true); }
BENCHMARK(BM_zmr_authentication_cpu)->UseManualTime();

void BM_openssl_rsa2048(benchmark::State& state) {
  zmrbench::opensslRsaSign(state, world->merchant.pki.merchantAuth.key.get(), std::string(64, 'd'));
}
BENCHMARK(BM_openssl_rsa2048)->UseRealTime();
// The same rate in the thread's CPU time.
void BM_openssl_rsa2048_cpu(benchmark::State& state) { BM_openssl_rsa2048(state); }
BENCHMARK(BM_openssl_rsa2048_cpu);

// Decoding the client's PKCS#7 (its certificate and the issuing CA) with
// OpenSSL, for scale: OpenSSL 3.0 decodes certificates slowly, and a
// verification decodes the client's signature and the authority's answer.
void BM_openssl_d2i_client_pkcs7(benchmark::State& state) {
  std::string der;
  const zmrtest::TestCert& signer = world->client->user().auth;
  if (!tx::unb64(world->client->userSignature("challenge", signer), der)) {
    state.SkipWithError("no PKCS#7");
    return;
  }
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    if (p7 == nullptr) {
      state.SkipWithError("d2i_PKCS7 failed");
      break;
    }
    PKCS7_free(p7);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_openssl_d2i_client_pkcs7);

// One whole authentication judged by the client first: the benchmark
// measures answers that are right.
bool checkedOnce(World& w) {
  zmrtest::MerchantItems items;
  const zmrtest::TxRequest init = w.client->request("initAuth", w.client->authFields(zmrtest::Carrier::nczmr20));
  std::string answer;
  if (zmr_removeinfoitems(w.session) != 0 || items.apply(w.session) != 0 ||
      zmrtest::initTransaction(w.session, init, answer) != 0)
    return false;
  const zmrtest::TxAnswer a = w.client->check(init, answer, items);
  if (!a.ok) return false;
  const zmrtest::TxRequest v = w.client->request("verifyAuth", w.client->verifyAuthFields(init, a));
  return zmrtest::verifyTransaction(w.session, v) == 0 && zmrtest::verifyResponse(w.session, answer) == 0 &&
         w.client->checkResponse(init, v, answer, {}).ok;
}

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  World w;
  if (!w.start() || !checkedOnce(w)) {
    std::fprintf(stderr, "set-up failed\n");
    return 1;
  }
  world = &w;
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double z = reporter.rate("BM_zmr_authentication", 1), o = reporter.rate("BM_openssl_rsa2048", 1);
  const double zc = reporter.rate("BM_zmr_authentication_cpu", 1), oc = reporter.rate("BM_openssl_rsa2048_cpu", 1);
  if (z > 0 && o > 0) std::printf("authentications / (OpenSSL / 5): %.3f (goal >= 0.7)\n", z / (o / 5));
  if (const double d = reporter.rate("BM_openssl_d2i_client_pkcs7", 1); d > 0 && oc > 0)
    std::printf("one decode of the client's PKCS#7 costs %.2f RSA-2048 signatures of CPU time\n", oc / d);
  if (zc > 0 && oc > 0)
    std::printf("in CPU time of the calling thread: %.3f (the stand-in's work and the waits left out)\n",
                zc / (oc / 5));
  zmr_closesession(w.session);
  zmr_finalize();
  return 0;
}
