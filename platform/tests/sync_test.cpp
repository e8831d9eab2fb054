#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using platform::CriticalSection;
using platform::CriticalSectionLock;
using platform::Event;
using platform::kInfinite;
using platform::Mutex;
using platform::MutexLock;
using platform::WaitResult;
using Clock = std::chrono::steady_clock;

// Long enough never to be hit on a loaded machine; only guards against a hung test.
constexpr DWORD kGenerous = 10000;

TEST(SyncTest, AutoResetEventReleasesOneWaiterPerSet) {
  Event gate(false);
  Event woke(false);  // auto-reset: one Set per waiter that got through
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (gate.Wait(kInfinite) == WaitResult::kSignaled)
        ++through;
      woke.Set();
    });
  }

  gate.Set();
  ASSERT_EQ(woke.Wait(kGenerous), WaitResult::kSignaled);
  // No second waiter may follow on the same Set (a time window is the only way to see absence).
  EXPECT_EQ(woke.Wait(100), WaitResult::kTimeout);
  EXPECT_EQ(through.load(), 1);

  for (int i = 1; i < 4; ++i) {
    gate.Set();
    ASSERT_EQ(woke.Wait(kGenerous), WaitResult::kSignaled);
  }
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(through.load(), 4);
  EXPECT_EQ(gate.Wait(0), WaitResult::kTimeout);  // every Set was consumed
}

TEST(SyncTest, AutoResetEventSetBeforeWaitIsKeptForOneWaiter) {
  Event e(false);
  e.Set();
  e.Set();  // not counted: an event is signalled or not
  EXPECT_EQ(e.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(e.Wait(0), WaitResult::kTimeout);

  Event initially(false, true);
  EXPECT_EQ(initially.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(initially.Wait(0), WaitResult::kTimeout);
}

TEST(SyncTest, ManualResetEventStaysSignaledUntilReset) {
  Event e(true);
  EXPECT_EQ(e.Wait(0), WaitResult::kTimeout);
  e.Set();
  EXPECT_EQ(e.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(e.Wait(0), WaitResult::kSignaled);
  e.Reset();
  EXPECT_EQ(e.Wait(0), WaitResult::kTimeout);

  Event initially(true, true);
  EXPECT_EQ(initially.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(initially.Wait(0), WaitResult::kSignaled);
}

TEST(SyncTest, ManualResetEventReleasesAllBlockedWaiters) {
  Event go(true);
  Event ready(false);
  std::atomic<int> waiting{0};
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (++waiting == 4)
        ready.Set();
      if (go.Wait(kInfinite) == WaitResult::kSignaled)
        ++through;
    });
  }
  ASSERT_EQ(ready.Wait(kGenerous), WaitResult::kSignaled);
  go.Set();
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(through.load(), 4);
}

TEST(SyncTest, WaitTimesOutAfterTheTimeGiven) {
  Event e(true);
  auto start = Clock::now();
  EXPECT_EQ(e.Wait(60), WaitResult::kTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));

  // A Set from another thread ends an unlimited wait.
  std::thread setter([&] { e.Set(); });
  EXPECT_EQ(e.Wait(kInfinite), WaitResult::kSignaled);
  setter.join();
}

TEST(SyncTest, EventMayBeDestroyedAsSoonAsTheWaitReturns) {
  // The signalling thread must be done with the event when the waiter wakes (run under the
  // sanitizer builds, a late notify shows as a use after free).
  for (int i = 0; i < 200; ++i) {
    auto e = std::make_unique<Event>(i % 2 == 0);
    std::thread setter([ev = e.get()] { ev->Set(); });
    ASSERT_EQ(e->Wait(kGenerous), WaitResult::kSignaled);
    e.reset();
    setter.join();
  }
}

TEST(SyncTest, MutexIsRecursiveAndTimesOutForOtherThreads) {
  Mutex m;
  ASSERT_TRUE(m.Lock());
  ASSERT_TRUE(m.Lock(0));  // the owner may lock again

  std::thread other([&] {
    EXPECT_FALSE(m.Lock(0));
    auto start = Clock::now();
    EXPECT_FALSE(m.Lock(50));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  });
  other.join();

  m.Unlock();
  std::thread stillOwned([&] { EXPECT_FALSE(m.Lock(0)); });  // one unlock is not enough
  stillOwned.join();
  m.Unlock();
  std::thread unowned([&] {
    EXPECT_TRUE(m.Lock(0));
    m.Unlock();
  });
  unowned.join();
}

TEST(SyncTest, MutexWaitSucceedsWhenTheOwnerReleases) {
  Mutex m;
  Event locked(true);
  Event release(true);
  std::thread owner([&] {
    MutexLock guard(m);
    locked.Set();
    release.Wait(kInfinite);
  });
  ASSERT_EQ(locked.Wait(kGenerous), WaitResult::kSignaled);
  EXPECT_FALSE(m.Lock(20));
  release.Set();
  EXPECT_TRUE(m.Lock(kGenerous));
  m.Unlock();
  owner.join();
}

TEST(SyncTest, CriticalSectionIsRecursive) {
  CriticalSection cs;
  cs.Enter();
  {
    CriticalSectionLock again(cs);
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
  }
  std::thread other([&] { EXPECT_FALSE(cs.TryEnter()); });
  other.join();
  cs.Leave();
  std::thread after([&] {
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
  });
  after.join();
}

}  // namespace
