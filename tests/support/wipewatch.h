// Watches what the library wipes before it releases memory (the blocks of
// zmr::WipingAllocator, through zmr::setwipehook), without reading freed
// memory: each block is recorded while it still exists, with whether it
// was all zeros then.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zmrtest {

// Records from construction to destruction; one watch at a time. The
// library may release blocks on any thread: recording is locked.
class WipeWatch {
 public:
  WipeWatch();
  ~WipeWatch();
  WipeWatch(const WipeWatch&) = delete;
  WipeWatch& operator=(const WipeWatch&) = delete;

  // Whether one released block covered [at, at + size) and was all zeros.
  // Take the address while the memory is still in use: an address, not a
  // pointer to memory that may be gone.
  bool wiped(uintptr_t at, size_t size) const;
  static uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
  // Blocks released so far, and whether every one of them was all zeros.
  size_t blocks() const;
  bool allzero() const;
};

}  // namespace zmrtest
