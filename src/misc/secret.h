// Storage for secrets (passwords, PINs, keys, credentials, decrypted
// texts): every block is wiped before its memory goes back to the heap, also
// the blocks a growing string or vector leaves behind.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zmr {

// Wipes size bytes at block, which is about to be released.
void wipeblock(void* block, size_t size) noexcept;

// An observer of every block wipeblock wiped, called after the wipe and
// before the release (for tests that check what is wiped). Null: none.
using WipeHook = void (*)(const void* block, size_t size);
void setwipehook(WipeHook hook) noexcept;

// std::allocator that wipes each block when it is released.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    wipeblock(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
using WipedBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;

// A text that leaves no copy behind: its heap blocks are wiped by the
// allocator, and a short text held inside the object itself is wiped here.
struct SecretString {
  SecretString() = default;
  explicit SecretString(std::string_view s) : value(s) {}
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString() { wipe(); }
  void assign(std::string_view s) {
    wipe();
    value.assign(s.data(), s.size());
  }
  void wipe() {
    // The whole capacity: a shorter text may have left older bytes.
    OPENSSL_cleanse(value.data(), value.capacity());
    value.clear();
  }
  std::string_view view() const { return value; }
  WipedString value;
};

// Bytes that leave no copy behind.
struct SecretBytes {
  SecretBytes() = default;
  explicit SecretBytes(size_t size) : bytes(size) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  // Releases the block (wiped by the allocator).
  void wipe() { WipedBytes().swap(bytes); }
  WipedBytes bytes;
};

}  // namespace zmr
