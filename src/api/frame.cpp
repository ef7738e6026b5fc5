#include "api/frame.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace zmr {
namespace {

enum class Read { done, unreadable, impossible };

// Copies length bytes at p, which lie within one page, into buffer without
// faulting: the kernel either reads all of them or none.
class SelfReader {
 public:
  SelfReader() = default;
  SelfReader(const SelfReader&) = delete;
  SelfReader& operator=(const SelfReader&) = delete;
  ~SelfReader() {
    if (pipe_[0] >= 0) {
      close(pipe_[0]);
      close(pipe_[1]);
    }
  }

  Read read(void* buffer, const void* p, size_t length) {
    struct iovec local = {buffer, length};
    struct iovec remote = {const_cast<void*>(p), length};
    ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (n == static_cast<ssize_t>(length)) return Read::done;
    if (n < 0 && errno == EFAULT) return Read::unreadable;
    // Where reading ourselves is not permitted (a seccomp filter, say), the
    // kernel copies the bytes through a pipe instead. A write of at most a
    // page into an empty pipe neither blocks nor splits.
    // Raw system calls: the copy runs on past the text's terminator to the
    // end of its page, which a sanitizer's write() would call an overflow.
    if (pipe_[0] < 0 && pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return Read::impossible;
    n = syscall(SYS_write, pipe_[1], p, length);
    if (n < 0) return errno == EFAULT ? Read::unreadable : Read::impossible;
    return syscall(SYS_read, pipe_[0], buffer, static_cast<size_t>(n)) == n && static_cast<size_t>(n) == length
               ? Read::done
               : Read::impossible;
  }

 private:
  int pipe_[2] = {-1, -1};
};

// The last resort: the kernel reads the text as a path, which tells an
// unreadable first byte but not where a long text ends.
bool kernelreads(const void* p) { return !(access(static_cast<const char*>(p), F_OK) != 0 && errno == EFAULT); }

}  // namespace

bool readable(const void* p) {
  char byte;
  SelfReader reader;
  Read r = reader.read(&byte, p, 1);
  return r == Read::impossible ? kernelreads(p) : r == Read::done;
}

bool readabletext(const char* p) {
  // In steps that never cross a 4 KiB boundary, a unit of every page size.
  constexpr size_t kUnit = 4096;
  char chunk[kUnit];
  SelfReader reader;
  bool result = false;
  for (auto at = reinterpret_cast<uintptr_t>(p);;) {
    size_t n = kUnit - at % kUnit;
    Read r = reader.read(chunk, reinterpret_cast<const void*>(at), n);
    if (r != Read::done) {
      result = r == Read::impossible && kernelreads(reinterpret_cast<const void*>(at));
      break;
    }
    if (std::memchr(chunk, '\0', n) != nullptr) {
      result = true;
      break;
    }
    at += n;
  }
  // Texts include passwords.
  OPENSSL_cleanse(chunk, sizeof chunk);
  return result;
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
