// The SDO-list reader and writer under allocation failure: each either
// fails with 33001 and hands out nothing, or hands out the whole result.
#include <gtest/gtest.h>

#include "allocfail/failingalloc.h"
#include "signedobjects/sdolist/sdolist.h"
#include "support/sdolisttrees.h"
#include "support/storesession.h"

namespace {

using allocfail::kCxx;
using allocfail::kOpenssl;

TEST(SdoListAllocationFailure, ReadAndWriteWholeOrNothing) {
  zmrtest::StoreSession session;
  auto sample = zmrtest::sampleSdoList();
  const std::string xml = zmrtest::writeSdoList(*sample);
  const std::string dump = zmrtest::dumpSdoList(*sample);

  std::string out;
  uint64_t runs = allocfail::sweep(
      kCxx | kOpenssl,
      [&] {
        out = "untouched";
        return zmr::zmrsdo2xml(session.number, *sample, out);
      },
      [&](int rc, uint64_t n, bool) {
        if (rc == 0) {
          EXPECT_EQ(out, xml) << "allocation " << n;
        } else {
          EXPECT_EQ(rc, 33001) << "allocation " << n;
          EXPECT_EQ(out, "untouched");
        }
        return !::testing::Test::HasFailure();
      });
  EXPECT_GT(runs, 2u);

  std::unique_ptr<zmr::sdolist> tree;
  runs = allocfail::sweep(
      kCxx | kOpenssl, [&] { return zmr::xmltosdo(session.number, xml, tree); },
      [&](int rc, uint64_t n, bool) {
        if (rc == 0) {
          EXPECT_TRUE(tree && zmrtest::dumpSdoList(*tree) == dump) << "allocation " << n;
        } else {
          EXPECT_EQ(rc, 33001) << "allocation " << n;
          EXPECT_FALSE(tree);
        }
        tree.reset();
        return !::testing::Test::HasFailure();
      });
  EXPECT_GT(runs, 10u);
}

}  // namespace
