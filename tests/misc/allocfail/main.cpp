// Runs before anything in the process touches OpenSSL, so that every one
// of its allocations can be failed.
#include <gtest/gtest.h>

#include <cstdio>

#include "failingalloc.h"

int main(int argc, char** argv) {
  if (!allocfail::install()) {
    std::fprintf(stderr, "OpenSSL allocated before main: its allocator cannot be replaced\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
