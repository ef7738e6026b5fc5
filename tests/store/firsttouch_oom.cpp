// A host whose allocator fails while a thread first uses the library.
// Run by threadexit_test.cpp:
//
//   firsttouch_oom <keyfile> <password> <properties>
//
// The allocator here (malloc and its kin, and operator new, which also
// replaces a sanitizer's own) wraps the process's and fails, on one chosen
// thread only, either every allocation or just the Nth. Every call must
// give its code or 33001, never end the process, and once allocations work
// again the thread's store must work. Exits 0 when every check held.
#include <dlfcn.h>
#include <pthread.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// The build hides symbols by default; these must replace the process's.
#define REPLACES __attribute__((visibility("default")))

namespace {

// ---- the failing allocator ----

using malloc_fn = void* (*)(size_t);
using calloc_fn = void* (*)(size_t, size_t);
using realloc_fn = void* (*)(void*, size_t);
using free_fn = void (*)(void*);
malloc_fn next_malloc;
calloc_fn next_calloc;
realloc_fn next_realloc;
free_fn next_free;

// dlsym may allocate before the next allocator is known: that comes from
// here and is never freed.
alignas(16) char bootstrap[4096];
size_t bootstrap_used;
bool resolving;

pthread_t armed_thread;
int armed;       // read by every thread: atomics
long countdown;  // -1: fail all; else fail when it reaches 0
bool injected;

void resolve() {
  if (next_free != nullptr) return;
  resolving = true;
  next_malloc = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
  next_calloc = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
  next_realloc = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
  next_free = reinterpret_cast<free_fn>(dlsym(RTLD_NEXT, "free"));
  resolving = false;
}

void* from_bootstrap(size_t n) {
  size_t size = (n + 15) & ~size_t{15};
  if (size > sizeof bootstrap - bootstrap_used) return nullptr;
  void* p = bootstrap + bootstrap_used;
  bootstrap_used += size;
  return p;
}

bool fails() {
  if (!__atomic_load_n(&armed, __ATOMIC_ACQUIRE) || !pthread_equal(pthread_self(), armed_thread)) return false;
  if (countdown >= 0 && countdown-- != 0) return false;
  return injected = true;
}

void arm(long n) {
  armed_thread = pthread_self();
  countdown = n;
  injected = false;
  __atomic_store_n(&armed, 1, __ATOMIC_RELEASE);
}

bool disarm() {
  __atomic_store_n(&armed, 0, __ATOMIC_RELEASE);
  return injected;
}

}  // namespace

extern "C" {

REPLACES void* malloc(size_t n) {
  if (resolving) return from_bootstrap(n);
  if (fails()) return nullptr;
  resolve();
  return next_malloc(n);
}

REPLACES void* calloc(size_t count, size_t n) {
  if (resolving) return count != 0 && n > sizeof bootstrap / count ? nullptr : from_bootstrap(count * n);
  if (fails()) return nullptr;
  resolve();
  return next_calloc(count, n);
}

REPLACES void* realloc(void* p, size_t n) {
  if (fails()) return nullptr;
  resolve();
  return next_realloc(p, n);
}

REPLACES void free(void* p) {
  if (static_cast<char*>(p) >= bootstrap && static_cast<char*>(p) < bootstrap + sizeof bootstrap) return;
  resolve();
  next_free(p);
}

}  // extern "C"

