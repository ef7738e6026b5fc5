#include "failingalloc.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <dlfcn.h>
#include <execinfo.h>

#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <new>

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

bool insparedlibrary() {
  if (spared == nullptr || looking) return false;
  looking = true;
  void* frames[128];
  int depth = backtrace(frames, 128);
  bool found = false;
  for (int i = 0; i < depth && !found; ++i) {
    Dl_info info;
    found = dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr && std::strstr(info.dli_fname, spared);
  }
  looking = false;
  return found;
}

bool fails(Kind kind) {
  if ((armedkinds & kind) == 0 || injected || ++counted < failat) return false;
  if (insparedlibrary()) return false;
  injected = true;
  injectedat = counted;
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
