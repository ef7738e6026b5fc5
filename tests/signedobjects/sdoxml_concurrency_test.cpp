// Reading and writing on many threads at once: each call has its own
// parser and tree, and the recent error is the calling thread's.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "signedobjects/seid/seidsdo.h"
#include "signedobjects/sdogoldens.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "support/recenterror.h"

namespace zmr {
namespace {

TEST(SdoXmlConcurrency, ThreadsReadAndWriteIndependently) {
  int session = zmrtest::openStoreSession();
  const std::vector<sdogolden::Golden> goldens = sdogolden::goldens();
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        const sdogolden::Golden& g = goldens[(t + round) % goldens.size()];
        std::unique_ptr<seidsdocell> tree;
        std::string xml;
        if (xmltoseidsdo(session, g.xml, tree, 1) != 0 || zmrseidsdo2xml(session, *tree, xml, g.flavour) != 0 ||
            xml != g.xml)
          ++mismatches;
        // A refused document leaves its line with this thread only.
        if (xmltoseidsdo(session, "<Unknown/>", tree, 1) != 34002 ||
            zmrtest::peekRecentError() != "xmltoseidsdo_xmltoseidsdo: The XML is not SEID SDO XML.\n")
          ++mismatches;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches, 0);
  freesession(session);
}

}  // namespace
}  // namespace zmr
