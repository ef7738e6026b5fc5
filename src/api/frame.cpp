#include "api/frame.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace zmr {
namespace {

// This process's id for process_vm_readv, asked once, and again in a child
// of fork() (0: not known). A child made without fork's handlers (_Fork, a
// bare clone) must not call the library before it calls exec.
std::atomic<pid_t> cachedpid{0};

void forgetpid() { cachedpid.store(0, std::memory_order_relaxed); }

pid_t selfpid() {
  static const bool registered = pthread_atfork(nullptr, nullptr, forgetpid) == 0;
  pid_t pid = cachedpid.load(std::memory_order_relaxed);
  if (pid != 0 && registered) return pid;
  pid = getpid();
  if (registered) cachedpid.store(pid, std::memory_order_relaxed);
  return pid;
}

// Pages checked by one call, at most: the first call checks one page and
// each next one twice as many, so that the pages checked beyond a text's
// end are fewer than its own pages and than this (the kernel pins every
// page it checks).
constexpr size_t kMaxPages = 64;

// Reads one byte of each of count pages (at is within the first, the
// others from their start) without faulting: the number of leading pages
// readable, or -1 with errno.
// The byte at each of count places (remote, one byte each) into bytes, in
// one request: the number of leading places read, or -1 with errno.
ssize_t readbytes(const struct iovec* remote, size_t count, unsigned char* bytes) {
  struct iovec local = {bytes, count};
  return process_vm_readv(selfpid(), &local, 1, remote, count, 0);
}

ssize_t touchpages(uintptr_t at, size_t page, size_t count, unsigned char* bytes) {
  struct iovec remote[kMaxPages];
  for (size_t i = 0; i < count; ++i) {
    remote[i] = {reinterpret_cast<void*>(at), 1};
    at = (at / page + 1) * page;
  }
  return readbytes(remote, count, bytes);
}

enum class Read { done, unreadable, impossible };

// Where reading ourselves is not permitted (a seccomp filter, say), the
// kernel copies a byte through a pipe instead. Raw system calls: a
// sanitizer's write() would check more than the kernel reads.
class PipeReader {
 public:
  PipeReader() = default;
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  ~PipeReader() {
    if (pipe_[0] >= 0) {
      close(pipe_[0]);
      close(pipe_[1]);
    }
  }

