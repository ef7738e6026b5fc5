// Session checks and accessors run on many threads while others open and
// close sessions; under the thread sanitizer any unsynchronised access shows.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/storesession.h"

namespace zmr {
namespace {

TEST(SessionStoreConcurrency, ChecksRaceFreeWithOpeningAndClosing) {
  zmrtest::StoreSession stable;
  setslotid(stable.state(), 5);
  sethsm_sessioncontext(stable.state(), 77);
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int t = 0; t < 4; ++t) {
    churn.emplace_back([&] {
      while (!stop) {
        PendingSession p;
        if (p.open() != 0) continue;
        setslotid(p.state(), 5);
        p.state().environment = 1;
        p.publish();
        freesession(p.number());
      }
    });
  }
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        if (checksessionvalidity(stable.number) != 0) ++failures;
        int used = 0;
        for (int n = 0; n < 8; ++n) {
          // A churned session may close while held: what was taken stays whole.
          SessionRef held;
          if (usesession(n, held) == 0 && n != stable.number && held->environment != 1) ++failures;
        }
        slotalreadyopened(stable.state(), 5, &used);
        uint64_t slot = 0;
        getslotid(stable.state(), &slot);
        if (slot != 5) ++failures;
      }
    });
  }
  for (auto& r : readers) r.join();
  stop = true;
  for (auto& c : churn) c.join();
  EXPECT_EQ(failures, 0);
  sethsm_sessioncontext(stable.state(), 0);
}

// Many threads take one session while it closes, some carrying what they
// took to another thread: no call that starts after the close gets the
// state, every holder reads it whole, and it ends once, when the last
// reference goes, wherever that is.
TEST(SessionStoreConcurrency, ClosingRacesManyUsers) {
  static std::atomic<int> releases{0};
  releases = 0;
  setsessionrelease([](Session& s) {
    ++releases;
    sethsm_sessioncontext(s, 0);
  });
  std::atomic<int> failures{0};
  for (int round = 0; round < 100; ++round) {
    int number;
    {
      PendingSession p;
      ASSERT_EQ(p.open(), 0);
      p.state().environment = round;
      sethsm_sessioncontext(p.state(), 1000 + round);
      p.publish();
      number = p.number();
    }
    std::atomic<bool> closed{false};
    std::atomic<int> started{0};
    std::mutex carriedlock;
    std::vector<SessionRef> carried;  // dropped by the main thread
    std::vector<std::thread> users;
    for (int t = 0; t < 8; ++t) {
      users.emplace_back([&, t] {
        ++started;
        for (int i = 0;; ++i) {
          bool after = closed.load();
          SessionRef held;
          if (usesession(number, held) != 0) break;
          if (after) {
            ++failures;  // taken after the close returned
            break;
          }
          uint64_t handle = 0;
          gethsm_sessioncontext(*held, &handle);
          if (held->environment != round || handle != uint64_t(1000 + round)) ++failures;
          SessionRef again;  // a second reference on the same thread
          if (usesession(number, again) == 0 && again.get() != held.get()) ++failures;
          if (i % 64 == t) {
            std::lock_guard<std::mutex> lock(carriedlock);
            carried.push_back(held);
          }
        }
      });
    }
    while (started < 8) std::this_thread::yield();
    freesession(number);
    closed = true;
    for (auto& u : users) u.join();
    EXPECT_EQ(checksessionvalidity(number), 2009);
    // Still held by the main thread's copies, or already gone.
    EXPECT_EQ(releases, carried.empty() ? round + 1 : round) << round;
    for (const SessionRef& c : carried) {
      if (c->environment != round) ++failures;
    }
    carried.clear();
    EXPECT_EQ(releases, round + 1) << round;
  }
  EXPECT_EQ(failures, 0);
  setsessionrelease(nullptr);
}

TEST(ThreadStoreConcurrency, ThreadsKeepTheirOwnItems) {
  zmrtest::StoreSession session;
  int s = session.number;
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
}

}  // namespace
}  // namespace zmr
