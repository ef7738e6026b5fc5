// The recent error under allocation failure: a dropped line drops the lines
// after it too, so that a reader never sees an error with a hole in it.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "allocfail/failingalloc.h"
#include "store/threadstore.h"

namespace {

TEST(RecentErrorUnderAllocationFailure, NeverReadsWithAHole) {
  const std::string first = std::string(200, 'a') + "\n", second = std::string(200, 'b') + "\n",
                    third = std::string(200, 'c') + "\n";
  const std::string whole = first + second + third;
  std::optional<std::string> out;
  zmr::getlasterror(-1, out);
  for (uint64_t n = 1; n <= 40; ++n) {
    allocfail::arm(allocfail::kCxx, n);
    zmr::setlasterror(-1, first);
    zmr::setlasterror(-1, second);
    zmr::setlasterror(-1, third);
    allocfail::disarm();
    zmr::getlasterror(-1, out);
    const std::string got = out.value_or("");
    EXPECT_EQ(whole.compare(0, got.size(), got), 0) << "n=" << n << ": " << got.size() << " bytes not a prefix";
    // Reading ends the cut: the next error is whole.
    zmr::setlasterror(-1, first);
    zmr::getlasterror(-1, out);
    EXPECT_EQ(out.value_or(""), first) << "n=" << n;
  }
}

}  // namespace