  Read read(const void* p) {
    if (pipe_[0] < 0 && pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return Read::impossible;
    unsigned char byte;
    ssize_t n = syscall(SYS_write, pipe_[1], p, 1);
    if (n < 0) return errno == EFAULT ? Read::unreadable : Read::impossible;
    bool back = syscall(SYS_read, pipe_[0], &byte, 1) == 1;
    OPENSSL_cleanse(&byte, 1);
    return back && n == 1 ? Read::done : Read::impossible;
  }

 private:
  int pipe_[2] = {-1, -1};
};

// The last resort: the kernel reads the text as a path, which tells an
// unreadable first byte but not where a long text ends.
bool kernelreads(const void* p) { return !(access(static_cast<const char*>(p), F_OK) != 0 && errno == EFAULT); }

size_t pagesize() {
  static const size_t size = [] {
    long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<size_t>(n) : size_t{4096};
  }();
  return size;
}

// The text's length when the pages [from, to) are readable and hold its
// end; the bytes themselves are read in place, the kernel having vouched
// for every page.
std::optional<size_t> endwithin(const char* text, uintptr_t from, uintptr_t to) {
  const void* nul = std::memchr(reinterpret_cast<const void*>(from), '\0', to - from);
  if (nul == nullptr) return std::nullopt;
  return static_cast<size_t>(static_cast<const char*>(nul) - text);
}

}  // namespace

bool readable(const void* p) {
  unsigned char byte;
  ssize_t n = touchpages(reinterpret_cast<uintptr_t>(p), pagesize(), 1, &byte);
  OPENSSL_cleanse(&byte, 1);
  if (n == 1) return true;
  if (n < 0 && errno == EFAULT) return false;
  PipeReader reader;
  Read r = reader.read(p);
  return r == Read::impossible ? kernelreads(p) : r == Read::done;
}

namespace {

// The text at p from the page at 'at' on, those before it vouched for:
// count pages checked first and twice as many each time after.
bool readablefrom(const char* p, uintptr_t at, size_t count, size_t* length) {
  const size_t page = pagesize();
  unsigned char bytes[kMaxPages];
  std::optional<size_t> found;
  bool result = false;
  PipeReader reader;
  bool bypipe = false;
  for (;; count = std::min(count * 2, kMaxPages)) {
    ssize_t n = bypipe ? -1 : touchpages(at, page, count, bytes);
    if (n <= 0 && !bypipe && !(n < 0 && errno == EFAULT)) bypipe = true;
    if (bypipe) {
      // A page at a time.
      Read r = reader.read(reinterpret_cast<const void*>(at));
      if (r != Read::done) {
        result = r == Read::impossible && kernelreads(reinterpret_cast<const void*>(at));
        break;
      }
      n = 1;
    }
    if (n <= 0) break;  // the page at 'at' is unreadable
    const uintptr_t end = (at / page + static_cast<uintptr_t>(n)) * page;
    if ((found = endwithin(p, at, end))) {
      result = true;
      break;
    }
    at = end;
  }
  // Texts include passwords.
  OPENSSL_cleanse(bytes, sizeof bytes);
  // Where only the kernel's path lookup vouched for the text, its end is
  // where the operation itself would find it.
  if (length != nullptr) *length = !result ? 0 : found ? *found : std::strlen(p);
  return result;
}

// A text whose first page the kernel vouched for: the rest as readabletext
// would check it after that page.
bool readablerest(const char* p) {
  const size_t page = pagesize();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t end = (start / page + 1) * page;
  return endwithin(p, start, end) || readablefrom(p, end, 2, nullptr);
}

}  // namespace

bool readabletext(const char* p, size_t* length) {
  return readablefrom(p, reinterpret_cast<uintptr_t>(p), 1, length);
}

int checkarguments(std::initializer_list<Argument> args) {
  // The first byte of every argument the checks one by one would reach,
  // asked in one request; whatever it does not vouch for is checked alone.
  constexpr size_t kMaxArguments = 16;
  struct iovec remote[kMaxArguments];
  unsigned char bytes[kMaxArguments];
  size_t asked = 0;
  if (args.size() <= kMaxArguments) {
    for (const Argument& a : args) {
      if (a.p == nullptr) {
        if (a.required) break;
        continue;
      }
      remote[asked++] = {const_cast<void*>(a.p), 1};
    }
  }
  size_t vouched = 0;
  if (asked > 1) {
    ssize_t n = readbytes(remote, asked, bytes);
    OPENSSL_cleanse(bytes, sizeof bytes);
    if (n > 0) vouched = static_cast<size_t>(n);
  }
  size_t k = 0;
  for (const Argument& a : args) {
    if (a.p == nullptr) {
      if (a.required) return kBadArgument;
      continue;
    }
    const bool first = k++ < vouched;
    const bool ok = a.text ? (first ? readablerest(static_cast<const char*>(a.p))
                                    : readabletext(static_cast<const char*>(a.p)))
                           : (first || readable(a.p));
    if (!ok) return kUnreadablePointer;
  }
  return kOk;
}

namespace {

int handouttext(std::string_view text, char** out) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return kOutOfMemory;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *out = copy;
  return kOk;
}

}  // namespace

int handout(const std::string& text, char** out) { return handouttext(text, out); }

int handout(const SecretString& text, char** out) { return handouttext(text.view(), out); }

int handout(const std::optional<std::string>& text, char** out) {
  if (!text) {
    *out = nullptr;
    return kOk;
  }
  return handout(*text, out);
}

int handout(const std::vector<unsigned char>& bytes, unsigned char** out, uint64_t* length) {
  // One spare byte, so that an empty result is still a pointer to free.
  auto* copy = static_cast<unsigned char*>(std::malloc(bytes.size() + 1));
  if (copy == nullptr) return kOutOfMemory;
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  copy[bytes.size()] = 0;
  *out = copy;
  *length = bytes.size();
  return kOk;
}

}  // namespace zmr
