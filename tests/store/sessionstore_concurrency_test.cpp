// Session checks and accessors run on many threads while others open and
// close sessions; under the thread sanitizer any unsynchronised access shows.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

TEST(SessionStoreConcurrency, ChecksRaceFreeWithOpeningAndClosing) {
  int stable = getSessionId();
  setslotid(stable, 5);
  sethsm_sessioncontext(stable, 77);
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int t = 0; t < 4; ++t) {
    churn.emplace_back([&] {
      while (!stop) {
        int s = getSessionId();
        if (s < kMaxSessions) {
          setslotid(s, 5);
          sessiontables(s)->environment = 1;
          freesession(s);
        }
      }
    });
  }
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        if (checksessionvalidity(stable) != 0) ++failures;
        int used = 0;
        for (int n = 0; n < 8; ++n) checksessionvalidity(n);
        slotalreadyopened(stable == 0 ? 1 : 0, 5, &used);
        uint64_t slot = 0;
        getslotid(stable, &slot);
        if (slot != 5) ++failures;
      }
    });
  }
  for (auto& r : readers) r.join();
  stop = true;
  for (auto& c : churn) c.join();
  EXPECT_EQ(failures, 0);
  freeSessions();
}

TEST(ThreadStoreConcurrency, ThreadsKeepTheirOwnItems) {
  int s = getSessionId();
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 100; ++i) pushinfoitem(s, "key" + std::to_string(i), std::to_string(t));
        std::string v;
        if (popinfoitem(s, "KEY42", v) != 0 || v != std::to_string(t)) ++wrong;
        setlasterror(s, "x\n");
        std::optional<std::string> e;
        getlasterror(s, e);
        if (!e || *e != "x\n") ++wrong;
        removeallinfoitems(s);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  freeSessions();
}

}  // namespace
}  // namespace zmr
