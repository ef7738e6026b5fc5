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
//
// The same on 8 threads beside OpenSSL's 8-thread rate: the library's
// speed-up should come near OpenSSL's own (goal 0.8 of it). Two runs watch
// memory instead of speed (no benchmark then): --soak, whole
// authentications on 8 threads against a validation authority that keeps
// no record of its requests, and --rss_threads, one authentication on each
// of 64 threads at once, with the peak resident set it took.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <zmr/zmr.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "opensslrsa.h"
#include "ratioreporter.h"
#include "soak.h"
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
  // For the soak: a validation authority that takes each request apart and
  // answers it afresh, keeping nothing.
  std::unique_ptr<zmrtest::VaStandin> recordless;
  std::unique_ptr<zmrtest::TxClient> client;
  int session = -1;

  bool start(bool answerAfresh) {
    client = std::make_unique<zmrtest::TxClient>(merchant.pki, "merchant.example,127.0.0.1");
    answer = zmrtest::makeOcspResponseDer(
        zmrtest::ocspFor(merchant.pki.responder, client->user().auth.get(), merchant.pki.ca.get()));
    va.handle("/", [this](const zmrtest::HttpRequest&) { return zmrtest::VaStandin::reply(answer); });
    // Nothing here reads the requests back: keeping them would grow the
    // process by every call.
    va.keepRequests(false);
    int port = va.port();
    if (answerAfresh) {
      recordless = std::make_unique<zmrtest::VaStandin>(merchant.pki);
      recordless->keepRequests(false);
      port = recordless->port();
    }
    zmrtest::Properties properties = zmrtest::standardProperties(merchant.truststore);
    properties.emplace_back("vaport", std::to_string(port));
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

// The merchant's first call: the thread's items set again, then
// zmr_inittransaction; out receives its answer.
bool initCall(int session, const zmrtest::TxRequest& init, char** out) {
  return zmr_removeinfoitems(session) == 0 && zmr_setinfoitem(session, "traceId", "trace-0001") == 0 &&
         zmr_inittransaction(session, init.envelope.encKey.c_str(), init.envelope.encData.c_str(),
                             init.envelope.encAuth.c_str(), init.operation.c_str(), nullptr, out) == 0;
}

// The client between the calls: the server challenge out of the answer
// (freed here), its signature, the encrypted verification request. False
// when the answer does not open.
bool clientVerification(const zmrtest::TxClient& client, const zmrtest::TxRequest& init, char* answer,
                        zmrtest::TxRequest& v) {
  std::string plain, challenge;
  tx::Form fields;
  const bool opened = tx::openAnswer(init.basekey, answer, plain) && tx::parseForm(plain, fields) &&
                      tx::unb64(tx::field(fields, "serverChallenge").value_or(""), challenge);
  std::ignore = zmr_free(answer);
  if (!opened) return false;
  zmrtest::TxAnswer a;
  a.serverChallenge = challenge;
  v = client.request("verifyAuth", client.verifyAuthFields(init, a));
  return true;
}

// One whole authentication, nothing timed.
bool authenticate(const World& w, const zmrtest::TxRequest& init) {
  char* out = nullptr;
  zmrtest::TxRequest v;
  if (!initCall(w.session, init, &out) || !clientVerification(*w.client, init, out, v) ||
      zmrtest::verifyTransaction(w.session, v) != 0 || zmr_verifytransactionresponse(w.session, &out) != 0)
    return false;
  std::ignore = zmr_free(out);
  return true;
}

// One authentication per iteration. With cpu, the iteration's time is the
// calling thread's CPU time in the library's calls (what the library costs
// on a machine whose other cores are busy); else their wall-clock time.
// Counters: CPU milliseconds of each call (the threads' mean).
void authentications(benchmark::State& state, bool cpu) {
  const zmrtest::TxClient& client = *world->client;
  const int session = world->session;
  const zmrtest::TxRequest init = client.request("initAuth", client.authFields(zmrtest::Carrier::nczmr20));
  double initCpu = 0, verifyCpu = 0, responseCpu = 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    const double c0 = threadCpu();
    char* out = nullptr;
    if (!initCall(session, init, &out)) {
      state.SkipWithError("zmr_inittransaction failed");
      break;
    }
    const double c1 = threadCpu();
    const Clock::time_point t1 = Clock::now();

    zmrtest::TxRequest v;  // the client, untimed
    if (!clientVerification(client, init, out, v)) {
      state.SkipWithError("the answer does not open");
      break;
    }

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
    std::ignore = zmr_free(out);
    const double c4 = threadCpu();
    const Clock::time_point t3 = Clock::now();
    initCpu += c1 - c0;
    verifyCpu += c3 - c2;
    responseCpu += c4 - c3;
    state.SetIterationTime(cpu ? (c1 - c0) + (c4 - c2) : std::chrono::duration<double>((t1 - t0) + (t3 - t2)).count());
  }
  state.SetItemsProcessed(state.iterations());
  const double n = state.iterations() > 0 ? static_cast<double>(state.iterations()) / 1000 : 1;
  state.counters["init_cpu_ms"] = benchmark::Counter(initCpu / n, benchmark::Counter::kAvgThreads);
  state.counters["verify_cpu_ms"] = benchmark::Counter(verifyCpu / n, benchmark::Counter::kAvgThreads);
  state.counters["response_cpu_ms"] = benchmark::Counter(responseCpu / n, benchmark::Counter::kAvgThreads);
}

