// Storage for secrets: growing strings and vectors leave no unwiped block
// behind, and short texts held inside the object are wiped too.
#include "misc/secret.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "support/wipewatch.h"

namespace zmr {
namespace {

// Grows c one element at a time; every heap block it leaves behind, and
// the last one when c goes, must have been wiped on release.
template <typename Container>
void growAndRelease() {
  zmrtest::WipeWatch watch;
  std::vector<std::pair<uintptr_t, size_t>> blocks;
  {
    Container c;
    for (int i = 0; i < 5000; ++i) {
      uintptr_t before = zmrtest::WipeWatch::address(c.data());
      size_t capacity = c.capacity();
      c.push_back('s');
      if (zmrtest::WipeWatch::address(c.data()) != before && capacity > 16) blocks.emplace_back(before, capacity);
    }
    blocks.emplace_back(zmrtest::WipeWatch::address(c.data()), c.capacity());
  }
  ASSERT_GT(blocks.size(), 5u);
  for (const auto& [at, size] : blocks) EXPECT_TRUE(watch.wiped(at, size)) << size;
  EXPECT_TRUE(watch.allzero());
}

TEST(WipingAllocator, GrowthLeavesOnlyWipedBlocks) {
  growAndRelease<WipedString>();
  growAndRelease<WipedBytes>();
}

TEST(SecretString, ShortTextInsideTheObjectIsWiped) {
  SecretString pin("4711");
  ASSERT_LE(pin.value.capacity(), 15u);  // held inside the object, no heap block
  const char* at = pin.value.data();
  size_t room = pin.value.capacity();
  pin.wipe();
  EXPECT_TRUE(std::all_of(at, at + room, [](char c) { return c == 0; }));

  // A shorter text replacing a longer one leaves nothing of the old one.
  pin.assign("123456789012");
  pin.assign("12");
  EXPECT_TRUE(std::all_of(pin.value.data() + 3, pin.value.data() + pin.value.capacity(),
                          [](char c) { return c == 0; }));
}

TEST(SecretBytes, WipeReleasesAWipedBlock) {
  zmrtest::WipeWatch watch;
  SecretBytes key(64);
  std::fill(key.bytes.begin(), key.bytes.end(), 0x5a);
  uintptr_t at = zmrtest::WipeWatch::address(key.bytes.data());
  key.wipe();
  EXPECT_TRUE(key.bytes.empty());
  EXPECT_TRUE(watch.wiped(at, 64));
}

}  // namespace
}  // namespace zmr
