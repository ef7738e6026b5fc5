// Info-item push and lookup on 1 and 8 threads, all on one shared session.
// The stores are per thread and lock-free, so the 8-thread rate should be
// close to 8 times one; the ratio is printed at the end (goal at least 6).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ratioreporter.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"

namespace {

int session = zmrtest::openStoreSession();

void BM_InfoItemPushLookup(benchmark::State& state) {
  std::vector<std::string> keys;
  for (int i = 0; i < 50; ++i) keys.push_back("ResponseField" + std::to_string(i));
  std::string value;
  for (auto _ : state) {
    for (const auto& k : keys) zmr::pushinfoitem(session, k, "some value of moderate length");
    for (const auto& k : keys) {
      zmr::popinfoitem(session, k, value);
      benchmark::DoNotOptimize(value.data());
    }
    zmr::removeallinfoitems(session);
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_InfoItemPushLookup)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double one = reporter.rate("BM_InfoItemPushLookup", 1), eight = reporter.rate("BM_InfoItemPushLookup", 8);
  if (one > 0 && eight > 0) std::printf("info items 8 threads / 1 thread: %.2f (goal >= 6)\n", eight / one);
  benchmark::Shutdown();
  return 0;
}