void BM_zmr_authentication(benchmark::State& state) { authentications(state, false); }
BENCHMARK(BM_zmr_authentication)->UseManualTime();
// Each thread its own client's request; the stand-in serves each
// connection on a thread of its own, on the same cores.
BENCHMARK(BM_zmr_authentication)->Threads(8)->UseManualTime();
void BM_zmr_authentication_cpu(benchmark::State& state) { authentications(state, true); }
BENCHMARK(BM_zmr_authentication_cpu)->UseManualTime();

void BM_openssl_rsa2048(benchmark::State& state) {
  zmrbench::opensslRsaSign(state, world->merchant.pki.merchantAuth.key.get(), std::string(64, 'd'));
}
BENCHMARK(BM_openssl_rsa2048)->UseRealTime();
BENCHMARK(BM_openssl_rsa2048)->Threads(8)->UseRealTime();
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

// Whole authentications on 8 threads, each with its own client's request,
// against the validation authority that keeps nothing.
bool soakRun(const World& w, long calls) {
  std::vector<zmrtest::TxRequest> inits;
  for (int t = 0; t < 8; ++t)
    inits.push_back(w.client->request("initAuth", w.client->authFields(zmrtest::Carrier::nczmr20)));
  return zmrbench::soak("soak, whole authentications", 8, {calls, 0},
                        [&](int thread) { return authenticate(w, inits[static_cast<size_t>(thread)]); });
}

// One authentication on each of threads threads at once (they start
// together), and the peak resident set the process reached.
bool rssRun(const World& w, int threads) {
  std::vector<zmrtest::TxRequest> inits;
  for (int t = 0; t < threads; ++t)
    inits.push_back(w.client->request("initAuth", w.client->authFields(zmrtest::Carrier::nczmr20)));
  const double before = zmrbench::residentBytes();
  const bool reset = zmrbench::resetPeakResident();
  std::barrier start(threads);
  std::atomic<int> failed{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      start.arrive_and_wait();
      if (!authenticate(w, inits[static_cast<size_t>(t)])) failed.fetch_add(1);
    });
  for (std::thread& t : pool) t.join();
  const double peak = zmrbench::peakResidentBytes(), after = zmrbench::residentBytes();
  std::printf(
      "%d threads, one authentication each: RSS before %.1f MB, peak %.1f MB%s, after %.1f MB; "
      "peak over before %.1f MB (%.0f KB a thread)%s\n",
      threads, zmrbench::megabytes(before), zmrbench::megabytes(peak),
      reset ? "" : " (the peak since the start: it could not be reset)", zmrbench::megabytes(after),
      zmrbench::megabytes(peak - before), (peak - before) / 1024 / threads, failed.load() > 0 ? ", SOME FAILED" : "");
  return failed.load() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string value;
  long soakCalls = 0;
  int rssThreads = 0;
  if (zmrbench::takeOption(argc, argv, "--soak", value)) soakCalls = value.empty() ? 100000 : std::atol(value.c_str());
  if (zmrbench::takeOption(argc, argv, "--rss_threads", value))
    rssThreads = value.empty() ? 64 : std::atoi(value.c_str());
  zmrbench::initializeRepeated(argc, argv);
  World w;
  if (!w.start(soakCalls > 0) || !checkedOnce(w)) {
    std::fprintf(stderr, "set-up failed\n");
    return 1;
  }
  if (soakCalls > 0 || rssThreads > 0) {
    const bool ok = (soakCalls <= 0 || soakRun(w, soakCalls)) && (rssThreads <= 0 || rssRun(w, rssThreads));
    std::ignore = zmr_closesession(w.session);
    std::ignore = zmr_finalize();
    return ok ? 0 : 1;
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
    std::printf("in CPU time of the calling thread: %.3f (the stand-in's work and the waits left out; goal >= 0.75)\n",
                zc / (oc / 5));
  const double z8 = reporter.rate("BM_zmr_authentication", 8), o8 = reporter.rate("BM_openssl_rsa2048", 8);
  if (z > 0 && z8 > 0) std::printf("authentications 8 threads / 1 thread: %.2f\n", z8 / z);
  if (o > 0 && o8 > 0) std::printf("OpenSSL RSA-2048 8 threads / 1 thread: %.2f\n", o8 / o);
  if (z > 0 && z8 > 0 && o > 0 && o8 > 0)
    std::printf("authentication speed-up / OpenSSL's: %.3f (goal >= 0.8)\n", (z8 / z) / (o8 / o));
  std::ignore = zmr_closesession(w.session);
  std::ignore = zmr_finalize();
  return 0;
}
