// The room of a long text, taken before it is written.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zmr {

// Maps the pages of room reserved at at but not yet written, in one
// request. Room this large is fresh memory from the system on every call
// (the allocator maps blocks from 32 MiB on anew, whatever it did before),
// and written byte by byte it would fault a page at a time, a trap for
// each 4 KiB. Its whole 2 MiB stretches are asked for as huge pages first:
// the kernel then maps and later frees one page where it would handle 512
// (clearing them is left). Smaller room is mostly memory already mapped,
// where the requests would only cost. Best effort: where they fail, the
// pages are small, or fault in as they are written, as before.
inline void mapreserved(char* at, size_t room) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kMapFrom = size_t{32} << 20;
  constexpr uintptr_t kPage = 4096;
  if (at == nullptr || room < kMapFrom) return;
  const auto start = reinterpret_cast<uintptr_t>(at);
  const uintptr_t from = (start + kPage - 1) & ~(kPage - 1);
  const uintptr_t to = (start + room) & ~(kPage - 1);
  if (to <= from) return;
  const int saved = errno;
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const uintptr_t hugefrom = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t hugeto = (start + room) & ~(kHugePage - 1);
  if (hugeto > hugefrom) madvise(reinterpret_cast<void*>(hugefrom), hugeto - hugefrom, MADV_HUGEPAGE);
#endif
  madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  errno = saved;
#else
  (void)at;
  (void)room;
#endif
}

// The same for the room a text has reserved past its end.
inline void mapreserved(std::string& text) { mapreserved(text.data() + text.size(), text.capacity() - text.size()); }

}  // namespace zmr
