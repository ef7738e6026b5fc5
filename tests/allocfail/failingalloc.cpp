#include "allocfail/failingalloc.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <dlfcn.h>
#include <execinfo.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <sstream>
#include <unordered_set>

namespace allocfail {
namespace {

// Plain thread-locals: no constructor, so reading them never allocates.
thread_local unsigned armedkinds = 0;
thread_local uint64_t counted = 0;
thread_local uint64_t failat = 0;
thread_local bool injected = false;
thread_local uint64_t injectedat = 0;

const char* spared = nullptr;
thread_local bool looking = false;

// Always spared: OpenSSL 3.0 crashes or leaks when an allocation fails
// while a provider module starts (the legacy one frees its half-made child
// context, and a provider whose activation fails after its start is never
// torn down). A frame in a library whose file name, or at a symbol whose
// name, contains one of these.
constexpr const char* kProviderModules = "/ossl-modules/";
constexpr const char* kProviderLoading = "OSSL_PROVIDER_try_load";

bool insparedlibrary() {
  if (looking) return false;
  looking = true;
  void* frames[128];
  int depth = backtrace(frames, 128);
  bool found = false;
  for (int i = 0; i < depth && !found; ++i) {
    Dl_info info;
    if (dladdr(frames[i], &info) == 0) continue;
    const char* file = info.dli_fname != nullptr ? info.dli_fname : "";
    const char* symbol = info.dli_sname != nullptr ? info.dli_sname : "";
    found = (spared != nullptr && std::strstr(file, spared)) || std::strstr(file, kProviderModules) ||
            std::strcmp(symbol, kProviderLoading) == 0;
  }
  looking = false;
  return found;
}

// Census of a forked sweep: the allocation numbers at which a new call
// stack allocates. Its own bookkeeping is neither counted nor recorded.
std::unordered_set<uint64_t>* censusstacks = nullptr;
std::vector<uint64_t>* censusfirsts = nullptr;
thread_local bool recording = false;
std::atomic<bool> touched{false};

void record(uint64_t n) {
  recording = true;
  void* frames[64];
  int depth = backtrace(frames, 64);
  uint64_t key = 1469598103934665603ull;
  for (int i = 0; i < depth; ++i) key = (key ^ reinterpret_cast<uintptr_t>(frames[i])) * 1099511628211ull;
  if (censusstacks->insert(key).second && !insparedlibrary()) censusfirsts->push_back(n);
  recording = false;
}

void trace() {
  if (std::getenv("ALLOCFAIL_TRACE") == nullptr) return;
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
}

bool fails(Kind kind) {
  if (kind == kOpenssl) touched = true;
  if ((armedkinds & kind) == 0 || injected || recording) return false;
  ++counted;
  if (censusfirsts != nullptr) record(counted);
  if (counted < failat) return false;
  if (insparedlibrary()) return false;
  injected = true;
  injectedat = counted;
  trace();
  return true;
}

void* cryptomalloc(size_t size, const char*, int) { return fails(kOpenssl) ? nullptr : std::malloc(size); }
void* cryptorealloc(void* p, size_t size, const char*, int) {
  return fails(kOpenssl) ? nullptr : std::realloc(p, size);
}
void cryptofree(void* p, const char*, int) { std::free(p); }

}  // namespace

void arm(unsigned kinds, uint64_t nth) {
  counted = 0;
  failat = nth;
  injected = false;
  armedkinds = kinds;
}

bool disarm() {
  armedkinds = 0;
  return injected;
}

uint64_t failedallocation() { return injectedat; }

void spare(const char* name) { spared = name; }

bool untouched() { return !touched.load(); }

namespace {

void writeall(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string readall(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

struct Child {
  pid_t pid = -1;
  int fd = -1;
};

Child spawn(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    writeall(fds[1], fn());
    ::_exit(0);  // no exit handlers: the parent owns them
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return {};
  }
  return {pid, fds[0]};
}

// What the child wrote, or nullopt with the reason it gave nothing.
std::optional<std::string> collect(const Child& c, std::string& why) {
  if (c.pid < 0) {
    why = "could not start a child process";
    return std::nullopt;
  }
  std::string text = readall(c.fd);
  ::close(c.fd);
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  if (WIFSIGNALED(status)) {
    why = "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "exited with status " + std::to_string(WEXITSTATUS(status));
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::string Forked::describe() const {
  std::string out = std::to_string(faults.size()) + " faults in " + std::to_string(runs) + " runs over " +
                    std::to_string(allocations) + " allocations\n";
  for (size_t i = 0; i < faults.size() && i < 20; ++i) out += faults[i] + "\n";
  return out;
}

Forked sweepforked(const std::function<Outcome(uint64_t n)>& run) {
  Forked result;
  if (const char* only = std::getenv("ALLOCFAIL_ONLY")) {
    uint64_t n = std::strtoull(only, nullptr, 10);
    Outcome o = run(n);
    result.runs = 1;
    if (!o.fault.empty()) result.faults.push_back("n=" + std::to_string(n) + ": " + o.fault);
    return result;
  }
  std::string why;
  std::optional<std::string> census = collect(spawn([&run] {
                                                censusstacks = new std::unordered_set<uint64_t>();
                                                censusfirsts = new std::vector<uint64_t>();
                                                Outcome o = run(UINT64_MAX);
                                                std::vector<uint64_t> firsts = *censusfirsts;
                                                censusfirsts = nullptr;
                                                std::string out = std::to_string(counted);
                                                for (uint64_t n : firsts) out += " " + std::to_string(n);
                                                return out + "\n" + o.fault;
                                              }),
                                              why);
  if (!census) {
    result.faults.push_back("census: " + why);
    return result;
  }
  size_t end = census->find('\n');
  if (end != std::string::npos && end + 1 < census->size())
    result.faults.push_back("without a failure: " + census->substr(end + 1));
  std::istringstream in(census->substr(0, end));
  std::vector<uint64_t> targets;
  in >> result.allocations;
  for (uint64_t n; in >> n;) targets.push_back(n);
  result.runs = targets.size();

  constexpr size_t kAtOnce = 4;
  for (size_t first = 0; first < targets.size(); first += kAtOnce) {
    std::vector<Child> children;
    for (size_t i = first; i < targets.size() && i < first + kAtOnce; ++i) {
      uint64_t n = targets[i];
      children.push_back(spawn([&run, n] {
        Outcome o = run(n);
        return std::string(o.reached ? "R" : "U") + o.fault;
      }));
    }
    for (size_t i = 0; i < children.size(); ++i) {
      std::string prefix = "n=" + std::to_string(targets[first + i]) + ": ";
      std::optional<std::string> text = collect(children[i], why);
      if (!text || text->empty()) {
        result.faults.push_back(prefix + (text ? "no report" : why));
      } else if ((*text)[0] != 'R') {
        result.faults.push_back(prefix + "the allocation the census found was not reached " + text->substr(1));
      } else if (text->size() > 1) {
        result.faults.push_back(prefix + text->substr(1));
      }
    }
  }
  return result;
}

}  // namespace allocfail

void* operator new(std::size_t size) {
  if (allocfail::fails(allocfail::kCxx)) throw std::bad_alloc();
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
  // Only possible before OpenSSL's first allocation.
  if (CRYPTO_set_mem_functions(allocfail::cryptomalloc, allocfail::cryptorealloc, allocfail::cryptofree) != 1) {
    std::fprintf(stderr, "OpenSSL allocated before main: its allocator cannot be replaced\n");
    return 1;
  }
  // The stand-ins' TLS goes through OpenSSL's socket BIO, which writes
  // with write(): a client giving up mid-handshake must not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