REPLACES void* operator new(size_t n) {
  if (void* p = malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
REPLACES void* operator new[](size_t n) { return operator new(n); }
REPLACES void* operator new(size_t n, const std::nothrow_t&) noexcept { return malloc(n != 0 ? n : 1); }
REPLACES void* operator new[](size_t n, const std::nothrow_t&) noexcept { return malloc(n != 0 ? n : 1); }
REPLACES void operator delete(void* p) noexcept { free(p); }
REPLACES void operator delete[](void* p) noexcept { free(p); }
REPLACES void operator delete(void* p, size_t) noexcept { free(p); }
REPLACES void operator delete[](void* p, size_t) noexcept { free(p); }
REPLACES void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
REPLACES void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

namespace {

// ---- the checks ----

int session = -1;
int failures = 0;

void check(const char* where, long n, int got, int want, int alsook) {
  if (got == want || got == alsook) return;
  fprintf(stderr, "%s (allocation %ld failing): code %d, expected %d\n", where, n, got, want);
  ++failures;
}

// Once allocations work again, the thread's store works.
void store_works(long n) {
  char* value = nullptr;
  check("remove afterwards", n, zmr_removeinfoitems(session), 0, 0);
  check("set afterwards", n, zmr_setinfoitem(session, "k", "v"), 0, 0);
  check("get afterwards", n, zmr_getinfoitem(session, "k", &value), 0, 0);
  if (value == nullptr || strcmp(value, "v") != 0) {
    fprintf(stderr, "get afterwards (allocation %ld failing): wrong value\n", n);
    ++failures;
  }
  if (value != nullptr) check("free afterwards", n, zmr_free(value), 0, 0);
}

// Every allocation fails from the thread's first call on.
void* all_fail(void*) {
  char* text = nullptr;
  char* value = nullptr;
  arm(-1);
  check("set, nothing allocates", -1, zmr_setinfoitem(session, "k", "v"), 33001, 33001);
  check("document, nothing allocates", -1, zmr_adddocumenttext(session, "t", "d"), 33001, 33001);
  check("get, nothing allocates", -1, zmr_getinfoitem(session, "k", &value), 2022, 2022);
  check("recent error, nothing allocates", -1, zmr_getrecenterror(session, &text), 0, 0);
  disarm();
  if (text != nullptr || value != nullptr) {
    fprintf(stderr, "results handed out although nothing could be allocated\n");
    ++failures;
  }
  store_works(-1);
  return nullptr;
}

// Only allocation number n (from 0) fails.
void* nth_fails(void* arg) {
  long n = *static_cast<long*>(arg);
  char* text = nullptr;
  char* value = nullptr;
  arm(n);
  check("set", n, zmr_setinfoitem(session, "k", "v"), 0, 33001);
  check("document", n, zmr_adddocumenttext(session, "t", "d"), 0, 33001);
  check("get a missing item", n, zmr_getinfoitem(session, "absent", &value), 2022, 33001);
  check("recent error", n, zmr_getrecenterror(session, &text), 0, 33001);
  *static_cast<long*>(arg) = disarm() ? n : -1;
  if (text != nullptr) check("free the recent error", n, zmr_free(text), 0, 0);
  store_works(n);
  return nullptr;
}

int on_new_thread(void* (*fn)(void*), void* arg) {
  pthread_t t;
  if (pthread_create(&t, nullptr, fn, arg) != 0) return -1;
  return pthread_join(t, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  long n;
  if (argc != 4) {
    fprintf(stderr, "usage: %s keyfile password properties\n", argv[0]);
    return 2;
  }
  if (zmr_initialize() != 0 ||
      zmr_opensession(&session, argv[1], argv[2], argv[3], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) {
    fprintf(stderr, "start-up failed\n");
    return 2;
  }
  if (on_new_thread(all_fail, nullptr) != 0) return 2;
  for (n = 0; n < 10000; ++n) {
    long arg = n;
    if (on_new_thread(nth_fails, &arg) != 0) return 2;
    if (arg < 0) break;  // the calls made fewer than n + 1 allocations
  }
  if (n == 10000) {
    fprintf(stderr, "the calls never ran out of allocations to fail\n");
    ++failures;
  }
  printf("allocations 0 to %ld failed in turn\n", n - 1);
  check("close", -1, zmr_closesession(session), 0, 0);
  check("finalize", -1, zmr_finalize(), 0, 0);
  return failures == 0 ? 0 : 1;
}
