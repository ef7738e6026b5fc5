// An allocator that fails on demand, for the tests of this executable
// alone: it replaces operator new and OpenSSL's allocation functions, so
// that the nth allocation of a call can be made to fail.
#pragma once

#include <cstdint>

namespace allocfail {

enum Kind : unsigned {
  kCxx = 1,      // operator new
  kOpenssl = 2,  // OPENSSL_malloc and OPENSSL_realloc
};

// From now on the nth allocation of the kinds given that the calling
// thread makes fails (1: the next one); the others succeed. Other threads
// are not touched.
void arm(unsigned kinds, uint64_t nth);
// Stops counting; true when the failure was injected since arm.
bool disarm();
// The number of the allocation that failed in the last armed run (it can
// be later than the one armed, see spare).
uint64_t failedallocation();

// Never fails an allocation made (directly or not) by the shared library
// whose file name contains name: the next allocation outside it fails
// instead. For third-party modules that exit on allocation failure. nullptr
// spares none.
void spare(const char* name);

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

}  // namespace allocfail
