// The room of a long text, taken before it is written.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zmr {

// Maps the pages of a text's room, reserved but not yet written, in one
// request. Room this large is fresh memory from the system on every call
// (the allocator maps blocks from 32 MiB on anew, whatever it did before),
// and written byte by byte it would fault a page at a time, a trap for
// each 4 KiB. Smaller room is mostly memory already mapped, where the
// request would only cost. Best effort: where it fails, the pages fault in
// as they are written, as before.
inline void mapreserved(std::string& text) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kMapFrom = size_t{32} << 20;
  constexpr uintptr_t kPage = 4096;
  const size_t room = text.capacity() - text.size();
  if (room < kMapFrom) return;
  const auto at = reinterpret_cast<uintptr_t>(text.data() + text.size());
  const uintptr_t from = (at + kPage - 1) & ~(kPage - 1);
  const uintptr_t to = (at + room) & ~(kPage - 1);
  if (to <= from) return;
  const int saved = errno;
  madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  errno = saved;
#else
  (void)text;
#endif
}

}  // namespace zmr
