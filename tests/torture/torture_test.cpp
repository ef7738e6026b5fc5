// The allocation-failure torture: the sequence of tests/torture/sequence.cpp
// with its nth allocation (operator new, OpenSSL's, malloc / calloc /
// realloc) failing, for every n until it completes, each n in a process of
// its own. Every call that gives 0 hands out a correct result, every call
// that needs nothing that failed gives 0, a fresh start-up, opening and
// signing work afterwards, and (in the address-sanitizer tree, warm)
// nothing leaks. ZMR_TORTURE_SHARD=i/k runs every k-th n from i on, for ctest to
// run the shards side by side.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "allocfail/failingalloc.h"
#include "torture/sequence.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define TORTURE_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define TORTURE_LEAK_CHECK 1
#endif
#endif

namespace {

using torture::Fixtures;
using torture::Run;

struct Shard {
  unsigned index = 0, count = 1;
};

Shard shard() {
  Shard s;
  const char* text = std::getenv("ZMR_TORTURE_SHARD");
  if (text == nullptr || std::sscanf(text, "%u/%u", &s.index, &s.count) != 2 || s.count == 0 || s.index >= s.count)
    return Shard{};
  return s;
}

// The fixtures, made and checked by a first run of the sequence in a child
// process, so that this one stays untouched; nullopt with the reason.
std::optional<Fixtures> fixtures(std::string& why) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string out;
    try {
      Fixtures f = torture::makefixtures();
      Run r(f);
      r.recording = true;
      std::string fault = torture::runsequence(r);
      if (fault.empty()) fault = torture::worksafterwards(r);
      out = fault.empty() ? "+" + f.serialize() : "-the sequence without failures: " + fault;
    } catch (const std::exception& e) {
      out = std::string("-making the fixtures: ") + e.what();
    }
    for (size_t done = 0; done < out.size();) {
      ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (text.empty() || text[0] != '+') {
    why = text.empty() ? "the fixture process ended with status " + std::to_string(status) : text.substr(1);
    return std::nullopt;
  }
  return Fixtures::parse(text.substr(1));
}

std::string leaks() {
#if defined(TORTURE_LEAK_CHECK)
  if (__lsan_do_recoverable_leak_check() != 0) return "leaks (the report is above)";
#endif
  return "";
}

allocfail::Outcome tortured(Fixtures& f, uint64_t n, bool cold) {
  allocfail::Outcome o;
  Run r(f);
  r.cold = cold;
  allocfail::arm(allocfail::kAll, n);
  o.fault = torture::runsequence(r);
  o.reached = allocfail::disarm();
  if (o.fault.empty()) o.fault = torture::worksafterwards(r);
  // Cold, OpenSSL leaks by itself where one of its own first-time set-ups
  // fails (its start-up; a fetch in a fresh library context with the
  // legacy provider, whose child context then stays): the leak check is
  // the warm sweep's.
  if (o.fault.empty() && !cold) o.fault = leaks();
  return o;
}

void sweep(Fixtures& f, bool cold) {
  Shard s = shard();
  allocfail::Forked result =
      allocfail::sweepevery([&f, cold](uint64_t n) { return tortured(f, n, cold); }, s.index, s.count, 2);
  std::printf("shard %u/%u: %llu runs of %llu allocations\n", s.index, s.count,
              static_cast<unsigned long long>(result.runs), static_cast<unsigned long long>(result.allocations));
  EXPECT_TRUE(result.faults.empty()) << result.describe();
  EXPECT_GT(result.runs * s.count, 1000u) << result.describe();
  EXPECT_GT(result.allocations, 10000u) << result.describe();
}

// Each path of the sequence used once before: what OpenSSL and the library
// make once per process is there.
TEST(Torture, EveryAllocationOfAWarmSequence) {
  std::string why;
  std::optional<Fixtures> f = fixtures(why);
  ASSERT_TRUE(f) << why;
  torture::Run warm(*f);
  ASSERT_EQ(torture::runsequence(warm), "");
  ASSERT_EQ(torture::worksafterwards(warm), "");
  sweep(*f, false);
}

// From the process's first call: OpenSSL itself starts in zmr_initialize.
TEST(Torture, EveryAllocationFromTheProcessFirstCall) {
  if (!allocfail::untouched()) GTEST_SKIP() << "needs a process of its own, as ctest gives it";
  std::string why;
  std::optional<Fixtures> f = fixtures(why);
  ASSERT_TRUE(f) << why;
  sweep(*f, true);
}

}  // namespace
