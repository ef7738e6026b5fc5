// A console reporter that also keeps each case's items_per_second (the
// median when repeated; bytes_per_second for a case that counts only
// bytes), so that a benchmark program can print the ratios of its cases
// measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace zmrbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it == r.counters.end()) it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      std::string key = r.run_name.function_name + "/" + std::to_string(r.threads);
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medians[key] = it->second.value;
      else if (r.run_type == Run::RT_Iteration)
        single[key] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Items (or bytes) per second of function on that many threads; 0 when
  // not run.
  double rate(const std::string& function, int threads) const {
    std::string key = function + "/" + std::to_string(threads);
    if (auto it = medians.find(key); it != medians.end()) return it->second;
    auto it = single.find(key);
    return it == single.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> medians, single;
};

// benchmark::Initialize with five interleaved repetitions by default, so
// that the ratios compare medians; flags on the command line still win.
inline void initializeRepeated(int argc, char** argv) {
  std::vector<char*> args = {argv[0], const_cast<char*>("--benchmark_repetitions=5"),
                             const_cast<char*>("--benchmark_enable_random_interleaving=true")};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
}

}  // namespace zmrbench
