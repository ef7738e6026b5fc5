// The room of a long text, taken before it is written.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zmr {

// Maps the pages of a text's room, reserved but not yet written, in one
// request. Room of many megabytes is fresh memory from the system on every
// call, and written byte by byte it would fault a page at a time, a trap
// for each 4 KiB that costs more than filling the page. Best effort: where
// the request fails, the pages fault in as they are written, as before.
inline void mapreserved(std::string& text) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kMapFrom = size_t{1} << 20;
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
