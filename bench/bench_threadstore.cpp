// Info-item push and lookup on 1 and 8 threads. The stores are per thread
// and lock-free, so the 8-thread rate should be close to 8 times one.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

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

BENCHMARK_MAIN();
