// OpenSSL allocations that fail on demand, and sweeps that fail them one
// at a time, every run in a child process of its own.
//
// install() must run before OpenSSL allocates anything (this executable's
// main does it), so the programs here own their whole process.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace allocfail {

// Routes OpenSSL's allocations through the counter. false when OpenSSL has
// allocated already.
bool install();
// Whether OpenSSL has allocated nothing yet in this process.
bool untouched();
// From now on, the nth OpenSSL allocation (malloc or realloc) fails, and
// only that one.
void arm(long n);
// Stops failing; true when the armed allocation was reached.
bool disarm();

// What one run of a sweep reports: whether its armed allocation was
// reached, and a complaint ("" when all was well).
struct Outcome {
  bool reached = false;
  std::string fault;
};

struct Sweep {
  std::vector<std::string> faults;  // each prefixed with its n
  long allocations = 0;             // in the whole sequence
  long runs = 0;                    // allocations failed, one per run
};

// run(n) arms n, runs a fixed sequence and judges it. A census run in a
// child process first records the call stack of every allocation of the
// sequence; then, for each distinct call stack, its first allocation is
// failed in a run of its own (in child processes, several at a time). A
// loop that allocates the same way a thousand times is failed once.
//
// To look at one run: ALLOCFAIL_ONLY=<n> runs just that one, in the test's
// own process, and ALLOCFAIL_TRACE=1 prints the stack of the allocation
// that fails.
//
// Allocations made inside a function named in spare (an exported symbol)
// are not failed: for OpenSSL faults that no caller can avoid.
Sweep sweep(const std::function<Outcome(long n)>& run, const std::vector<std::string>& spare = {});

// The faults as text, the first few of them.
std::string describe(const Sweep& s);

}  // namespace allocfail
