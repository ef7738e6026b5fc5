// An allocator that fails on demand, for the allocation-failure
// executables alone (each links it, with its main()): it replaces operator
// new and OpenSSL's allocation functions and interposes libc's malloc,
// calloc and realloc, so that the nth allocation of a call can be made to
// fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace allocfail {

enum Kind : unsigned {
  kCxx = 1,      // operator new
  kOpenssl = 2,  // OPENSSL_malloc and OPENSSL_realloc
  kMalloc = 4,   // malloc, calloc and realloc from anywhere in the process
                 // (the C edge's results, Expat, libc itself); never fails
                 // in a thread-sanitizer build, whose runtime owns malloc
};
constexpr unsigned kAll = kCxx | kOpenssl | kMalloc;

// From now on the nth allocation of the kinds given that the calling
// thread makes fails (1: the next one); the others succeed. Other threads
// are not touched.
void arm(unsigned kinds, uint64_t nth);
// Stops counting; true when the failure was injected since arm.
bool disarm();
// The number of the allocation that failed in the last armed run (it can
// be later than the one armed, see spare).
uint64_t failedallocation();
// Whether the failure was injected since arm (the allocator stays armed).
bool injected();
// The kind of the allocation that failed since arm (0 when none did).
unsigned injectedkind();
// The allocations counted since arm.
uint64_t countedallocations();

// While one lives, the calling thread's allocations are neither counted
// nor failed: for a check between the armed calls of a sequence.
class Pause {
 public:
  Pause();
  ~Pause();
  Pause(const Pause&) = delete;
  Pause& operator=(const Pause&) = delete;

 private:
  bool was_;
};

// Never fails an allocation made (directly or not) by the shared library
// whose file name contains name: the next allocation outside it fails
// instead. For third-party modules that exit on allocation failure. nullptr
// spares none but the loading of OpenSSL's providers, which is always
// spared (OpenSSL 3.0 crashes or leaks when an allocation fails there).
void spare(const char* name);

// While set, hook sees every heap block the calling thread releases
// (operator delete, free, OpenSSL's free, the old block of a realloc)
// just before it goes, with its usable size; nullptr stops. The hook must
// not allocate. Not in a thread-sanitizer build (libc's free is not
// interposed there): watchingreleases() tells whether it works.
using ReleaseHook = void (*)(const void* block, size_t size);
void onrelease(ReleaseHook hook);
bool watchingreleases();

// Runs call with its nth allocation of the kinds failing, for n = 1, 2, ...,
// until a run makes no more than n - 1 allocations; check judges each run
// (the allocator is disarmed then) and returns false to stop early. The
// number of runs.
template <typename Call, typename Check>
uint64_t sweep(unsigned kinds, Call call, Check check) {
  constexpr uint64_t kLimit = 200000;
  for (uint64_t n = 1; n < kLimit; ++n) {
    arm(kinds, n);
    int rc = call();
    bool injected = disarm();
    if (!check(rc, n, injected) || !injected) return n;
    n = failedallocation();  // the allocations in between were spared
  }
  return kLimit;
}

// Whether nothing has been counted or allocated by OpenSSL yet in this
// process (an executable's first test, as ctest runs each on its own).
bool untouched();

// What one run of a forked sweep reports: whether its armed allocation was
// reached, and a complaint ("" when all was well).
struct Outcome {
  bool reached = false;
  std::string fault;
};

struct Forked {
  std::vector<std::string> faults;  // each prefixed with its n
  uint64_t allocations = 0;         // in the whole sequence
  uint64_t runs = 0;                // allocations failed, one per run
  std::string describe() const;     // the count and the first few faults
};

// For sequences whose failures outlive them (start-up, process-wide
// contexts): every run in a child process of its own. run(n) arms n with
// arm(), runs a fixed sequence and judges it. A census run first records
// the call stack of every allocation of the kinds (but those spared); then,
// for each distinct call stack, its first allocation is failed in a run of
// its own, several children at a time. A loop that allocates the same way
// a thousand times is failed once. The census run's own complaint counts
// too: the sequence must pass without failures.
//
// With stride > 1 only every stride-th of those runs (for the slower
// sanitizer trees). A child that does not reach its n is a fault only
// before the last ten allocations of the census (a sequence may allocate a
// little less from run to run).
//
// To look at one run: ALLOCFAIL_ONLY=<n> runs just that one, in the test's
// own process, and ALLOCFAIL_TRACE=1 prints the stack of the allocation
// that fails.
Forked sweepforked(const std::function<Outcome(uint64_t n)>& run, unsigned stride = 1);

// As sweepforked, but every allocation in turn, not one per call stack: the
// census run counts the allocations of the sequence (and which of them are
// spared), then each n not spared runs in a child of its own, atonce
// children at a time. With shards > 1 only every shards-th n from shard on
// (0-based), so that several processes can share one sweep. A child that
// does not reach its n is a fault only before the last ten allocations of
// the census (a sequence may allocate a little less from run to run).
Forked sweepevery(const std::function<Outcome(uint64_t n)>& run, unsigned shard = 0, unsigned shards = 1,
                  unsigned atonce = 4);

}  // namespace allocfail
