// The fixed sequence of exported calls that the allocation-failure torture
// runs with its nth allocation failing, for every n: a table of steps.
// How to add one: tests/torture/README.md.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace torture {

// What the sequence works on, made once before any sweep, in a process of
// its own (the cold sweep's process must not have touched OpenSSL): file
// paths, secrets, messages, and what the first run without failures
// handed out once an independent verifier had accepted it. Only texts, so
// that it travels through a pipe.
struct Fixtures {
  std::map<std::string, std::string> values;

  const std::string& operator[](const std::string& name) const;
  std::string& operator[](const std::string& name) { return values[name]; }
  std::string serialize() const;
  static Fixtures parse(const std::string& text);
};

// Makes the fixtures (key files under a fresh directory, the client's
// message, ...).
Fixtures makefixtures();

// One run of the sequence: the state steps pass on to later steps, and the
// outputs of the current step's call (freed with zmr_free after its
// judge).
struct Run {
  Fixtures& f;
  bool recording = false;  // the fixtures' first run: expected results are recorded
  bool started = false;    // zmr_initialize gave 0, no zmr_finalize since
  int modern = -1;         // the session of the modern key file, -1 when not open
  int legacy = -1;         // the session of the legacy key file
  bool itemset = false;    // the info item is set
  // A cold run: its first start-up starts OpenSSL itself. A failure inside
  // that may leave OpenSSL's own start broken for the process (out of the
  // library's reach), and then later calls may fail where they need
  // nothing that failed; they still never hand out a wrong result.
  bool cold = false;
  bool opensslmaybebroken = false;  // set by the sequence in a cold run (start-up, or any failure inside OpenSSL)
  // An allocation OpenSSL made on its own behalf failed in an earlier
  // step. OpenSSL 3.0 keeps some such failures in its per-context caches
  // (decoders, names), so later calls of this process may fail where they
  // need nothing that failed; they still never hand out a wrong result,
  // and a fresh start-up, opening and signing must still work.
  bool openssldamaged = false;
  int code = 0;            // for steps of two calls: the first one's code

  char* out[3] = {nullptr, nullptr, nullptr};
  unsigned char* bytes = nullptr;
  uint64_t length = 0;
  int days = -1;

  explicit Run(Fixtures& fixtures) : f(fixtures) {}
  // The output as a string ("" for NULL); the driver frees it.
  std::string text(int i) const { return out[i] != nullptr ? out[i] : ""; }
};

struct Step {
  const char* name;
  // Whether the step must give 0 unless an allocation of its own failed
  // (what it needs is there: the library started, a session open). Judged
  // before the call.
  std::function<bool(const Run&)> needs;
  // The exported call(s), with the allocator armed. Puts outputs in
  // Run::out / bytes / days and passes state on (a session it opened).
  std::function<int(Run&)> call;
  // With the allocator paused, after a call that gave 0: "" when what it
  // handed out is correct, else what is wrong. In a recording run it may
  // record the result as the expected one, once verified independently.
  std::function<std::string(Run&)> judge;
  // The library's start-up (where a cold run starts OpenSSL).
  bool startup = false;
};

// The sequence, in order.
const std::vector<Step>& steps();

// The sequence run on r, step after step; the first fault ("" when none).
// Between the steps the allocator is paused; whether a step's own
// allocation failed is told by allocfail::injected().
std::string runsequence(Run& r);

// After a run: a fresh start-up, opening and signing work, and shut-down;
// "" when they do (or may fail as r.opensslmaybebroken allows). Runs
// unarmed.
std::string worksafterwards(const Run& r);

}  // namespace torture
