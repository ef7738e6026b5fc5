// Validation on many threads at once over one session's trust store: good
// and tampered SDOs, as trees and as XML, each thread with its own recent
// error.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/setup.h"
#include "signedobjects/sdopki.h"
#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"
#include "support/recenterror.h"
#include "support/sdotrees.h"
#include "support/verifiers.h"

namespace zmr {
namespace {

TEST(SdoValidateConcurrency, ThreadsValidateOnOneSession) {
  ASSERT_EQ(0, initstructures());
  zmrtest::TestPki pki = zmrtest::makePki(2);
  int session = sdotest::trustingSession(pki, "sdovalidate-threads");
  ASSERT_GE(session, 0);

  const std::string document = "A contract signed by two.";
  auto good = zmrtest::classicSdo(pki, document);
  auto moved = zmrtest::classicSdo(pki, document);
  zmrtest::keepDocument(*moved, zmrtest::toBase64("Another contract."));
  const std::string xml = zmrtest::writeXml(*good, kSdoCompliant);

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4; ++round) {
        if ((t + round) % 2 == 0) {
          if (seidsdovalidate(session, good.get(), 1, std::nullopt, 0, 0, 0) != 0) ++wrong;
          if (seidsdovalidate(session, moved.get(), 1, std::nullopt, 0, 0, 0) != 20037) ++wrong;
          if (zmrtest::peekRecentError() !=
              "seidsdovalidate_seidsdovalidate: The hash of the document does not match the hash in the "
              "signatureelement.\n")
            ++wrong;
        } else {
          if (sdoxmlvalidate(session, xml, 1) != 0 || !zmrtest::peekRecentError().empty()) ++wrong;
          if (simpleseidsdoxmlvalidate(session, xml, 3) != 20042 ||
              zmrtest::peekRecentError() != "sdoxmlvalidate_sdoxmlvalidate: An error occured validating the seid sdo.\n")
            ++wrong;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, wrong);
  freesession(session);
}

}  // namespace
}  // namespace zmr
