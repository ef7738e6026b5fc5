// Small form posts over TLS to a loopback stand-in, on 1 and 4 client
// threads, beside a bare OpenSSL loop (connect, handshake, one request,
// read to the end) over the same server and the same session context.
//
// Goals: 4 threads reach at least 3 times the rate of one (no exchange
// waits for another's), and one thread reaches at least 0.9 of the bare
// loop (the client adds little over OpenSSL itself). The stand-in shares
// the machine's cores with the clients. The ratios are printed at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "net/http_lib.h"
#include "store/sessionstore.h"
#include "support/standin.h"
#include "support/storesession.h"

namespace {

const char* kForm = "application/x-www-form-urlencoded; charset=iso-8859-1";
const std::string kBody = "serverversion=5.2.2&action=getStatus&transactionReference=a+b";

struct World {
  zmrtest::TlsTestbed bed = zmrtest::makeTlsTestbed("bench_http");
  std::unique_ptr<zmrtest::StandinServer> server;
  int session = -1;
  zmr::SessionRef state;
  SSL_CTX* ctx = nullptr;
  // The stand-in signs with an EC key: it shares the cores with the
  // clients being measured, and RSA signing would make it the bottleneck.
  zmrtest::TestCert servercert = [this] {
    zmrtest::CertSpec spec = zmrtest::serverSpec();
    spec.keyType = "ec";
    return zmrtest::makeCert(spec, &bed.pki.ca);
  }();
  World() {
    zmrtest::TlsServerOptions tls = bed.good();
    tls.cert = servercert.get();
    tls.key = servercert.key.get();
    server = std::make_unique<zmrtest::StandinServer>(tls);
    server->handle("/RAVUD/MobileMerchantFE", [](const zmrtest::HttpRequest&) {
      zmrtest::HttpResponse r;
      r.body = "statusCode=0&transactionStatus=PENDING";
      return r;
    });
    session = bed.openSession();
    if (session < 0) std::abort();
    state = zmrtest::sessionState(session);
    if (zmr::getmgmfesslcontext(*state, &ctx) != 0) std::abort();
  }
};

World& world() {
  static World w;
  return w;
}

void BM_HttpPost(benchmark::State& state) {
  World& w = world();
  std::string reply;
  for (auto _ : state) {
    int rc = zmr::http_post(*w.state, w.ctx, "127.0.0.1", w.server->port(), "/RAVUD/MobileMerchantFE", kBody, kForm,
                            reply, 10, "ravud");
    if (rc != 0) {
      state.SkipWithError("post failed");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpPost)->Threads(1)->Threads(4)->UseRealTime()->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true);

// The same exchange written directly against OpenSSL, blocking.
bool bareexchange(SSL_CTX* ctx, int port, const std::string& request, std::string& reply) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // as the client does
  bool ok = false;
  SSL* ssl = nullptr;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && (ssl = SSL_new(ctx)) != nullptr &&
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1") == 1 && SSL_set_fd(ssl, fd) == 1 &&
      SSL_connect(ssl) == 1 && SSL_get_verify_result(ssl) == X509_V_OK &&
      SSL_write(ssl, request.data(), static_cast<int>(request.size())) == static_cast<int>(request.size())) {
    reply.clear();
    char buf[4096];
    int n;
    size_t want = std::string::npos;
    while (reply.size() < want && (n = SSL_read(ssl, buf, sizeof buf)) > 0) {
      reply.append(buf, static_cast<size_t>(n));
      size_t end = reply.find("\r\n\r\n");
      size_t cl = reply.find("Content-Length: ");
      if (end != std::string::npos && cl != std::string::npos && cl < end)
        want = end + 4 + std::stoul(reply.substr(cl + 16));
    }
    ok = reply.size() == want;
  }
  SSL_free(ssl);
  ::close(fd);
  return ok;
}

void BM_BareOpenSsl(benchmark::State& state) {
  World& w = world();
  std::string hostport = "127.0.0.1:" + std::to_string(w.server->port());
  std::string request = "POST /RAVUD/MobileMerchantFE HTTP/1.1\r\nhost: " + hostport +
                        "\r\nContent-Length: " + std::to_string(kBody.size()) + "\r\nContent-Type: " + kForm +
                        "\r\nConnection: close\r\nCache-Control: no-cache\r\nUser-Agent: verudeviva/5.2.2\r\n\r\n" +
                        kBody;
  std::string reply;
  for (auto _ : state) {
    if (!bareexchange(w.ctx, w.server->port(), request, reply)) {
      state.SkipWithError("bare exchange failed");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareOpenSsl)->Threads(1)->Threads(4)->UseRealTime()->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true);

// Keeps the median rate of each benchmark (the machine is shared, so one
// repetition can be disturbed) for the ratios printed at the end.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end() && r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        rates[r.run_name.str()] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double one = 0, four = 0, bare = 0;
  for (const auto& [name, rate] : reporter.rates) {
    if (name.rfind("BM_HttpPost", 0) == 0 && name.find("threads:1") != std::string::npos) one = rate;
    if (name.rfind("BM_HttpPost", 0) == 0 && name.find("threads:4") != std::string::npos) four = rate;
    if (name.rfind("BM_BareOpenSsl", 0) == 0 && name.find("threads:1") != std::string::npos) bare = rate;
  }
  if (one > 0 && four > 0) std::printf("4 threads / 1 thread: %.2f (goal >= 3)\n", four / one);
  if (one > 0 && bare > 0) std::printf("client / bare OpenSSL, 1 thread: %.2f (goal >= 0.9 on an idle machine)\n", one / bare);
  world().server->stop();
  benchmark::Shutdown();
  return 0;
}
