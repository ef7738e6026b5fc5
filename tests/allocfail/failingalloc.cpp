#include "allocfail/failingalloc.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

// libc's allocator is interposed by defining malloc, calloc and realloc
// here. What they forward to: glibc's own entry points, or under the
// address sanitizer (which replaces malloc itself) the next definition,
// looked up with dlsym. The thread sanitizer's runtime cannot have its
// allocator wrapped this early: there libc's allocations never fail.
#if defined(__SANITIZE_ADDRESS__)
#define ALLOCFAIL_NEXT_MALLOC 1
#elif defined(__SANITIZE_THREAD__)
#define ALLOCFAIL_NO_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ALLOCFAIL_NEXT_MALLOC 1
#elif __has_feature(thread_sanitizer)
#define ALLOCFAIL_NO_MALLOC 1
#endif
#endif

#if !defined(ALLOCFAIL_NEXT_MALLOC) && !defined(ALLOCFAIL_NO_MALLOC)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
}
#endif

namespace allocfail {
namespace {

// What libc's allocator entry points run can run before the address
// sanitizer has set itself up (its own start-up allocates): none of it is
// instrumented, and it keeps to builtins and plain loops.
#define ALLOCFAIL_RAW __attribute__((no_sanitize("address", "undefined")))

#if defined(ALLOCFAIL_NEXT_MALLOC)
using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);
MallocFn nextmalloc = nullptr;
CallocFn nextcalloc = nullptr;
ReallocFn nextrealloc = nullptr;
FreeFn nextfree = nullptr;

// dlsym allocates (calloc) while it looks the functions up: those blocks
// come from here, and are never freed.
alignas(16) char bootstrap[1 << 16];
size_t bootstrapused = 0;
thread_local bool resolving = false;

ALLOCFAIL_RAW bool inbootstrap(const void* p) {
  auto* c = static_cast<const char*>(p);
  return c >= bootstrap && c < bootstrap + sizeof bootstrap;
}

ALLOCFAIL_RAW void* frombootstrap(size_t size) {
  size_t need = 16 + ((size + 15) & ~size_t{15});
  size_t at = __atomic_fetch_add(&bootstrapused, need, __ATOMIC_RELAXED);
  if (at + need > sizeof bootstrap) return nullptr;
  *reinterpret_cast<size_t*>(bootstrap + at) = size;
  for (size_t i = 0; i < size; ++i) bootstrap[at + 16 + i] = 0;
  return bootstrap + at + 16;
}

ALLOCFAIL_RAW size_t bootstrapsize(const void* p) { return *reinterpret_cast<const size_t*>(static_cast<const char*>(p) - 16); }

ALLOCFAIL_RAW bool resolve() {
  if (__atomic_load_n(&nextfree, __ATOMIC_ACQUIRE) != nullptr) return true;
  if (resolving) return false;
  resolving = true;
  __atomic_store_n(&nextmalloc, reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc")), __ATOMIC_RELAXED);
  __atomic_store_n(&nextcalloc, reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc")), __ATOMIC_RELAXED);
  __atomic_store_n(&nextrealloc, reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc")), __ATOMIC_RELAXED);
  __atomic_store_n(&nextfree, reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free")), __ATOMIC_RELEASE);
  resolving = false;
  return __atomic_load_n(&nextfree, __ATOMIC_ACQUIRE) != nullptr;
}

ALLOCFAIL_RAW void* realmalloc(size_t size) { return resolve() ? nextmalloc(size) : frombootstrap(size); }
ALLOCFAIL_RAW void* realcalloc(size_t count, size_t size) {
  if (!resolve()) return size != 0 && count > SIZE_MAX / size ? nullptr : frombootstrap(count * size);
  return nextcalloc(count, size);
}
ALLOCFAIL_RAW void realfree(void* p) {
  if (p == nullptr || inbootstrap(p)) return;
  if (resolve()) nextfree(p);
}
ALLOCFAIL_RAW void* realrealloc(void* p, size_t size) {
  if (p != nullptr && inbootstrap(p)) {
    char* moved = static_cast<char*>(realmalloc(size));
    size_t old = bootstrapsize(p);
    for (size_t i = 0; moved != nullptr && i < size && i < old; ++i) moved[i] = static_cast<const char*>(p)[i];
    return moved;
  }
  return resolve() ? nextrealloc(p, size) : nullptr;
}
#elif defined(ALLOCFAIL_NO_MALLOC)
void* realmalloc(size_t size) { return std::malloc(size); }
void* realrealloc(void* p, size_t size) { return std::realloc(p, size); }
void realfree(void* p) { std::free(p); }
#else
void* realmalloc(size_t size) { return __libc_malloc(size); }
void* realcalloc(size_t count, size_t size) { return __libc_calloc(count, size); }
void* realrealloc(void* p, size_t size) { return __libc_realloc(p, size); }
void realfree(void* p) { __libc_free(p); }
#endif

thread_local void (*releasehook)(const void*, size_t) = nullptr;
thread_local unsigned armedkinds = 0;

[[maybe_unused]] ALLOCFAIL_RAW bool armedfor(unsigned kind) { return (armedkinds & kind) != 0; }

// The hook's part of a release: after the sanitizer's start-up only.
[[maybe_unused]] void watchrelease(void* p) {
  auto hook = releasehook;
  releasehook = nullptr;  // whatever the hook's own calls release
  hook(p, malloc_usable_size(p));
  releasehook = hook;
}

// What every release of a block goes through.
ALLOCFAIL_RAW void release(void* p) {
#if !defined(ALLOCFAIL_NO_MALLOC)
  if (p != nullptr && releasehook != nullptr
#if defined(ALLOCFAIL_NEXT_MALLOC)
      && !inbootstrap(p)
#endif
  )
    watchrelease(p);
#endif
  realfree(p);
}

// realloc, seen by the release hook: a moved block is a released one.
[[maybe_unused]] void* reallocmoved(void* p, size_t size) {
  size_t old = malloc_usable_size(p);
  void* moved = realmalloc(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, p, old < size ? old : size);
  release(p);
  return moved;
}

ALLOCFAIL_RAW void* reallocwatched(void* p, size_t size) {
#if !defined(ALLOCFAIL_NO_MALLOC)
  if (p != nullptr && releasehook != nullptr && size != 0
#if defined(ALLOCFAIL_NEXT_MALLOC)
      && !inbootstrap(p)
#endif
  )
    return reallocmoved(p, size);
#endif
  return realrealloc(p, size);
}

// Plain thread-locals: no constructor, so reading them never allocates.
thread_local uint64_t counted = 0;
thread_local uint64_t failat = 0;
thread_local bool injectednow = false;
thread_local uint64_t injectedat = 0;
thread_local unsigned injectedkindnow = 0;
thread_local bool paused = false;

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

// For a sweep of every allocation: the numbers of those spared, and
// whether a call stack is (looked up once per stack).
std::vector<uint64_t>* censusspared = nullptr;
std::unordered_map<uint64_t, bool>* censussparedstacks = nullptr;

uint64_t stackkey() {
  void* frames[64];
  int depth = backtrace(frames, 64);
  uint64_t key = 1469598103934665603ull;
  for (int i = 0; i < depth; ++i) key = (key ^ reinterpret_cast<uintptr_t>(frames[i])) * 1099511628211ull;
  return key;
}

void record(uint64_t n) {
  recording = true;
  uint64_t key = stackkey();
  if (censusspared != nullptr) {
    auto [at, fresh] = censussparedstacks->emplace(key, false);
    if (fresh) at->second = insparedlibrary();
    if (at->second) censusspared->push_back(n);
  } else if (censusstacks->insert(key).second && !insparedlibrary()) {
    censusfirsts->push_back(n);
  }
  recording = false;
}

void trace() {
  if (std::getenv("ALLOCFAIL_TRACE") == nullptr) return;
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
}

bool fails(Kind kind) {
  if (kind == kOpenssl) touched = true;
  // Nor what the allocator's own look at the stack allocates.
  if ((armedkinds & kind) == 0 || injectednow || recording || looking || paused) return false;
  ++counted;
  if (censusfirsts != nullptr || censusspared != nullptr) record(counted);
  if (counted < failat) return false;
  if (insparedlibrary()) return false;
  injectednow = true;
  injectedat = counted;
  injectedkindnow = kind;
  trace();
  return true;
}

void* cryptomalloc(size_t size, const char*, int) { return fails(kOpenssl) ? nullptr : realmalloc(size); }
void* cryptorealloc(void* p, size_t size, const char*, int) {
  return fails(kOpenssl) ? nullptr : reallocwatched(p, size);
}
void cryptofree(void* p, const char*, int) { release(p); }

}  // namespace

void arm(unsigned kinds, uint64_t nth) {
  counted = 0;
  failat = nth;
  injectednow = false;
  armedkinds = kinds;
}

bool disarm() {
  armedkinds = 0;
  return injectednow;
}

uint64_t failedallocation() { return injectedat; }

bool injected() { return injectednow; }

unsigned injectedkind() { return injectednow ? injectedkindnow : 0; }

uint64_t countedallocations() { return counted; }

Pause::Pause() : was_(paused) { paused = true; }
Pause::~Pause() { paused = was_; }

void spare(const char* name) { spared = name; }

void onrelease(ReleaseHook hook) { releasehook = hook; }

bool watchingreleases() {
#if defined(ALLOCFAIL_NO_MALLOC)
  return false;
#else
  return true;
#endif
}

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

namespace {

// Runs run(n) for every n of targets, each in a child of its own, atonce
// at a time; an n at or above tolerated that the child did not reach is no
// fault.
void runchildren(const std::function<Outcome(uint64_t n)>& run, const std::vector<uint64_t>& targets,
                 size_t atonce, uint64_t tolerated, Forked& result) {
  std::string why;
  for (size_t first = 0; first < targets.size(); first += atonce) {
    std::vector<Child> children;
    for (size_t i = first; i < targets.size() && i < first + atonce; ++i) {
      uint64_t n = targets[i];
      children.push_back(spawn([&run, n] {
        Outcome o = run(n);
        return std::string(o.reached ? "R" : "U") + o.fault;
      }));
    }
    for (size_t i = 0; i < children.size(); ++i) {
      uint64_t n = targets[first + i];
      std::string prefix = "n=" + std::to_string(n) + ": ";
      std::optional<std::string> text = collect(children[i], why);
      if (!text || text->empty()) {
        result.faults.push_back(prefix + (text ? "no report" : why));
      } else if ((*text)[0] != 'R' && n < tolerated) {
        result.faults.push_back(prefix + "the allocation the census found was not reached " + text->substr(1));
      } else if (text->size() > 1) {
        result.faults.push_back(prefix + text->substr(1));
      }
    }
  }
}

}  // namespace

std::string Forked::describe() const {
  std::string out = std::to_string(faults.size()) + " faults in " + std::to_string(runs) + " runs over " +
                    std::to_string(allocations) + " allocations\n";
  for (size_t i = 0; i < faults.size() && i < 20; ++i) out += faults[i] + "\n";
  return out;
}

namespace {

// ALLOCFAIL_ONLY=<n>: that one run, in this process.
bool runonly(const std::function<Outcome(uint64_t n)>& run, Forked& result) {
  const char* only = std::getenv("ALLOCFAIL_ONLY");
  if (only == nullptr) return false;
  uint64_t n = std::strtoull(only, nullptr, 10);
  Outcome o = run(n);
  result.runs = 1;
  if (!o.fault.empty()) result.faults.push_back("n=" + std::to_string(n) + ": " + o.fault);
  return true;
}

}  // namespace

Forked sweepforked(const std::function<Outcome(uint64_t n)>& run, unsigned stride) {
  Forked result;
  if (runonly(run, result)) return result;
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
  uint64_t seen = 0;
  for (uint64_t n; in >> n;) {
    if (seen++ % (stride == 0 ? 1 : stride) == 0) targets.push_back(n);
  }
  result.runs = targets.size();

  runchildren(run, targets, 4, result.allocations > 10 ? result.allocations - 10 : 0, result);
  return result;
}

Forked sweepevery(const std::function<Outcome(uint64_t n)>& run, unsigned shard, unsigned shards, unsigned atonce) {
  Forked result;
  if (runonly(run, result)) return result;
  std::string why;
  std::optional<std::string> census = collect(spawn([&run] {
                                                censusspared = new std::vector<uint64_t>();
                                                censussparedstacks = new std::unordered_map<uint64_t, bool>();
                                                Outcome o = run(UINT64_MAX);
                                                std::vector<uint64_t> spared = *censusspared;
                                                censusspared = nullptr;
                                                std::string out = std::to_string(counted);
                                                for (uint64_t n : spared) out += " " + std::to_string(n);
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
  in >> result.allocations;
  std::unordered_set<uint64_t> spared;
  for (uint64_t n; in >> n;) spared.insert(n);
  std::vector<uint64_t> targets;
  uint64_t eligible = 0;
  for (uint64_t n = 1; n <= result.allocations; ++n) {
    if (spared.count(n) != 0) continue;
    if (eligible++ % (shards == 0 ? 1 : shards) == shard) targets.push_back(n);
  }
  result.runs = targets.size();
  runchildren(run, targets, atonce == 0 ? 1 : atonce, result.allocations > 10 ? result.allocations - 10 : 0, result);
  return result;
}

}  // namespace allocfail

void* operator new(std::size_t size) {
  if (allocfail::fails(allocfail::kCxx)) throw std::bad_alloc();
  void* p = allocfail::realmalloc(size != 0 ? size : 1);
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
void operator delete(void* p) noexcept { allocfail::release(p); }
void operator delete[](void* p) noexcept { allocfail::release(p); }
void operator delete(void* p, std::size_t) noexcept { allocfail::release(p); }
void operator delete[](void* p, std::size_t) noexcept { allocfail::release(p); }

#if defined(ALLOCFAIL_NEXT_MALLOC)
// LeakSanitizer takes what the dynamic linker allocates for itself (the
// dependencies of a module dlopen loads) as reachable when the linker is
// the allocator's direct caller; here the interposed malloc is in between.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() { return "leak:ld-linux-x86-64.so\nleak:rtld-malloc.h\n"; }
#endif

#if !defined(ALLOCFAIL_NO_MALLOC)
extern "C" {
ALLOCFAIL_RAW void* malloc(size_t size) {
  if (allocfail::armedfor(allocfail::kMalloc) && allocfail::fails(allocfail::kMalloc)) {
    errno = ENOMEM;
    return nullptr;
  }
  return allocfail::realmalloc(size);
}
ALLOCFAIL_RAW void* calloc(size_t count, size_t size) {
  if (allocfail::armedfor(allocfail::kMalloc) && allocfail::fails(allocfail::kMalloc)) {
    errno = ENOMEM;
    return nullptr;
  }
  return allocfail::realcalloc(count, size);
}
ALLOCFAIL_RAW void* realloc(void* p, size_t size) {
  // realloc(p, 0) frees: nothing to fail.
  if ((p == nullptr || size != 0) && allocfail::armedfor(allocfail::kMalloc) && allocfail::fails(allocfail::kMalloc)) {
    errno = ENOMEM;
    return nullptr;
  }
  return allocfail::reallocwatched(p, size);
}
ALLOCFAIL_RAW void free(void* p) { allocfail::release(p); }
}
#endif

int main(int argc, char** argv) {
  // backtrace() loads its unwinder on first use, allocating: never while
  // counting.
  void* frames[4];
  backtrace(frames, 4);
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
