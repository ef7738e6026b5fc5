#include "api/frame.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace zmr {

bool readable(const void* p) {
  char byte;
  struct iovec local = {&byte, 1};
  struct iovec remote = {const_cast<void*>(p), 1};
  ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (n == 1) return true;
  if (errno == EFAULT) return false;
  // Where the call is not permitted, fall back to the kernel reading a path.
  return !(access(static_cast<const char*>(p), F_OK) != 0 && errno == EFAULT);
}

int handout(const std::string& text, char** out) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return kOutOfMemory;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *out = copy;
  return kOk;
}

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
