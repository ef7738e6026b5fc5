// Long runs that watch the process's memory instead of its speed: one
// operation called over and over on several threads of their own, with the
// resident set read before, after the first tenth of the run and at the
// end. A library that keeps something per call grows between the last two
// readings; a warm-up (thread stores, allocator arenas, OpenSSL's caches)
// shows only between the first two.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zmrbench {

// Resident set in bytes, from /proc/self/statm; 0 when unreadable.
inline double residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Peak resident set (VmHWM) in bytes, from /proc/self/status; 0 when unreadable.
inline double peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) * 1024;  // in kB
  }
  return 0;
}

// Sets the peak resident set back to the current one, so that a later
// peakResidentBytes() covers only what follows; false where the kernel
// does not allow it.
inline bool resetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

inline double megabytes(double bytes) { return bytes / (1 << 20); }

// Takes "--name" or "--name=value" out of argv (so that Google Benchmark
// does not see it). Returns whether it was there; value receives the text
// after '=' ("" when none).
inline bool takeOption(int& argc, char** argv, const char* name, std::string& value) {
  const size_t n = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, n) != 0 || (argv[i][n] != '\0' && argv[i][n] != '=')) continue;
    value = argv[i][n] == '=' ? argv[i] + n + 1 : "";
    for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
    --argc;
    return true;
  }
  return false;
}

// How long a soak runs: so many calls in all, or so many seconds.
struct SoakLimit {
  long calls = 0;
  double seconds = 0;
};

// Calls op(thread) on threads threads of their own until the limit, each
// thread with its own index; stops at the first failing call. Prints the
// resident set at the start, after the first tenth (of the calls or of the
// time) and at the end, and whether the last two stay within 2 MB. True
// when every call succeeded and the run stayed flat.
inline bool soak(const char* what, int threads, SoakLimit limit, const std::function<bool(int)>& op) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const bool byCalls = limit.calls > 0;
  const long checkpointCalls = limit.calls / 10;
  const double checkpointSeconds = limit.seconds / 10;
  std::atomic<long> issued{0}, done{0};
  std::atomic<bool> failed{false}, checkpointTaken{false};
  std::atomic<double> atCheckpoint{0};
  const double atStart = residentBytes();
  std::printf("%s: %d threads, %s; RSS at start %.1f MB\n", what, threads,
              byCalls ? (std::to_string(limit.calls) + " calls").c_str()
                      : (std::to_string(static_cast<long>(limit.seconds)) + " s").c_str(),
              megabytes(atStart));
  std::fflush(stdout);

  auto worker = [&](int thread) {
    while (!failed.load()) {
      if (byCalls ? issued.fetch_add(1) >= limit.calls : elapsed() >= limit.seconds) return;
      if (!op(thread)) {
        failed.store(true);
        return;
      }
      const long n = done.fetch_add(1) + 1;
      const bool due = byCalls ? n >= checkpointCalls : elapsed() >= checkpointSeconds;
      if (due && !checkpointTaken.exchange(true)) {
        atCheckpoint.store(residentBytes());
        std::printf("%s: RSS after %ld calls %.1f MB\n", what, n, megabytes(atCheckpoint.load()));
        std::fflush(stdout);
      }
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(worker, t);
  for (std::thread& t : pool) t.join();

  const double atEnd = residentBytes();
  const double growth = atEnd - atCheckpoint.load();
  const bool flat = checkpointTaken.load() && growth <= 2.0 * (1 << 20);
  std::printf("%s: RSS at the end %.1f MB after %ld calls (%+.2f MB since the checkpoint): %s\n", what,
              megabytes(atEnd), done.load(), megabytes(growth),
              failed.load() ? "a call FAILED"
              : flat        ? "flat within 2 MB"
                            : "NOT flat within 2 MB");
  return !failed.load() && flat;
}

// Reads the soak option of a benchmark program that soaks for a time:
// "--soak" gives default seconds, "--soak=S" S seconds. 0 when absent.
inline double takeSoakSeconds(int& argc, char** argv, double defaultSeconds) {
  std::string value;
  if (!takeOption(argc, argv, "--soak", value)) return 0;
  const double s = value.empty() ? defaultSeconds : std::strtod(value.c_str(), nullptr);
  return s > 0 ? s : defaultSeconds;
}

}  // namespace zmrbench
